// CTallyscopeDoc: one playlist document, created by the framework from the
// playlist template. It is opened from the playlist's URL, fetches the
// playlist over HTTP into a local copy in the cache folder, parses it and
// keeps the root element that its views turn into rows.
//
// Errors of a fetch (transfer, HTTP status of 400 or more, local file,
// malformed XML) are reported as "Fetch failed: <url>: <reason>" in the
// message pane until this document fetches well again; the document and its
// rows are then left exactly as before the fetch.
//
// GUI thread only.
#pragma once

#include <chrono>

#include <QDateTime>

#include "external/XMLDoc.h"
#include "framework/Document.h"

class CWinApp;

class CTallyscopeDoc : public CDocument {
    DECLARE_DYNCREATE(CTallyscopeDoc)

public:
    // UpdateAllViews hint: only the fetch state changed (a failed fetch);
    // the rows are as they were.
    static constexpr LPARAM kHintFetchState = 1;

    CTallyscopeDoc();
    // A fetch that still runs is cancelled: its result is never applied.
    ~CTallyscopeDoc() override;
    // Reads and writes nothing: Save and Save As have nothing to store.
    void Serialize(CArchive& archive) override;
    // The framework's behaviour only: empty root, empty URL, no fetch.
    bool OnNewDocument() override;
    // url is kept unchanged as m_url and its fetch started; the window opens
    // at once and fills when the fetch ends.
    bool OnOpenDocument(const char* url) override;

    // Starts the GET of m_url in the background; never waits. When it ends
    // (on the GUI thread): on success the local copy was written, then
    // parsed, the root replaced and every view rebuilt; on failure the rows,
    // the root and the local copy stay, the failure goes to the message pane
    // and the event log, and the views are told (kHintFetchState). Asked
    // while a fetch of this document runs, it fetches once more after it,
    // however often it was asked meanwhile.
    void Fetch();
    // The refresh command (F5, "Update"): Fetch; the views are rebuilt when
    // it ends.
    void Refresh();

    bool FetchRunning() const { return m_fetchId != 0; }
    bool FetchQueued() const { return m_fetchAgain; }
    // Fetches that ended (either way) since the document opened.
    int FetchesEnded() const { return m_fetchesEnded; }
    // The wall-clock time of the last good fetch; null before the first.
    const QDateTime& LastGoodFetch() const { return m_lastGood; }
    // "<url>: <reason>" of the last fetch when it failed; empty when it
    // succeeded (or none ended yet).
    const String& FetchError() const { return m_fetchError; }
    QDateTime FetchErrorSince() const { return m_errorSince; }

    CElementNode m_root;  // the last fetched playlist's root element
    String m_url;         // where the playlist comes from; empty after New
    // Connect and whole-transfer time-outs of each fetch. Tests shorten them.
    long m_fetchConnectMs = 10000;
    long m_fetchTotalMs = 30000;

private:
    void FetchEnded(bool ok, const String& error, const CElementNode& root);

    int m_fetchId = 0;  // the running fetch; 0 none
    std::chrono::steady_clock::time_point m_fetchStarted{};
    bool m_fetchAgain = false;  // asked for again while one runs
    int m_fetchesEnded = 0;
    QDateTime m_lastGood;
    String m_fetchError;
    QDateTime m_errorSince;
};

// The cache folder for local copies: $XDG_CACHE_HOME/tallyscope, or
// ~/.cache/tallyscope; created when missing.
String PlaylistCacheFolder();
// The local file name for a URL: its last path segment with anything outside
// [A-Za-z0-9._-] replaced by '_'; "", "." and ".." give "playlist.xml".
String PlaylistLocalFileName(const char* url);
