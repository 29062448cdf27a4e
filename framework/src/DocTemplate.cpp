#include "framework/DocTemplate.h"

#include <QFileInfo>
#include <algorithm>
#include <cstring>

#include "framework/Dialog.h"
#include "framework/Document.h"
#include "framework/FrameWnd.h"
#include "framework/Resources.h"
#include "framework/View.h"
#include "framework/WinApp.h"

CDocTemplate::CDocTemplate(UINT resourceId, const CRuntimeClass* docClass, const CRuntimeClass* frameClass,
                           const CRuntimeClass* viewClass)
    : m_nIDResource(resourceId),
      m_pDocClass(docClass),
      m_pFrameClass(frameClass),
      m_pViewClass(viewClass),
      m_strDocStrings(AfxLoadString(resourceId)) {}

CDocTemplate::~CDocTemplate() {
    // Documents still open outlive us only when the application did not
    // close them; they forget their template.
    for (CDocument* doc : m_docList) doc->m_pDocTemplate = nullptr;
}

bool CDocTemplate::GetDocString(String& value, DocStringIndex index) const {
    value = AfxExtractSubString(m_strDocStrings, static_cast<int>(index));
    return !value.IsEmpty();
}

CDocTemplate::Confidence CDocTemplate::MatchDocType(const char* pathName, CDocument*& match) {
    match = nullptr;
    const String name(pathName);
    for (CDocument* doc : m_docList) {
        if (doc->GetPathName() == name) {
            match = doc;
            return yesAlreadyOpen;
        }
    }
    String ext;
    if (GetDocString(ext, filterExt) && name.Length() >= ext.Length()) {
        const QString tail = QString::fromUtf8(name.GetString()).right(QString::fromUtf8(ext.GetString()).size());
        if (tail.compare(QString::fromUtf8(ext.GetString()), Qt::CaseInsensitive) == 0) return yesAttemptNative;
    }
    return yesAttemptForeign;
}

CDocument* CDocTemplate::CreateNewDocument() {
    if (m_pDocClass == nullptr) return nullptr;
    CObject* object = m_pDocClass->CreateObject();
    auto* doc = dynamic_cast<CDocument*>(object);
    if (doc == nullptr) {
        delete object;
        return nullptr;
    }
    AddDocument(doc);
    return doc;
}

CFrameWnd* CDocTemplate::CreateNewFrame(CDocument* doc, CFrameWnd* other) {
    if (m_pFrameClass == nullptr) return nullptr;
    CCreateContext context;
    context.m_pCurrentFrame = other;
    context.m_pCurrentDoc = doc;
    context.m_pNewViewClass = m_pViewClass;
    context.m_pNewDocTemplate = this;
    context.m_pLastView = other != nullptr ? other->GetActiveView() : nullptr;
    CObject* object = m_pFrameClass->CreateObject();
    auto* frame = dynamic_cast<CFrameWnd*>(object);
    if (frame == nullptr) {
        delete object;
        return nullptr;
    }
    // On failure the frame has deleted itself.
    if (!frame->LoadFrame(m_nIDResource, WS_OVERLAPPEDWINDOW | FWS_ADDTOTITLE, AfxGetMainWnd(), &context))
        return nullptr;
    return frame;
}

void CDocTemplate::InitialUpdateFrame(CFrameWnd* frame, CDocument* doc, bool makeVisible) {
    if (frame != nullptr) frame->InitialUpdateFrame(doc, makeVisible);
}

void CDocTemplate::AddDocument(CDocument* doc) {
    if (doc == nullptr || std::find(m_docList.begin(), m_docList.end(), doc) != m_docList.end()) return;
    m_docList.push_back(doc);
    doc->m_pDocTemplate = this;
}

void CDocTemplate::RemoveDocument(CDocument* doc) {
    auto it = std::find(m_docList.begin(), m_docList.end(), doc);
    if (it == m_docList.end()) return;
    m_docList.erase(it);
    doc->m_pDocTemplate = nullptr;
}

void CDocTemplate::CloseAllDocuments(bool) {
    for (CDocument* doc : GetDocuments())
        if (std::find(m_docList.begin(), m_docList.end(), doc) != m_docList.end()) doc->OnCloseDocument();
}

bool CDocTemplate::SaveAllModified() {
    for (CDocument* doc : GetDocuments())
        if (!doc->SaveModified()) return false;
    return true;
}

CMultiDocTemplate::CMultiDocTemplate(UINT resourceId, const CRuntimeClass* docClass, const CRuntimeClass* frameClass,
                                     const CRuntimeClass* viewClass)
    : CDocTemplate(resourceId, docClass, frameClass, viewClass) {}

void CMultiDocTemplate::SetDefaultTitle(CDocument* doc) {
    String title;
    if (GetDocString(title, docName)) {
        String number;
        number.Format("%d", m_nUntitledCount + 1);
        title += number;
    } else {
        title = AfxLoadString(AFX_IDS_UNTITLED);
    }
    doc->SetTitle(title);
}

