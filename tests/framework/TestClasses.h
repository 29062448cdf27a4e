// Small framework classes for the tests: an application, a main frame with a
// toolbar and a status bar, a document, a child frame and a view, each
// recording what the framework asked of it.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "GuiTestSupport.h"
#include "framework/ControlBars.h"
#include "framework/DocTemplate.h"
#include "framework/Document.h"
#include "framework/FrameWnd.h"
#include "framework/Resources.h"
#include "framework/View.h"
#include "framework/WinApp.h"

namespace fwtest {

enum : UINT {
    IDR_TEST_MAIN = 200,
    IDR_TEST_DOC = 201,
    ID_CMD_DOC = 40001,        // the document handles it
    ID_CMD_VIEW = 40002,       // the view handles it
    ID_CMD_VIEW_OFF = 40003,   // the view handles it, its update handler disables it
    ID_CMD_NONE = 40004,       // nobody handles it
    ID_CMD_APP = 40005,        // the application handles it
    ID_CMD_VIEW_DOC = 40006,   // view and document
    ID_CMD_DOC_APP = 40007,    // document and application
    ID_CMD_FRAME_APP = 40008,  // main frame and application
    ID_CMD_THROW = 40009,      // the application's handler throws
    ID_CMD_CHILD = 40010,      // the child frame handles it
    ID_PANE_ON = 40100,        // update handler enables it and sets its text
    ID_PANE_OFF = 40101,       // update handler disables it
    ID_PANE_FREE = 40102,      // no update handler
};

inline std::vector<std::string>& Log() {
    static std::vector<std::string> log;
    return log;
}

inline void RegisterTestResources() {
    AfxResetResources();
    AfxSetResourceString(IDR_TEST_MAIN, "Test App");
    AfxSetResourceString(IDR_TEST_DOC, "\nDoc\nDoc\n\n\nTest.Document\nDoc Document");
    AfxSetResourceString(ID_PANE_ON, "pane on");
    AfxSetResourceString(ID_PANE_OFF, "pane off");
    AfxSetResourceString(ID_PANE_FREE, "pane free");
    AfxSetResourceString(ID_CMD_DOC, "Document command\nDoc tip");
    CToolBarResource toolbar;
    for (UINT id : {static_cast<UINT>(ID_CMD_DOC), static_cast<UINT>(ID_SEPARATOR), static_cast<UINT>(ID_CMD_VIEW),
                    static_cast<UINT>(ID_CMD_VIEW_OFF), static_cast<UINT>(ID_CMD_NONE), static_cast<UINT>(ID_CMD_APP)})
        toolbar.buttons.push_back({id, ""});
    AfxSetResourceToolBar(IDR_TEST_MAIN, toolbar);
    using M = CMenuItemResource;
    CMenuResource mainMenu;
    mainMenu.popups = {M::Popup("&File", {M::Item("&New", ID_FILE_NEW), M::Item("Recent File", ID_FILE_MRU_FILE1),
                                          M::Item("E&xit", ID_APP_EXIT)})};
    AfxSetResourceMenu(IDR_TEST_MAIN, mainMenu);
    CMenuResource docMenu;
    docMenu.popups = {M::Popup("&File", {M::Item("&Close", ID_FILE_CLOSE), M::Item("&Doc", ID_CMD_DOC)}),
                      M::Popup("&Window", {M::Item("&New Window", ID_WINDOW_NEW)})};
    AfxSetResourceMenu(IDR_TEST_DOC, docMenu);
    AfxSetResourceAccelerators(IDR_TEST_MAIN, {{"F5", ID_CMD_DOC}, {"F6", ID_CMD_APP}});
}

class TestDoc : public CDocument {
    DECLARE_DYNCREATE(TestDoc)

public:
    TestDoc() {
        ++live;
        MapCommand(ID_CMD_DOC, [] { Log().push_back("doc"); });
        MapCommand(ID_CMD_VIEW_DOC, [] { Log().push_back("doc"); });
        MapCommand(ID_CMD_DOC_APP, [] { Log().push_back("doc"); });
    }
    ~TestDoc() override { --live; }

    bool OnOpenDocument(const char* path) override {
        if (throwOnOpen) throw std::runtime_error("cannot reach the server");
        if (failOpen) return false;
        opened = path;
        return true;
    }

