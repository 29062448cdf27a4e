// The report-mode list control: columns, rows with images and texts,
// selection through the selection model, and the image list.
#include <QHeaderView>
#include <QPainter>
#include <QPixmap>
#include <QTreeWidget>

#include "TestClasses.h"
#include "framework/ListCtrl.h"

using namespace fwtest;

namespace {

QIcon Solid(Qt::GlobalColor colour) {
    QPixmap pixmap(32, 32);
    pixmap.fill(colour);
    return QIcon(pixmap);
}

class ListTest : public FrameworkTest {
protected:
    void SetUp() override {
        FrameworkTest::SetUp();
        ASSERT_TRUE(parent.Create(nullptr, "list parent", WS_VISIBLE, CRect(0, 0, 700, 300), nullptr, 0));
        ASSERT_TRUE(list.Create(WS_CHILD | WS_VISIBLE | WS_BORDER | LVS_REPORT, CRect(0, 0, 700, 300), &parent, 1));
        ASSERT_TRUE(images.Create(24, 24, ILC_MASK | ILC_COLOR4, 4, 4));
        images.Add(Solid(Qt::transparent));
        images.Add(Solid(Qt::black));
        images.Add(Solid(Qt::green));
        images.Add(Solid(Qt::red));
        list.SetImageList(&images, LVSIL_SMALL);
        list.InsertColumn(0, "", LVCFMT_CENTER, 20);
        list.InsertColumn(1, "Segment", LVCFMT_CENTER, 100);
        list.InsertColumn(2, "Id", LVCFMT_CENTER, 97);
    }
    void TearDown() override {
        list.DestroyWindow();
        parent.DestroyWindow();
        FrameworkTest::TearDown();
    }
    CWnd parent;
    CListCtrl list;
    CImageList images;
};

}  // namespace

TEST_F(ListTest, ColumnsRowsAndImages) {
    QTreeWidget* tree = list.GetTreeWidget();
    EXPECT_FALSE(tree->rootIsDecorated());
    EXPECT_EQ(tree->iconSize(), QSize(24, 24));
    EXPECT_EQ(tree->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(list.GetColumnCount(), 3);
    EXPECT_EQ(list.GetColumnWidth(0), 20);
    EXPECT_EQ(list.GetColumnWidth(1), 100);
    EXPECT_EQ(tree->headerItem()->text(1), QStringLiteral("Segment"));
    EXPECT_EQ(images.GetImageCount(), 4);
    EXPECT_EQ(images.Add(QIcon()), -1);

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(list.InsertItem(list.GetItemCount(), "", i + 1), i);
        String text;
        text.Format("seg%d", i);
        EXPECT_TRUE(list.SetItemText(i, 1, text));
    }
    EXPECT_EQ(list.GetItemCount(), 3);
    EXPECT_EQ(std::string(list.GetItemText(2, 1)), "seg2");
    EXPECT_EQ(list.GetItemImage(1), 2);
    EXPECT_FALSE(tree->topLevelItem(1)->icon(0).isNull());
    EXPECT_EQ(tree->topLevelItem(1)->textAlignment(1) & Qt::AlignHCenter, Qt::AlignHCenter);
    // A row or column that does not exist: nothing happens.
    EXPECT_FALSE(list.SetItemText(3, 1, "x"));
    EXPECT_FALSE(list.SetItemText(0, 3, "x"));
    EXPECT_EQ(std::string(list.GetItemText(7, 1)), "");
    EXPECT_TRUE(list.DeleteAllItems());
    EXPECT_EQ(list.GetItemCount(), 0);
}

TEST_F(ListTest, SelectingRowsKeepsOtherSelectedRows) {
    for (int i = 0; i < 6; ++i) list.InsertItem(i, "", 0);
    EXPECT_EQ(list.GetFirstSelectedItem(), -1);
    list.SetItemState(5, LVIS_SELECTED, LVIS_SELECTED);
    list.SetItemState(2, LVIS_SELECTED, LVIS_SELECTED);
    EXPECT_EQ(list.GetSelectedCount(), 2);
    // The lowest-numbered selected row comes first.
    EXPECT_EQ(list.GetFirstSelectedItem(), 2);
    EXPECT_EQ(list.GetNextItem(2, LVNI_SELECTED), 5);
    EXPECT_EQ(list.GetNextItem(5, LVNI_SELECTED), -1);
    // Selecting does not move the focus.
    EXPECT_EQ(list.GetItemState(2, LVIS_FOCUSED), 0u);
    list.SetItemState(2, 0, LVIS_SELECTED);
    EXPECT_EQ(list.GetFirstSelectedItem(), 5);
    list.ModifyStyle(0, LVS_SINGLESEL);
    EXPECT_EQ(list.GetTreeWidget()->selectionMode(), QAbstractItemView::SingleSelection);
}

TEST_F(ListTest, TheOuterWidthIncludesTheBorder) {
    CRect outer;
    list.GetWindowRect(&outer);
    EXPECT_EQ(outer.Width(), 700);
    CRect client;
    list.GetClientRect(&client);
    EXPECT_LT(client.Width(), 700);
}
