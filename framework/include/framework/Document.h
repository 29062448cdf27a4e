// CDocument: the data of one document, shown by one or more views.
//
// Ownership: a document belongs to its template (which lists it) and, with
// m_bAutoDelete (the default), deletes itself when its last view goes or when
// OnCloseDocument runs. Views are not owned: each view deletes itself with
// its window and then leaves the document's list.
//
// Command map: ID_FILE_CLOSE, ID_FILE_SAVE, ID_FILE_SAVE_AS.
//
// GUI thread only.
#pragma once

#include <vector>

#include "framework/CmdTarget.h"

class CDocTemplate;
class CFrameWnd;
class CView;
class QIODevice;

// The file a document is saved to or read from.
class CArchive {
public:
    enum Mode { store = 0, load = 1 };
    CArchive(QIODevice* file, Mode mode) : m_file(file), m_mode(mode) {}
    bool IsLoading() const { return m_mode == load; }
    bool IsStoring() const { return m_mode == store; }
    // Whole-buffer transfer; false on a short write.
    bool Write(const void* data, int length);
    // Bytes read, 0 at the end.
    int Read(void* data, int length);
    QIODevice* GetFile() const { return m_file; }

private:
    QIODevice* m_file;
    Mode m_mode;
};

class CDocument : public CCmdTarget {
public:
    CDocument();
    // Leaves its template's list. Views still attached are detached (they
    // keep a null document).
    ~CDocument() override;

    const String& GetTitle() const { return m_strTitle; }
    virtual void SetTitle(const char* title);
    const String& GetPathName() const { return m_strPathName; }
    // Stores the name as given (a local path is made absolute; a URL stays
    // as it is), titles the document after the name's last segment and, with
    // addToMRU, adds it to the recent-file list.
    virtual void SetPathName(const char* pathName, bool addToMRU = true);
    CDocTemplate* GetDocTemplate() const { return m_pDocTemplate; }

    virtual bool IsModified() { return m_bModified; }
    virtual void SetModifiedFlag(bool modified = true) { m_bModified = modified; }

    void AddView(CView* view);
    void RemoveView(CView* view);
    // A copy, safe to walk while views close.
    std::vector<CView*> GetViews() const { return m_viewList; }
    int GetViewCount() const { return static_cast<int>(m_viewList.size()); }

    // Calls OnUpdate(sender, hint, hintObject) of every view but sender.
    void UpdateAllViews(CView* sender, LPARAM hint = 0, CObject* hintObject = nullptr);

    virtual void DeleteContents() {}
    // New document: DeleteContents, not modified. True on success.
    virtual bool OnNewDocument();
    // Base: reads the file through Serialize; reports a failure itself.
    virtual bool OnOpenDocument(const char* pathName);
    // Base: writes the file through Serialize; reports a failure itself.
    virtual bool OnSaveDocument(const char* pathName);
    // Destroys every frame showing the document, then (with m_bAutoDelete)
    // deletes the document.
    virtual void OnCloseDocument();
    virtual void Serialize(CArchive& archive);
    // Asks to save a modified document (Yes, No, Cancel); false on Cancel.
    virtual bool SaveModified();
    virtual bool CanCloseFrame(CFrameWnd* frame);
    // Runs when a view comes or goes; the base closes a document that has no
    // views left.
    virtual void OnChangedViewList();
    // Numbers the frames of a document shown in several ("Title:1",
    // "Title:2") and retitles them.
    virtual void UpdateFrameCounts();

    // Save under pathName, or ask for a name when it is null or empty; with
    // replace the document takes the new name.
    bool DoSave(const char* pathName, bool replace = true);
    bool DoFileSave();

    void OnFileClose();
    void OnFileSave();
    void OnFileSaveAs();

    // Routes to its own map, then its template's.
    bool OnCmdMsg(UINT id, CmdKind kind, CCmdUI* ui) override;

    bool m_bAutoDelete = true;

protected:
    String m_strTitle;
    String m_strPathName;
    bool m_bModified = false;

private:
    friend class CDocTemplate;
    CDocTemplate* m_pDocTemplate = nullptr;
    std::vector<CView*> m_viewList;
};
