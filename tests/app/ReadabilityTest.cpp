// What helps the operator read a window from afar: the next event and the
// time to its start above the rows, and a zoom that every list follows and
// that comes back after a restart.
#include <QFont>
#include <QImage>
#include <QPixmap>

#include <cstdlib>

#include "framework/Resources.h"
#include <QLabel>
#include <QHeaderView>
#include <QTreeView>

#include "HttpTestServer.h"
#include "PlaylistSupport.h"

using apptest::AppTest;
using apptest::EventSpec;
using apptest::FirstView;
using apptest::HttpTestServer;
using apptest::OpenPlaylist;
using apptest::PlaylistTest;
using apptest::PlaylistXml;

namespace {

double ListPointSize(CTallyscopeView* view) { return view->m_list.GetTreeView()->font().pointSizeF(); }

}  // namespace

TEST_F(PlaylistTest, TheHeaderNamesTheNextEventAndTheTimeToItsStart) {
    HttpTestServer server;
    EventSpec running{"EV2", "10", "Running"};
    running.durationSeconds = 75;
    server.Set("/main.xml", PlaylistXml({{"EV1"}, running, {"EV3"}}));
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CTallyscopeDoc* doc = OpenPlaylist(app, server.Url("/main.xml"));
    CTallyscopeView* view = FirstView(doc);
    ASSERT_NE(view, nullptr);
    auto* header = view->m_hWnd->findChild<QLabel*>("nextEvent");
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->text().toStdString(), "Next: EV3 'Title EV3' in 00:01:15");
    // The header sits above the list, the freshness strip below it.
    EXPECT_LE(header->geometry().bottom(), view->m_list.GetTreeView()->geometry().top());

    view->m_list.TickRunningRow(74);
    view->UpdateNextEvent();
    EXPECT_EQ(header->text().toStdString(), "Next: EV3 'Title EV3' in 00:00:01");
    // Past zero the next event is due.
    view->m_list.TickRunningRow(2);
    view->UpdateNextEvent();
    EXPECT_EQ(header->text().toStdString(), "Next: EV3 'Title EV3', due now");

    // The last event running: nothing after it; none running: said so.
    server.Set("/main.xml", PlaylistXml({{"EV1"}, {"EV3", "10", "Running"}}));
    doc->Refresh();
    ASSERT_TRUE(apptest::WaitForFetches(app));
    EXPECT_EQ(header->text().toStdString(), "Next: none after the running event");
    server.Set("/main.xml", PlaylistXml({{"EV1"}, {"EV3"}}));
    doc->Refresh();
    ASSERT_TRUE(apptest::WaitForFetches(app));
    EXPECT_EQ(header->text().toStdString(), "No event running");
}

