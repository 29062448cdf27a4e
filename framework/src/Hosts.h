// Private: the Qt widgets that stand for framework windows. Each forwards its
// events to the CWnd attached to it (found through CWnd::FromHandle, so a
// widget whose object has let go of it simply does what Qt does), and never
// lets an exception reach Qt.
#pragma once

#include <QCloseEvent>
#include <QResizeEvent>
#include <exception>
#include <utility>

#include "framework/Wnd.h"

// Runs f and reports what escapes it: no exception may cross a Qt slot, event
// handler, timer or dispatcher hook.
template <class F>
void AfxGuard(const char* where, F&& f) {
    try {
        std::forward<F>(f)();
    } catch (const std::exception& e) {
        qWarning("%s: %s", where, e.what());
    } catch (...) {
        qWarning("%s: unknown exception", where);
    }
}

template <class Base>
class WndHost : public Base {
public:
    template <class... Args>
    explicit WndHost(Args&&... args) : Base(std::forward<Args>(args)...) {}

protected:
    void resizeEvent(QResizeEvent* e) override {
        Base::resizeEvent(e);
        if (CWnd* owner = CWnd::FromHandle(this)) {
            const QSize size = this->contentsRect().size();
            AfxGuard("OnSize", [&] { owner->HandleResize(size.width(), size.height()); });
        }
    }
    void closeEvent(QCloseEvent* e) override {
        CWnd* owner = CWnd::FromHandle(this);
        if (owner == nullptr) {
            Base::closeEvent(e);
            return;
        }
        // The framework decides and destroys the window itself.
        e->ignore();
        AfxGuard("OnClose", [&] { owner->OnClose(); });
    }
};
