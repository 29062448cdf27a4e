#include "framework/Document.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstring>
#include <exception>

#include "Hosts.h"
#include "framework/DocTemplate.h"
#include "framework/FrameWnd.h"
#include "framework/View.h"
#include "framework/WinApp.h"

namespace {

bool IsUrl(const char* name) { return name != nullptr && std::strstr(name, "://") != nullptr; }

// A name that names a local file which exists and may be written.
bool IsWritableLocalFile(const String& name) {
    if (name.IsEmpty() || IsUrl(name)) return false;
    const QFileInfo info(QString::fromUtf8(name.GetString()));
    return info.isFile() && info.isWritable();
}

}  // namespace

bool CArchive::Write(const void* data, int length) {
    if (length <= 0) return true;
    return m_file != nullptr && m_file->write(static_cast<const char*>(data), length) == length;
}

int CArchive::Read(void* data, int length) {
    if (m_file == nullptr || length <= 0) return 0;
    const qint64 n = m_file->read(static_cast<char*>(data), length);
    return n > 0 ? static_cast<int>(n) : 0;
}

CDocument::CDocument() {
    MapCommand(ID_FILE_CLOSE, &CDocument::OnFileClose);
    MapCommand(ID_FILE_SAVE, &CDocument::OnFileSave);
    MapCommand(ID_FILE_SAVE_AS, &CDocument::OnFileSaveAs);
}

CDocument::~CDocument() {
    for (CView* view : m_viewList) view->m_pDocument = nullptr;
    m_viewList.clear();
    if (m_pDocTemplate != nullptr) m_pDocTemplate->RemoveDocument(this);
}

void CDocument::SetTitle(const char* title) {
    m_strTitle = title;
    UpdateFrameCounts();
}

void CDocument::SetPathName(const char* pathName, bool addToMRU) {
    String name(pathName);
    if (!name.IsEmpty() && !IsUrl(name))
        name = QFileInfo(QString::fromUtf8(name.GetString())).absoluteFilePath().toUtf8().constData();
    m_strPathName = name;
    // The title is the name's last segment (the whole name when it ends in '/').
    const int slash = name.ReverseFind('/');
    String title = slash >= 0 ? name.Right(name.Length() - slash - 1) : name;
    if (title.IsEmpty()) title = name;
    SetTitle(title);
    if (addToMRU)
        if (CWinApp* app = AfxGetApp()) app->AddToRecentFileList(m_strPathName);
}

void CDocument::AddView(CView* view) {
    if (view == nullptr || std::find(m_viewList.begin(), m_viewList.end(), view) != m_viewList.end()) return;
    m_viewList.push_back(view);
    view->m_pDocument = this;
    OnChangedViewList();
}

void CDocument::RemoveView(CView* view) {
    auto it = std::find(m_viewList.begin(), m_viewList.end(), view);
    if (it == m_viewList.end()) return;
    m_viewList.erase(it);
    view->m_pDocument = nullptr;
    OnChangedViewList();
}

void CDocument::OnChangedViewList() {
    if (m_viewList.empty() && m_bAutoDelete) {
        OnCloseDocument();
        return;
    }
    UpdateFrameCounts();
}

void CDocument::UpdateAllViews(CView* sender, LPARAM hint, CObject* hintObject) {
    for (CView* view : GetViews()) {
        // A view closed by an earlier one's update is skipped.
        if (view == sender || std::find(m_viewList.begin(), m_viewList.end(), view) == m_viewList.end()) continue;
        view->OnUpdate(sender, hint, hintObject);
    }
}

bool CDocument::OnNewDocument() {
    DeleteContents();
    m_strPathName = "";
    SetModifiedFlag(false);
    return true;
}