    std::string opened;
    static inline int live = 0;
    static inline bool failOpen = false;
    static inline bool throwOnOpen = false;
};

class TestView : public CView {
    DECLARE_DYNCREATE(TestView)

public:
    TestView() {
        ++live;
        MapCommand(ID_CMD_VIEW, [] { Log().push_back("view"); });
        MapCommand(ID_CMD_VIEW_OFF, [] { Log().push_back("view-off"); });
        MapCommandUI(ID_CMD_VIEW_OFF, [](CCmdUI* ui) { ui->Enable(false); });
        MapCommand(ID_CMD_VIEW_DOC, [] { Log().push_back("view"); });
    }
    ~TestView() override { --live; }

    void OnDraw(CDC*) override {}
    void OnInitialUpdate() override {
        CRect client;
        GetClientRect(&client);
        initialSize = client;
        ++initialUpdates;
        CView::OnInitialUpdate();
    }
    void OnUpdate(CView* sender, LPARAM hint, CObject*) override { updates.push_back({sender, hint}); }
    void OnTimer(UINT_PTR id) override {
        timerIds.push_back(id);
        if (killInTimer) KillTimer(id);
    }
    void OnSize(UINT, int cx, int cy) override { lastSize = CRect(0, 0, cx, cy); }

    CRect initialSize;
    CRect lastSize;
    int initialUpdates = 0;
    std::vector<std::pair<CView*, LPARAM>> updates;
    std::vector<UINT_PTR> timerIds;
    bool killInTimer = false;
    static inline int live = 0;
};

class TestChild : public CMDIChildWnd {
    DECLARE_DYNCREATE(TestChild)

public:
    TestChild() {
        MapCommand(ID_CMD_CHILD, [] { Log().push_back("child"); });
    }
};

class TestMainFrame : public CMDIFrameWnd {
public:
    TestMainFrame() {
        MapCommand(ID_CMD_FRAME_APP, [] { Log().push_back("frame"); });
        MapCommandUI(ID_PANE_ON, [](CCmdUI* ui) {
            ui->Enable(true);
            ui->SetText("pane text");
        });
        MapCommandUI(ID_PANE_OFF, [](CCmdUI* ui) { ui->Enable(false); });
    }
    int OnCreate(CREATESTRUCT* cs) override {
        if (CMDIFrameWnd::OnCreate(cs) == -1) return -1;
        if (failCreate) return -1;
        static const UINT indicators[] = {ID_SEPARATOR, ID_PANE_ON, ID_PANE_OFF, ID_PANE_FREE};
        if (!toolbar.CreateEx(this, TBSTYLE_FLAT, WS_CHILD | WS_VISIBLE | CBRS_TOP | CBRS_TOOLTIPS | CBRS_FLYBY) ||
            !toolbar.LoadToolBar(IDR_TEST_MAIN))
            return -1;
        if (!statusBar.Create(this) || !statusBar.SetIndicators(indicators, 4)) return -1;
        return 0;
    }
    CStatusBar statusBar;
    CToolBar toolbar;
    static inline bool failCreate = false;
};

class TestApp : public CWinApp {
public:
    TestApp() : CWinApp("TestApp") {
        MapCommand(ID_CMD_APP, [] { Log().push_back("app"); });
        MapCommand(ID_CMD_DOC_APP, [] { Log().push_back("app"); });
        MapCommand(ID_CMD_FRAME_APP, [] { Log().push_back("app"); });
        MapCommand(ID_CMD_THROW, [] { throw std::runtime_error("the handler failed"); });
    }
    bool InitInstance() override {
        SetRegistryKey("Test Company");
        LoadStdProfileSettings(4);
        AddDocTemplate(new CMultiDocTemplate(IDR_TEST_DOC, RUNTIME_CLASS(TestDoc), RUNTIME_CLASS(TestChild),
                                             RUNTIME_CLASS(TestView)));
        auto* frame = new TestMainFrame;
        if (!frame->LoadFrame(IDR_TEST_MAIN)) return false;
        m_pMainWnd = frame;
        frame->ShowWindow(SW_SHOW);
        return true;
    }
    bool OnIdle(long count) override {
        counts.push_back(count);
        return CWinApp::OnIdle(count);
    }
    TestMainFrame* Frame() const { return dynamic_cast<TestMainFrame*>(m_pMainWnd); }
    std::vector<long> counts;
};

// The framework's fixture: resources registered, log emptied.
class FrameworkTest : public guitest::GuiTest {
protected:
    void SetUp() override {
        RegisterTestResources();
        Log().clear();
        TestDoc::failOpen = false;
        TestDoc::throwOnOpen = false;
        TestMainFrame::failCreate = false;
    }
};

}  // namespace fwtest
