// Where the playlist windows go: Tile and Cascade keep every window wholly
// inside the area, Tile never lets two overlap, Cascade leaves each a usable
// size, at a desk's size and at a wall's.
#include <QMdiArea>
#include <QMdiSubWindow>

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
