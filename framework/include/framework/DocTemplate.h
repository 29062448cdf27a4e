// Document templates and the document manager.
//
// A template ties a document class, a child-frame class and a view class to a
// resource id: the id names the document string (seven '\n'-separated
// fields), the menu shown while one of its documents is active, and the
// frame's icon. The document manager owns the templates; each template lists
// its open documents.
//
// GUI thread only.
#pragma once

#include <vector>

#include "framework/CmdTarget.h"

class CDocument;
class CFrameWnd;
class CView;

struct CCreateContext {
    const CRuntimeClass* m_pNewViewClass = nullptr;
    CDocument* m_pCurrentDoc = nullptr;
    class CDocTemplate* m_pNewDocTemplate = nullptr;
    CView* m_pLastView = nullptr;
    CFrameWnd* m_pCurrentFrame = nullptr;
};

class CDocTemplate : public CCmdTarget {
public:
    enum Confidence {
        noAttempt,
        maybeAttemptForeign,
        maybeAttemptNative,
        yesAttemptForeign,
        yesAttemptNative,
        yesAlreadyOpen
    };
    enum DocStringIndex { windowTitle, docName, fileNewName, filterName, filterExt, regFileTypeId, regFileTypeName };

    ~CDocTemplate() override;

    UINT GetResourceId() const { return m_nIDResource; }
    // One field of the document string; false when it is empty.
    bool GetDocString(String& value, DocStringIndex index) const;

    // Already open when a document of that path (exact text) is open; native
    // when the name ends in the filter extension; otherwise a foreign attempt.
    virtual Confidence MatchDocType(const char* pathName, CDocument*& match);

    // pathName null: a new, untitled document (OnNewDocument); otherwise
    // OnOpenDocument(pathName), then SetPathName. Returns the document shown
    // in a new frame, or null when it failed (the frame is gone again). An
    // exception from the document destroys the frame and document, then
    // travels on to the caller.
    virtual CDocument* OpenDocumentFile(const char* pathName, bool makeVisible = true) = 0;

    virtual CDocument* CreateNewDocument();
    // A new frame with a view on doc, not yet shown; other is a frame of the
    // same document to copy from (New Window), or null.
    virtual CFrameWnd* CreateNewFrame(CDocument* doc, CFrameWnd* other);
    // Sends the initial update to the frame's views and shows it.
    virtual void InitialUpdateFrame(CFrameWnd* frame, CDocument* doc, bool makeVisible = true);
    virtual void SetDefaultTitle(CDocument* doc) = 0;

    virtual void AddDocument(CDocument* doc);
    virtual void RemoveDocument(CDocument* doc);
    std::vector<CDocument*> GetDocuments() const { return m_docList; }
    void CloseAllDocuments(bool endSession);
    bool SaveAllModified();

protected:
    CDocTemplate(UINT resourceId, const CRuntimeClass* docClass, const CRuntimeClass* frameClass,
                 const CRuntimeClass* viewClass);

    UINT m_nIDResource;
    const CRuntimeClass* m_pDocClass;
    const CRuntimeClass* m_pFrameClass;
    const CRuntimeClass* m_pViewClass;
    std::vector<CDocument*> m_docList;  // not owned: documents delete themselves
    String m_strDocStrings;
};

class CMultiDocTemplate : public CDocTemplate {
public:
    CMultiDocTemplate(UINT resourceId, const CRuntimeClass* docClass, const CRuntimeClass* frameClass,
                      const CRuntimeClass* viewClass);

    CDocument* OpenDocumentFile(const char* pathName, bool makeVisible = true) override;
    // docName (or "Untitled") followed by a running number: "Tallys1".
    void SetDefaultTitle(CDocument* doc) override;

private:
    int m_nUntitledCount = 0;
};

class CDocManager {
public:
    CDocManager() = default;
    // Deletes the templates (documents should be closed before).
    virtual ~CDocManager();
    CDocManager(const CDocManager&) = delete;
    CDocManager& operator=(const CDocManager&) = delete;

    virtual void AddDocTemplate(CDocTemplate* docTemplate);
    const std::vector<CDocTemplate*>& GetTemplates() const { return m_templateList; }

    // A local file name is made absolute first; then OpenDocumentByName.
    virtual CDocument* OpenDocumentFile(const char* fileName);
    // New document of the (first) template.
    virtual void OnFileNew();
    // Asks for a file name, then opens it through the application.
    virtual void OnFileOpen();
    // A file dialog: open (openFileDialog) or save; fileName holds the
    // proposal and receives the choice. False on Cancel.
    virtual bool DoPromptFileName(String& fileName, const char* title, bool openFileDialog);

    bool SaveAllModified();
    void CloseAllDocuments(bool endSession);
    int GetOpenDocumentCount() const;

protected:
    // The open-by-name steps with the name used unchanged: ask each template
    // for its confidence, keep the best, stop at "already open"; already open
    // activates the document's first frame and returns the document; a
    // template found opens it; none shows AFX_IDP_FAILED_TO_OPEN_DOC and gives
    // null. An exception from the document travels on.
    CDocument* OpenDocumentByName(const char* name);

    std::vector<CDocTemplate*> m_templateList;  // owned
};
