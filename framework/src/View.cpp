#include "framework/View.h"

#include <QPaintEvent>
#include <QPainter>
#include <QWidget>

#include "Hosts.h"
#include "framework/DocTemplate.h"
#include "framework/Document.h"
#include "framework/FrameWnd.h"

namespace {

// The view's widget: paints through OnDraw.
class ViewHost : public WndHost<QWidget> {
public:
    using WndHost<QWidget>::WndHost;

protected:
    void paintEvent(QPaintEvent*) override {
        auto* view = dynamic_cast<CView*>(CWnd::FromHandle(this));
        if (view == nullptr) return;
        QPainter painter(this);
        CDC dc(&painter);
        AfxGuard("OnDraw", [&] { view->OnDraw(&dc); });
    }
};

}  // namespace

CView::~CView() {
    if (m_pFrame != nullptr) m_pFrame->ViewGone(this);
    m_pFrame = nullptr;
    // Leaving the document may close (and delete) it when this was its last view.
    if (m_pDocument != nullptr) m_pDocument->RemoveView(this);
}

bool CView::PreCreateWindow(CREATESTRUCT&) { return true; }

bool CView::CreateView(CFrameWnd* frame, UINT id, CCreateContext* context) {
    if (m_hWnd != nullptr || frame == nullptr || frame->m_hWnd == nullptr) return false;
    CREATESTRUCT cs;
    cs.style = WS_CHILD | WS_VISIBLE | WS_BORDER;
    cs.id = id;
    if (!PreCreateWindow(cs)) return false;
    auto* w = new ViewHost(frame->m_hWnd);
    AttachWidget(w);
    SetDlgCtrlID(static_cast<int>(id));
    w->setAttribute(Qt::WA_OpaquePaintEvent, false);
    m_pFrame = frame;
    pendingContext_ = context;
    const int rc = OnCreate(&cs);
    pendingContext_ = nullptr;
    if (rc == -1) {
        m_pFrame = nullptr;
        Detach();
        delete w;
        return false;
    }
    return true;
}

int CView::OnCreate(CREATESTRUCT*) {
    if (pendingContext_ != nullptr && pendingContext_->m_pCurrentDoc != nullptr)
        pendingContext_->m_pCurrentDoc->AddView(this);
    return 0;
}

void CView::OnInitialUpdate() { OnUpdate(nullptr, 0, nullptr); }

void CView::OnUpdate(CView*, LPARAM, CObject*) { Invalidate(true); }

void CView::OnActivateView(bool, CView*, CView*) {}

bool CView::OnCmdMsg(UINT id, CmdKind kind, CCmdUI* ui) {
    if (DispatchOwn(id, kind, ui)) return true;
    return m_pDocument != nullptr && m_pDocument->OnCmdMsg(id, kind, ui);
}

void CView::PostNcDestroy() { delete this; }
