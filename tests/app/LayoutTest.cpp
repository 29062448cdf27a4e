// Where the playlist windows go: Tile and Cascade keep every window wholly
// inside the area, Tile never lets two overlap, Cascade leaves each a usable
// size, at a desk's size and at a wall's.
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QScreen>
#include <QSettings>

#include "PlaylistSupport.h"

using apptest::AppTest;

namespace {

std::vector<QRect> WindowRects(CMainFrame* frame) {
    std::vector<QRect> rects;
    for (QMdiSubWindow* sub : frame->GetMDIClient()->subWindowList(QMdiArea::CreationOrder))
        rects.push_back(sub->geometry());
    return rects;
}

bool Inside(const QRect& r, const QRect& area) { return area.contains(r); }

class LayoutTest : public AppTest, public ::testing::WithParamInterface<QSize> {};

}  // namespace

TEST_P(LayoutTest, TileAndCascadeKeepEveryWindowInsideTheArea) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CMainFrame* frame = app.GetMainFrame();
    frame->m_hWnd->resize(GetParam());
    guitest::RunLoopFor(20);
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(AfxExecuteCommand(frame, ID_FILE_NEW));
    guitest::RunLoopFor(20);
    const QRect area = frame->GetMDIClient()->viewport()->rect();
    ASSERT_GT(area.width(), 0);

    ASSERT_TRUE(AfxExecuteCommand(frame, ID_WINDOW_TILE_HORZ));
    std::vector<QRect> rects = WindowRects(frame);
    ASSERT_EQ(rects.size(), 6u);
    for (size_t i = 0; i < rects.size(); ++i) {
        EXPECT_TRUE(Inside(rects[i], area)) << i;
        for (size_t j = i + 1; j < rects.size(); ++j) EXPECT_FALSE(rects[i].intersects(rects[j])) << i << " " << j;
    }
    // Nothing of the area is wasted: the tiles cover it.
    int covered = 0;
    for (const QRect& r : rects) covered += r.width() * r.height();
    EXPECT_EQ(covered, area.width() * area.height());

    ASSERT_TRUE(AfxExecuteCommand(frame, ID_WINDOW_CASCADE));
    rects = WindowRects(frame);
    for (size_t i = 0; i < rects.size(); ++i) {
        EXPECT_TRUE(Inside(rects[i], area)) << i;
        // A usable size, not a bare title bar.
        EXPECT_GE(rects[i].width(), area.width() * 2 / 3) << i;
        EXPECT_GE(rects[i].height(), area.height() * 2 / 3) << i;
    }
    // Each one is offset from the one before, so every title shows.
    for (size_t i = 1; i < rects.size(); ++i) {
        if (rects[i].topLeft() != QPoint(0, 0)) {
            EXPECT_GT(rects[i].top(), rects[i - 1].top()) << i;
        }
    }

    ASSERT_TRUE(AfxExecuteCommand(frame, ID_WINDOW_TILE_VERT));
    rects = WindowRects(frame);
    for (size_t i = 0; i < rects.size(); ++i) {
        EXPECT_TRUE(Inside(rects[i], area)) << i;
        for (size_t j = i + 1; j < rects.size(); ++j) EXPECT_FALSE(rects[i].intersects(rects[j])) << i << " " << j;
    }
}

INSTANTIATE_TEST_SUITE_P(DeskAndWall, LayoutTest, ::testing::Values(QSize(1280, 720), QSize(3840, 2160)));

TEST_F(AppTest, TheMainWindowComesBackWhereItWasOnThatScreenAndInsideIt) {
    {
        CTallyscopeApp app;
        ASSERT_TRUE(app.InitInstance());
        CMainFrame* frame = app.GetMainFrame();
        frame->m_hWnd->resize(640, 480);
        frame->m_hWnd->move(30, 40);
        frame->SavePlacement();
    }
    {
        CTallyscopeApp app;
        ASSERT_TRUE(app.InitInstance());
        QWidget* window = app.GetMainFrame()->m_hWnd;
        EXPECT_EQ(window->size(), QSize(640, 480));
        EXPECT_EQ(window->pos(), QPoint(30, 40));
        // A place saved on a larger screen, or garbage, is brought inside.
        app.WriteProfileString("Placement", "unused", "1,2,3,4");
        const QString key = QStringLiteral("%1 %2x%3")
                                .arg(window->screen()->name())
                                .arg(window->screen()->geometry().width())
                                .arg(window->screen()->geometry().height());
        app.WriteProfileString("Placement", key.toUtf8().constData(), "9000,9000,5000,4000");
    }
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    QWidget* window = app.GetMainFrame()->m_hWnd;
    const QRect area = window->screen()->availableGeometry();
    EXPECT_TRUE(area.contains(QRect(window->pos(), window->size()))) << window->x() << "," << window->y();
    EXPECT_EQ(window->size(), area.size());
}

TEST_F(AppTest, AWallDisplayFillsItsScreenWithoutToolbarAndKeepsWindowsTiled) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CMainFrame* frame = app.GetMainFrame();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(AfxExecuteCommand(frame, ID_FILE_NEW));
    frame->EnterWallMode(nullptr);
    guitest::RunLoopFor(50);
    EXPECT_TRUE(frame->InWallMode());
    EXPECT_TRUE(frame->m_hWnd->isFullScreen());
    EXPECT_FALSE(frame->m_wndToolBar.m_hWnd->isVisible());
    EXPECT_EQ(frame->m_hWnd->geometry(), frame->m_hWnd->screen()->geometry());
    const QRect area = frame->GetMDIClient()->viewport()->rect();
    std::vector<QRect> rects = WindowRects(frame);
    ASSERT_EQ(rects.size(), 3u);
    for (size_t i = 0; i < rects.size(); ++i) {
        EXPECT_TRUE(Inside(rects[i], area));
        for (size_t j = i + 1; j < rects.size(); ++j) EXPECT_FALSE(rects[i].intersects(rects[j]));
    }
    // A wall's place is the screen, not one to remember.
    frame->SavePlacement();
    QSettings settings(QSettings::UserScope, "Local AppWizard-Generated Applications", "Tallyscope");
    settings.beginGroup("Placement");
    EXPECT_TRUE(settings.childKeys().isEmpty())
        << settings.childKeys().join(",").toStdString() << " in " << settings.fileName().toStdString();
}
