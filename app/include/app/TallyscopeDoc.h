// CTallyscopeDoc: one playlist document, created by the framework from the
// playlist template. It is opened from the playlist's URL, fetches the
// playlist over HTTP into a local copy in the cache folder, parses it and
// keeps the root element that its views turn into rows.
//
// Errors of a fetch (transfer, HTTP status of 400 or more, local file,
// malformed XML) throw CInternetException with the text "<url>: <reason>";
// the document and its rows are then left exactly as before the fetch.
//
// GUI thread only.
#pragma once

#include "external/XMLDoc.h"
#include "framework/Document.h"

class CWinApp;

class CTallyscopeDoc : public CDocument {
    DECLARE_DYNCREATE(CTallyscopeDoc)

public:
    CTallyscopeDoc();
    // Reads and writes nothing: Save and Save As have nothing to store.
    void Serialize(CArchive& archive) override;
    // The framework's behaviour only: empty root, empty URL, no fetch.
    bool OnNewDocument() override;
    // url is kept unchanged as m_url, then fetched; a fetch error travels on
    // to the command that opened the document.
    bool OnOpenDocument(const char* url) override;

    // Blocking GET of m_url into the local copy, then parse. The root is
    // replaced only when everything succeeded.
    void Fetch();
    // Fetch, then rebuild every view. F5 (ID_PLAYLIST_REFRESH).
    void Refresh();

    CElementNode m_root;  // the last fetched playlist's root element
    String m_url;         // where the playlist comes from; empty after New
};

// The refresh on the server's "Update": every playlist document of every
// template, in order. Documents without a URL are skipped; a failing one
// goes to the message pane ("Fetch failed: <url>: <reason>") and the event
// log, keeps its rows, and the others are still refreshed. Never throws.
// Returns the number of documents that failed.
int RefreshAllPlaylistDocuments(CWinApp* app);

// The cache folder for local copies: $XDG_CACHE_HOME/tallyscope, or
// ~/.cache/tallyscope; created when missing.
String PlaylistCacheFolder();
// The local file name for a URL: its last path segment with anything outside
// [A-Za-z0-9._-] replaced by '_'; "", "." and ".." give "playlist.xml".
String PlaylistLocalFileName(const char* url);