CDocument* CMultiDocTemplate::OpenDocumentFile(const char* pathName, bool makeVisible) {
    CDocument* doc = CreateNewDocument();
    if (doc == nullptr) {
        AfxMessageBox(AFX_IDP_FAILED_TO_CREATE_DOC, MB_OK | MB_ICONEXCLAMATION);
        return nullptr;
    }
    // The document must survive a frame that fails half-way.
    const bool autoDelete = doc->m_bAutoDelete;
    doc->m_bAutoDelete = false;
    CFrameWnd* frame = CreateNewFrame(doc, nullptr);
    doc->m_bAutoDelete = autoDelete;
    if (frame == nullptr) {
        AfxMessageBox(AFX_IDP_FAILED_TO_CREATE_DOC, MB_OK | MB_ICONEXCLAMATION);
        delete doc;
        return nullptr;
    }
    // From here the document goes with its frame: destroying the frame removes
    // the last view, which closes the document.
    try {
        if (pathName == nullptr) {
            SetDefaultTitle(doc);
            if (!doc->OnNewDocument()) {
                frame->DestroyWindow();
                return nullptr;
            }
            ++m_nUntitledCount;
        } else {
            if (!doc->OnOpenDocument(pathName)) {
                frame->DestroyWindow();
                return nullptr;
            }
            doc->SetPathName(pathName);
        }
    } catch (...) {
        frame->DestroyWindow();
        throw;
    }
    InitialUpdateFrame(frame, doc, makeVisible);
    return doc;
}

CDocManager::~CDocManager() {
    for (CDocTemplate* t : m_templateList) delete t;
}

void CDocManager::AddDocTemplate(CDocTemplate* docTemplate) {
    if (docTemplate != nullptr &&
        std::find(m_templateList.begin(), m_templateList.end(), docTemplate) == m_templateList.end())
        m_templateList.push_back(docTemplate);
}

CDocument* CDocManager::OpenDocumentFile(const char* fileName) {
    String name(fileName);
    if (!name.IsEmpty() && std::strstr(name, "://") == nullptr)
        name = QFileInfo(QString::fromUtf8(name.GetString())).absoluteFilePath().toUtf8().constData();
    return OpenDocumentByName(name);
}

CDocument* CDocManager::OpenDocumentByName(const char* name) {
    CDocTemplate* best = nullptr;
    CDocument* open = nullptr;
    CDocTemplate::Confidence bestMatch = CDocTemplate::noAttempt;
    for (CDocTemplate* t : m_templateList) {
        CDocument* match = nullptr;
        const CDocTemplate::Confidence c = t->MatchDocType(name, match);
        if (c > bestMatch) {
            bestMatch = c;
            best = t;
        }
        if (c == CDocTemplate::yesAlreadyOpen) {
            open = match;
            break;
        }
    }
    if (open != nullptr) {
        const std::vector<CView*> views = open->GetViews();
        if (!views.empty()) {
            CFrameWnd* frame = views.front()->GetParentFrame();
            if (frame != nullptr) {
                frame->ActivateFrame();
                auto* mainFrame = dynamic_cast<CFrameWnd*>(AfxGetMainWnd());
                if (mainFrame != nullptr && mainFrame != frame) mainFrame->ActivateFrame();
            }
        }
        return open;
    }
    if (best == nullptr) {
        AfxMessageBox(AFX_IDP_FAILED_TO_OPEN_DOC, MB_OK | MB_ICONEXCLAMATION);
        return nullptr;
    }
    return best->OpenDocumentFile(name);
}

void CDocManager::OnFileNew() {
    if (m_templateList.empty()) {
        AfxMessageBox(AFX_IDP_FAILED_TO_CREATE_DOC, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    // One document type: no choice to offer.
    m_templateList.front()->OpenDocumentFile(nullptr);
}

void CDocManager::OnFileOpen() {
    String name;
    if (!DoPromptFileName(name, "Open", true)) return;
    if (CWinApp* app = AfxGetApp()) app->OpenDocumentFile(name);
}

bool CDocManager::DoPromptFileName(String& fileName, const char* title, bool openFileDialog) {
    CFileDialog dialog(openFileDialog, fileName, title);
    if (dialog.DoModal() != IDOK) return false;
    fileName = dialog.GetPathName();
    return !fileName.IsEmpty();
}

bool CDocManager::SaveAllModified() {
    for (CDocTemplate* t : m_templateList)
        if (!t->SaveAllModified()) return false;
    return true;
}

void CDocManager::CloseAllDocuments(bool endSession) {
    for (CDocTemplate* t : m_templateList) t->CloseAllDocuments(endSession);
}

int CDocManager::GetOpenDocumentCount() const {
    int count = 0;
    for (CDocTemplate* t : m_templateList) count += static_cast<int>(t->GetDocuments().size());
    return count;
}