bool CDocument::OnOpenDocument(const char* pathName) {
    QFile file(QString::fromUtf8(pathName != nullptr ? pathName : ""));
    if (!file.open(QIODevice::ReadOnly)) {
        AfxMessageBox(AFX_IDP_FAILED_TO_OPEN_DOC, MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    DeleteContents();
    try {
        CArchive archive(&file, CArchive::load);
        Serialize(archive);
    } catch (const std::exception&) {
        DeleteContents();
        AfxMessageBox(AFX_IDP_FAILED_TO_OPEN_DOC, MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    SetModifiedFlag(false);
    return true;
}

bool CDocument::OnSaveDocument(const char* pathName) {
    QFile file(QString::fromUtf8(pathName != nullptr ? pathName : ""));
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    if (ok) {
        try {
            CArchive archive(&file, CArchive::store);
            Serialize(archive);
        } catch (const std::exception&) {
            ok = false;
        }
        ok = ok && file.flush();
        file.close();
    }
    if (!ok) {
        AfxMessageBox(AFX_IDP_FAILED_TO_SAVE_DOC, MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    SetModifiedFlag(false);
    return true;
}

void CDocument::OnCloseDocument() {
    // Closing destroys the views, whose removal must not close us again.
    const bool autoDelete = m_bAutoDelete;
    m_bAutoDelete = false;
    for (CView* view : GetViews()) {
        if (std::find(m_viewList.begin(), m_viewList.end(), view) == m_viewList.end()) continue;
        if (CFrameWnd* frame = view->GetParentFrame()) frame->DestroyWindow();
        else view->DestroyWindow();
    }
    m_bAutoDelete = autoDelete;
    DeleteContents();
    if (m_bAutoDelete) delete this;
}

void CDocument::Serialize(CArchive&) {}

bool CDocument::SaveModified() {
    if (!IsModified()) return true;
    String prompt;
    prompt.Format("Save changes to %s?", m_strTitle.GetString());
    switch (AfxMessageBox(prompt, MB_YESNOCANCEL)) {
        case IDCANCEL: return false;
        case IDYES: return DoFileSave();
        default: return true;
    }
}

bool CDocument::CanCloseFrame(CFrameWnd* frame) {
    for (CView* view : m_viewList)
        if (view->GetParentFrame() != frame) return true;  // another frame keeps the document
    return SaveModified();
}

void CDocument::UpdateFrameCounts() {
    std::vector<CFrameWnd*> frames;
    for (CView* view : m_viewList) {
        CFrameWnd* frame = view->GetParentFrame();
        if (frame != nullptr && std::find(frames.begin(), frames.end(), frame) == frames.end()) frames.push_back(frame);
    }
    const bool numbered = frames.size() > 1;
    int n = 1;
    for (CFrameWnd* frame : frames) {
        frame->m_nWindow = numbered ? n++ : 0;
        frame->OnUpdateFrameTitle(true);
    }
}

bool CDocument::DoSave(const char* pathName, bool replace) {
    String name(pathName);
    if (name.IsEmpty()) {
        CWinApp* app = AfxGetApp();
        if (app == nullptr || app->m_pDocManager == nullptr) return false;
        name = IsUrl(m_strPathName) || m_strPathName.IsEmpty() ? m_strTitle : m_strPathName;
        if (!app->m_pDocManager->DoPromptFileName(name, replace ? "Save As" : "Save Copy As", false)) return false;
    }
    if (!OnSaveDocument(name)) return false;
    if (replace) SetPathName(name);
    return true;
}

bool CDocument::DoFileSave() {
    // A document that came from elsewhere (a URL, a file now missing or
    // read-only) is saved under a name the operator chooses.
    if (!IsWritableLocalFile(m_strPathName)) return DoSave(nullptr);
    return DoSave(m_strPathName);
}

void CDocument::OnFileClose() {
    if (!SaveModified()) return;
    OnCloseDocument();
}

void CDocument::OnFileSave() { DoFileSave(); }

void CDocument::OnFileSaveAs() { DoSave(nullptr); }

bool CDocument::OnCmdMsg(UINT id, CmdKind kind, CCmdUI* ui) {
    if (DispatchOwn(id, kind, ui)) return true;
    return m_pDocTemplate != nullptr && m_pDocTemplate->OnCmdMsg(id, kind, ui);
}