TEST_F(PlaylistTest, TheZoomScalesEveryListWithinItsBoundsAndComesBackAfterARestart) {
    HttpTestServer server;
    server.Set("/a.xml", PlaylistXml({{"EV1"}}));
    server.Set("/b.xml", PlaylistXml({{"EV2"}}));
    double normal = 0;
    {
        CTallyscopeApp app;
        ASSERT_TRUE(app.InitInstance());
        EXPECT_EQ(app.Zoom(), 100);
        CTallyscopeView* a = FirstView(OpenPlaylist(app, server.Url("/a.xml")));
        ASSERT_NE(a, nullptr);
        normal = ListPointSize(a);
        ASSERT_GT(normal, 0);
        CMainFrame* frame = app.GetMainFrame();
        ASSERT_TRUE(AfxExecuteCommand(frame, ID_VIEW_ZOOM_IN));
        ASSERT_TRUE(AfxExecuteCommand(frame, ID_VIEW_ZOOM_IN));
        EXPECT_EQ(app.Zoom(), 125);
        EXPECT_DOUBLE_EQ(ListPointSize(a), normal * 1.25);
        EXPECT_EQ(a->m_list.GetTreeView()->iconSize(), QSize(20, 20));
        // The image column keeps room for the larger image; the lines above
        // and below the rows grow with the list.
        EXPECT_GE(a->m_list.GetColumnWidth(0), 24);
        EXPECT_DOUBLE_EQ(a->m_hWnd->findChild<QLabel*>("nextEvent")->font().pointSizeF(), normal * 1.25);
        EXPECT_DOUBLE_EQ(a->m_hWnd->findChild<QLabel*>("freshness")->font().pointSizeF(), normal * 1.25);
        // A window opened now starts at the zoom.
        CTallyscopeView* b = FirstView(OpenPlaylist(app, server.Url("/b.xml")));
        ASSERT_NE(b, nullptr);
        EXPECT_DOUBLE_EQ(ListPointSize(b), normal * 1.25);
        // The bounds: 400 % at most, 50 % at least.
        for (int i = 0; i < 20; ++i) app.OnZoomIn();
        EXPECT_EQ(app.Zoom(), 400);
        EXPECT_FALSE(AfxIsCommandEnabled(frame, ID_VIEW_ZOOM_IN));
        EXPECT_DOUBLE_EQ(ListPointSize(a), normal * 4);
        for (int i = 0; i < 20; ++i) app.OnZoomOut();
        EXPECT_EQ(app.Zoom(), 50);
        EXPECT_FALSE(AfxIsCommandEnabled(frame, ID_VIEW_ZOOM_OUT));
        EXPECT_TRUE(AfxIsCommandEnabled(frame, ID_VIEW_ZOOM_IN));
        EXPECT_DOUBLE_EQ(ListPointSize(b), normal * 0.5);
        ASSERT_TRUE(AfxExecuteCommand(frame, ID_VIEW_ZOOM_RESET));
        EXPECT_DOUBLE_EQ(ListPointSize(a), normal);
        EXPECT_EQ(a->m_list.GetColumnWidth(0), 20);
        app.SetZoom(175);
    }
    {
        // The next run starts at the zoom the operator left.
        CTallyscopeApp app;
        ASSERT_TRUE(app.InitInstance());
        EXPECT_EQ(app.Zoom(), 175);
        CTallyscopeView* a = FirstView(OpenPlaylist(app, server.Url("/a.xml")));
        ASSERT_NE(a, nullptr);
        EXPECT_DOUBLE_EQ(ListPointSize(a), normal * 1.75);
        // A value out of bounds in the settings is brought inside them.
        ASSERT_TRUE(app.WriteProfileString("View", "Zoom", "5000"));
    }
    CTallyscopeApp again;
    ASSERT_TRUE(again.InitInstance());
    EXPECT_EQ(again.Zoom(), 400);
}

