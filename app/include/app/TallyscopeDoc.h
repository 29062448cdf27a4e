// CTallyscopeDoc: one playlist document, created by the framework from the
// playlist template. This file holds what the application object and its
// template need; fetching, refreshing and the document's command map come
// with the playlist document itself.
//
// GUI thread only.
#pragma once

#include "external/XMLDoc.h"
#include "framework/Document.h"

class CTallyscopeDoc : public CDocument {
    DECLARE_DYNCREATE(CTallyscopeDoc)

public:
    CTallyscopeDoc() = default;
    // Reads and writes nothing: Save and Save As have nothing to store.
    void Serialize(CArchive& archive) override;

    CElementNode m_root;  // the last fetched playlist's root element
    String m_url;         // where the playlist comes from; empty after New
};