TEST_F(PlaylistTest, ColumnWidthsTheOperatorSetComeBackForThatPlaylist) {
    HttpTestServer server;
    server.Set("/main.xml", PlaylistXml({{"EV1"}, {"EV2"}}, "Main"));
    server.Set("/other.xml", PlaylistXml({{"EV3"}}, "Other"));
    int ruleWidth = 0;
    {
        CTallyscopeApp app;
        ASSERT_TRUE(app.InitInstance());
        CTallyscopeView* view = FirstView(OpenPlaylist(app, server.Url("/main.xml")));
        ASSERT_NE(view, nullptr);
        ruleWidth = view->m_list.GetColumnWidth(kColumnTitle);
        // The operator drags the Title divider.
        view->m_list.GetTreeView()->header()->resizeSection(kColumnTitle, ruleWidth + 77);
        EXPECT_EQ(view->m_list.GetColumnWidth(kColumnTitle), ruleWidth + 77);
    }
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CTallyscopeView* main = FirstView(OpenPlaylist(app, server.Url("/main.xml")));
    CTallyscopeView* other = FirstView(OpenPlaylist(app, server.Url("/other.xml")));
    ASSERT_NE(main, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(main->m_list.GetColumnWidth(kColumnTitle), ruleWidth + 77);
    // Another playlist keeps the usual rule.
    EXPECT_EQ(other->m_list.GetColumnWidth(kColumnTitle), ruleWidth);
    // Later fetches leave the operator's widths alone.
    main->m_list.GetTreeView()->header()->resizeSection(kColumnTitle, ruleWidth + 5);
    main->GetDocument()->Refresh();
    ASSERT_TRUE(apptest::WaitForFetches(app));
    EXPECT_EQ(main->m_list.GetColumnWidth(kColumnTitle), ruleWidth + 5);
}

TEST_F(PlaylistTest, FitColumnsAndADividerDoubleClickShowWholeTexts) {
    HttpTestServer server;
    server.Set("/main.xml", PlaylistXml({{"EV1"}, {"EV2"}}, "Main"));
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CTallyscopeDoc* doc = OpenPlaylist(app, server.Url("/main.xml"));
    CTallyscopeView* view = FirstView(doc);
    ASSERT_NE(view, nullptr);
    QTreeView* tree = view->m_list.GetTreeView();
    const QFontMetrics metrics(tree->font());
    const int startText =
        metrics.horizontalAdvance(QString::fromUtf8(view->m_list.GetItemText(0, kColumnStartTime).GetString()));
    // The narrow window of the usual rule cuts the start time.
    view->GetParentFrame()->m_hWnd->resize(500, 300);
    guitest::RunLoopFor(20);
    tree->header()->resizeSection(kColumnStartTime, 40);
    ASSERT_LT(view->m_list.GetColumnWidth(kColumnStartTime), startText);

    // A double-click on the divider fits that column alone.
    const int titleBefore = view->m_list.GetColumnWidth(kColumnTitle);
    emit tree->header()->sectionHandleDoubleClicked(kColumnStartTime);
    EXPECT_GE(view->m_list.GetColumnWidth(kColumnStartTime), startText);
    EXPECT_EQ(view->m_list.GetColumnWidth(kColumnTitle), titleBefore);

    tree->header()->resizeSection(kColumnStartTime, 40);
    tree->header()->resizeSection(kColumnId, 10);
    ASSERT_TRUE(AfxExecuteCommand(app.GetMainFrame(), ID_VIEW_FIT_COLUMNS));
    for (int row = 0; row < view->m_list.GetItemCount(); ++row) {
        for (int column = 1; column < view->m_list.GetColumnCount(); ++column) {
            const QString text = QString::fromUtf8(view->m_list.GetItemText(row, column).GetString());
            EXPECT_GE(view->m_list.GetColumnWidth(column), metrics.horizontalAdvance(text))
                << "row " << row << " column " << column;
        }
    }
    // Headings stay whole too.
    EXPECT_GE(view->m_list.GetColumnWidth(kColumnId), tree->header()->sectionSizeHint(kColumnId));
    // What was fitted is what comes back.
    EXPECT_EQ(std::string(app.GetProfileString("Columns", view->ColumnsKey(), "")).empty(), false);
}

namespace {

// How many pixels of two icons differ in lightness alone, as an operator
// who cannot tell red from green sees them.
double GreyDifference(UINT a, UINT b, int size) {
    const QImage first = AfxLoadIcon(a).pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage second = AfxLoadIcon(b).pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
    if (first.size() != QSize(size, size) || second.size() != first.size()) return -1;
    int differ = 0;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const QRgb p = first.pixel(x, y);
            const QRgb q = second.pixel(x, y);
            // Lightness over white, alpha included.
            const int lp = (qGray(p) * qAlpha(p) + 255 * (255 - qAlpha(p))) / 255;
            const int lq = (qGray(q) * qAlpha(q) + 255 * (255 - qAlpha(q))) / 255;
            if (std::abs(lp - lq) > 60) ++differ;
        }
    return static_cast<double>(differ) / (size * size);
}

}  // namespace

TEST_F(AppTest, StateIconsDifferByShapeAndStaySharpWhenZoomed) {
    CTallyscopeApp app;
    for (int size : {16, 64}) {
        // Up, down and unknown; a trigger on and off.
        EXPECT_GT(GreyDifference(IDI_LINK_UP, IDI_LINK_DOWN, size), 0.08) << size;
        EXPECT_GT(GreyDifference(IDI_LINK_UP, IDI_LINK_UNKNOWN, size), 0.08) << size;
        EXPECT_GT(GreyDifference(IDI_LINK_DOWN, IDI_LINK_UNKNOWN, size), 0.08) << size;
        EXPECT_GT(GreyDifference(IDI_EVENT_ACTIVE, IDI_EVENT_IDLE, size), 0.03) << size;
        EXPECT_GT(GreyDifference(IDI_EVENT_ACTIVE, IDI_EVENT_SENT, size), 0.03) << size;
    }
    // Drawn for large sizes too, not blown up from 16 pixels.
    for (UINT id : {IDI_LINK_UP, IDI_LINK_DOWN, IDI_LINK_UNKNOWN})
        EXPECT_TRUE(AfxLoadIcon(id).availableSizes().contains(QSize(64, 64))) << id;
    for (UINT id : {IDI_EVENT_ACTIVE, IDI_EVENT_IDLE, IDI_EVENT_SENT, IDI_EVENT_BLANK})
        EXPECT_TRUE(AfxLoadIcon(id).availableSizes().contains(QSize(128, 128))) << id;
}
