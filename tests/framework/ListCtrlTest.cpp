// The report-mode list control: columns, rows with images and texts,
// selection through the selection model, marks and greyed cells, the
// operator hooks, and the image list.
#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>
#include <QWheelEvent>
#include <utility>
#include <vector>

#include "TestClasses.h"
#include "framework/ListCtrl.h"

using namespace fwtest;

namespace {

QIcon Solid(Qt::GlobalColor colour) {
    QPixmap pixmap(32, 32);
    pixmap.fill(colour);
    return QIcon(pixmap);
}

// Records what the control reports of the operator.
class RecordingList : public CListCtrl {
public:
    void OnUserSelectionChanged() override { ++selectionChanges; }
    void OnUserScrolled() override { ++scrolls; }
    bool OnListKey(int key, int modifiers) override {
        keys.emplace_back(key, modifiers);
        return key == consumedKey;
    }
    int selectionChanges = 0;
    int scrolls = 0;
    std::vector<std::pair<int, int>> keys;
    int consumedKey = 0;
};

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
    void AddRows(int count) {
        for (int i = 0; i < count; ++i) {
            const int row = list.InsertItem(list.GetItemCount(), "", i % 4);
            String text;
            text.Format("seg%d", row);
            list.SetItemText(row, 1, text);
        }
    }
    QTreeView* View() const { return list.GetTreeView(); }
    QAbstractItemModel* Model() const { return list.GetTreeView()->model(); }
    QRect RowRect(int row) const { return View()->visualRect(Model()->index(row, 1)); }

    CWnd parent;
    RecordingList list;
    CImageList images;
};

}  // namespace

TEST_F(ListTest, ColumnsRowsAndImages) {
    QTreeView* view = list.GetTreeView();
    ASSERT_NE(view, nullptr);
    EXPECT_FALSE(view->rootIsDecorated());
    EXPECT_TRUE(view->uniformRowHeights());
    EXPECT_EQ(view->iconSize(), QSize(24, 24));
    EXPECT_EQ(view->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(list.GetColumnCount(), 3);
    EXPECT_EQ(list.GetColumnWidth(0), 20);
    EXPECT_EQ(list.GetColumnWidth(1), 100);
    EXPECT_EQ(view->model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Segment"));
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
    EXPECT_FALSE(Model()->index(1, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
    EXPECT_EQ(Model()->index(1, 1).data(Qt::TextAlignmentRole).toInt() & Qt::AlignHCenter, Qt::AlignHCenter);
    EXPECT_EQ(Model()->index(1, 1).data().toString(), QStringLiteral("seg1"));
    EXPECT_GE(RowRect(1).height(), 24);  // the icons fit
    // A row or column that does not exist: nothing happens.
    EXPECT_FALSE(list.SetItemText(3, 1, "x"));
    EXPECT_FALSE(list.SetItemText(0, 3, "x"));
    EXPECT_FALSE(list.SetItemText(-1, 0, "x"));
    EXPECT_EQ(std::string(list.GetItemText(7, 1)), "");
    EXPECT_EQ(list.GetItemImage(7), -1);
    EXPECT_FALSE(list.DeleteItem(3));
    // An index past the end appends.
    EXPECT_EQ(list.InsertItem(99, "last", 0), 3);
    EXPECT_EQ(std::string(list.GetItemText(3, 0)), "last");
    EXPECT_TRUE(list.DeleteAllItems());
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_EQ(list.GetColumnCount(), 3);
}

TEST_F(ListTest, TextsAreKeptByteForByteAndAnUnchangedTextSignalsNothing) {
    AddRows(3);
    QSignalSpy changes(Model(), &QAbstractItemModel::dataChanged);
    EXPECT_TRUE(list.SetItemText(1, 1, "seg1"));
    EXPECT_TRUE(list.SetItemText(1, 2, ""));  // never set: empty already
    EXPECT_TRUE(list.SetItemText(1, 2, nullptr));
    EXPECT_EQ(changes.count(), 0);

    // Cells set in any order, and texts growing and shrinking in between.
    EXPECT_TRUE(list.SetItemText(1, 2,
                                 "Gr\xC3\xBC\xC3\x9F"
                                 "e"));
    EXPECT_TRUE(list.SetItemText(1, 0, "a much longer label than before"));
    EXPECT_TRUE(list.SetItemText(1, 1, "s"));
    EXPECT_EQ(changes.count(), 3);
    EXPECT_EQ(changes.at(0).at(0).value<QModelIndex>(), Model()->index(1, 2));
    EXPECT_EQ(std::string(list.GetItemText(1, 0)), "a much longer label than before");
    EXPECT_EQ(std::string(list.GetItemText(1, 1)), "s");
    EXPECT_EQ(std::string(list.GetItemText(1, 2)),
              "Gr\xC3\xBC\xC3\x9F"
              "e");
    EXPECT_EQ(Model()->index(1, 2).data().toString(), QString::fromUtf8("Gr\xC3\xBC\xC3\x9F"
                                                                        "e"));
    EXPECT_TRUE(list.SetItemText(1, 0, ""));
    EXPECT_EQ(std::string(list.GetItemText(1, 0)), "");
    EXPECT_EQ(std::string(list.GetItemText(1, 1)), "s");
    // The neighbours are untouched.
    EXPECT_EQ(std::string(list.GetItemText(0, 1)), "seg0");
    EXPECT_EQ(std::string(list.GetItemText(2, 1)), "seg2");
    EXPECT_EQ(std::string(list.GetItemText(2, 2)), "");
}

TEST_F(ListTest, InsertingAColumnMovesLaterHeadingsWidthsCellsAndGreyedCells) {
    AddRows(2);
    list.SetItemText(0, 2, "id0");
    list.SetItemGreyed(0, 2, true);
    EXPECT_EQ(list.InsertColumn(1, "Title", LVCFMT_RIGHT, 50), 1);
    ASSERT_EQ(list.GetColumnCount(), 4);
    EXPECT_EQ(list.GetColumnWidth(0), 20);
    EXPECT_EQ(list.GetColumnWidth(1), 50);
    EXPECT_EQ(list.GetColumnWidth(2), 100);
    EXPECT_EQ(list.GetColumnWidth(3), 97);
    EXPECT_EQ(Model()->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Segment"));
    EXPECT_EQ(Model()->headerData(1, Qt::Horizontal, Qt::TextAlignmentRole).toInt() & Qt::AlignRight, Qt::AlignRight);
    EXPECT_EQ(std::string(list.GetItemText(0, 1)), "");
    EXPECT_EQ(std::string(list.GetItemText(0, 2)), "seg0");
    EXPECT_EQ(std::string(list.GetItemText(0, 3)), "id0");
    EXPECT_EQ(std::string(list.GetItemText(1, 2)), "seg1");
    EXPECT_FALSE(list.GetItemGreyed(0, 2));
    EXPECT_TRUE(list.GetItemGreyed(0, 3));
    EXPECT_EQ(Model()->index(0, 1).data(Qt::TextAlignmentRole).toInt() & Qt::AlignRight, Qt::AlignRight);

    // Past the end appends; a negative place is refused; no width gives 100.
    EXPECT_EQ(list.InsertColumn(9, "End"), 4);
    EXPECT_EQ(list.GetColumnWidth(4), 100);
    EXPECT_EQ(list.InsertColumn(-1, "No"), -1);
    EXPECT_EQ(list.GetColumnCount(), 5);
    // Widths are clamped at 0.
    EXPECT_TRUE(list.SetColumnWidth(1, -5));
    EXPECT_EQ(list.GetColumnWidth(1), 0);
    EXPECT_FALSE(list.SetColumnWidth(5, 10));
    EXPECT_EQ(list.GetColumnWidth(5), 0);
}

TEST_F(ListTest, TheModelKeepsQtsRulesThroughEveryChange) {
    QAbstractItemModelTester tester(Model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    AddRows(5);
    list.InsertItem(0, "first", 1);
    list.InsertItem(3, "middle", 2);
    list.SetItemMark(2, true);
    list.SetItemGreyed(1, 1, true);
    list.SetItemText(4, 2, "x");
    list.InsertColumn(1, "New", LVCFMT_LEFT, 30);
    list.DeleteItem(0);
    list.DeleteItem(list.GetItemCount() - 1);
    list.SetImageList(nullptr, LVSIL_SMALL);
    EXPECT_TRUE(Model()->index(0, 0).data(Qt::DecorationRole).isNull());
    list.SetImageList(&images, LVSIL_SMALL);
    EXPECT_EQ(list.GetItemCount(), 5);
    EXPECT_EQ(std::string(list.GetItemText(2, 0)), "middle");
    list.DeleteAllItems();
    EXPECT_EQ(Model()->rowCount(), 0);
}

TEST_F(ListTest, MarksAndGreyedCellsTravelWithTheirRows) {
    AddRows(4);
    list.SetItemMark(2, true);
    list.SetItemGreyed(3, 1, true);
    EXPECT_TRUE(list.GetItemMark(2));
    EXPECT_FALSE(list.GetItemMark(1));
    EXPECT_TRUE(Model()->index(2, 1).data(Qt::FontRole).value<QFont>().bold());
    EXPECT_TRUE(Model()->index(1, 1).data(Qt::FontRole).isNull());
    const QColor grey = View()->palette().color(QPalette::Disabled, QPalette::Text);
    EXPECT_EQ(Model()->index(3, 1).data(Qt::ForegroundRole).value<QBrush>().color(), grey);
    EXPECT_TRUE(Model()->index(3, 2).data(Qt::ForegroundRole).isNull());

    list.InsertItem(0, "new", 0);
    EXPECT_TRUE(list.GetItemMark(3));
    EXPECT_FALSE(list.GetItemMark(2));
    EXPECT_TRUE(list.GetItemGreyed(4, 1));
    EXPECT_FALSE(list.GetItemGreyed(3, 1));
    EXPECT_TRUE(list.DeleteItem(1));
    EXPECT_TRUE(list.GetItemMark(2));
    EXPECT_TRUE(list.GetItemGreyed(3, 1));
    list.SetItemGreyed(3, 1, false);
    EXPECT_FALSE(list.GetItemGreyed(3, 1));
    list.SetItemGreyed(3, 1, true);

    // Gone with the rows: new rows start plain.
    list.DeleteAllItems();
    AddRows(4);
    for (int row = 0; row < 4; ++row) {
        EXPECT_FALSE(list.GetItemMark(row)) << row;
        EXPECT_FALSE(list.GetItemGreyed(row, 1)) << row;
    }
    // Rows and columns that do not exist.
    list.SetItemMark(4, true);
    list.SetItemGreyed(0, 3, true);
    EXPECT_FALSE(list.GetItemMark(4));
    EXPECT_FALSE(list.GetItemGreyed(0, 3));
}

TEST_F(ListTest, TheMarkFrameIsDrawnOverTheSelection) {
    list.ModifyStyle(0, LVS_SHOWSELALWAYS);
    for (int i = 0; i < 4; ++i) list.InsertItem(i, "", 0);  // no text where pixels are read
    list.SetItemMark(1, true);
    list.SetItemMark(2, true);
    list.SetItemState(2, LVIS_SELECTED, LVIS_SELECTED);
    list.SetItemState(3, LVIS_SELECTED, LVIS_SELECTED);
    const QImage image = View()->viewport()->grab().toImage();
    const QColor amber(0xE0, 0xA0, 0x00);
    const int right = View()->viewport()->width() - 1;
    for (int row : {1, 2}) {
        const QRect r = RowRect(row);
        const int middle = r.top() + r.height() / 2;
        EXPECT_EQ(image.pixelColor(0, middle), amber) << row;
        EXPECT_EQ(image.pixelColor(1, middle), amber) << row;
        EXPECT_EQ(image.pixelColor(right, middle), amber) << row;
        EXPECT_EQ(image.pixelColor(r.center().x(), r.top()), amber) << row;
        EXPECT_EQ(image.pixelColor(r.center().x(), r.top() + 1), amber) << row;
        EXPECT_EQ(image.pixelColor(r.center().x(), r.bottom()), amber) << row;
        EXPECT_NE(image.pixelColor(r.center().x(), middle), amber) << row;  // a frame, not a fill
    }
    // The selected rows show the selection inside; unmarked rows no frame.
    const QColor inside = image.pixelColor(RowRect(2).center());
    EXPECT_TRUE(inside == View()->palette().color(QPalette::Active, QPalette::Highlight) ||
                inside == View()->palette().color(QPalette::Inactive, QPalette::Highlight));
    for (int row : {0, 3}) {
        const QRect r = RowRect(row);
        EXPECT_NE(image.pixelColor(0, r.center().y()), amber) << row;
        EXPECT_NE(image.pixelColor(r.center().x(), r.top()), amber) << row;
    }
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
    EXPECT_EQ(list.GetNextItem(-1, LVNI_FOCUSED), -1);
    list.SetItemState(2, 0, LVIS_SELECTED);
    EXPECT_EQ(list.GetFirstSelectedItem(), 5);
    list.ModifyStyle(0, LVS_SINGLESEL);
    EXPECT_EQ(list.GetTreeView()->selectionMode(), QAbstractItemView::SingleSelection);
}

TEST_F(ListTest, SelectedAndFocusedRowsAreFoundInAnyOrderAndFollowInsertsAndDeletes) {
    AddRows(10);
    for (int row : {7, 3, 4, 5, 9}) list.SetItemState(row, LVIS_SELECTED, LVIS_SELECTED);
    list.SetItemState(4, 0, LVIS_SELECTED);  // splits 3..5
    std::vector<int> found;
    for (int row = list.GetNextItem(-1, LVNI_SELECTED); row >= 0 && found.size() < 20;
         row = list.GetNextItem(row, LVNI_SELECTED))
        found.push_back(row);
    EXPECT_EQ(found, (std::vector<int>{3, 5, 7, 9}));
    EXPECT_EQ(list.GetSelectedCount(), 4);
    EXPECT_EQ(list.GetNextItem(5, LVNI_SELECTED), 7);
    EXPECT_EQ(list.GetNextItem(9, LVNI_SELECTED), -1);
    EXPECT_EQ(list.GetNextItem(50, LVNI_SELECTED), -1);
    EXPECT_EQ(list.GetItemState(4, LVIS_SELECTED), 0u);
    EXPECT_EQ(list.GetItemState(5, LVIS_SELECTED | LVIS_FOCUSED), LVIS_SELECTED);

    // The focus is the current row; LVNI_ALL is every row.
    list.SetItemState(6, LVIS_FOCUSED, LVIS_FOCUSED);
    EXPECT_EQ(list.GetItemState(6, LVIS_FOCUSED | LVIS_SELECTED), LVIS_FOCUSED);
    EXPECT_EQ(list.GetNextItem(-1, LVNI_FOCUSED), 6);
    EXPECT_EQ(list.GetNextItem(6, LVNI_FOCUSED), -1);
    EXPECT_EQ(list.GetNextItem(-1, LVNI_FOCUSED | LVNI_SELECTED), -1);
    EXPECT_EQ(list.GetFirstSelectedItem(), 3);  // the focus selected nothing
    EXPECT_EQ(list.GetNextItem(-1, LVNI_ALL), 0);
    EXPECT_EQ(list.GetNextItem(4, LVNI_ALL), 5);
    EXPECT_EQ(list.GetNextItem(9, LVNI_ALL), -1);

    // Selection and focus move with their rows.
    list.InsertItem(0, "top", 0);
    EXPECT_EQ(list.GetFirstSelectedItem(), 4);
    EXPECT_EQ(list.GetNextItem(-1, LVNI_FOCUSED), 7);
    list.DeleteItem(4);  // the first selected row goes
    EXPECT_EQ(list.GetFirstSelectedItem(), 5);
    EXPECT_EQ(list.GetSelectedCount(), 3);
    EXPECT_EQ(std::string(list.GetItemText(5, 1)), "seg5");
    list.DeleteAllItems();
    EXPECT_EQ(list.GetSelectedCount(), 0);
    EXPECT_EQ(list.GetFirstSelectedItem(), -1);
    EXPECT_EQ(list.GetNextItem(-1, LVNI_ALL), -1);
}

TEST_F(ListTest, StylesSetTheSelectionModeEditTriggerAndInactiveSelection) {
    QTreeView* view = View();
    const QPalette base = view->style()->standardPalette();
    EXPECT_EQ(view->palette().color(QPalette::Inactive, QPalette::Highlight),
              base.color(QPalette::Inactive, QPalette::Base));
    EXPECT_EQ(view->editTriggers(), QAbstractItemView::NoEditTriggers);
    list.ModifyStyle(0, LVS_SHOWSELALWAYS | LVS_EDITLABELS | LVS_SINGLESEL);
    EXPECT_EQ(view->palette().color(QPalette::Inactive, QPalette::Highlight),
              base.color(QPalette::Inactive, QPalette::Highlight));
    EXPECT_EQ(view->editTriggers(), QAbstractItemView::EditKeyPressed);
    EXPECT_EQ(view->selectionMode(), QAbstractItemView::SingleSelection);
    list.ModifyStyle(LVS_SINGLESEL | LVS_EDITLABELS, 0);
    EXPECT_EQ(view->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(view->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(list.GetStyle() & (LVS_SHOWSELALWAYS | LVS_SINGLESEL), static_cast<DWORD>(LVS_SHOWSELALWAYS));
}

TEST_F(ListTest, TheOperatorsSelectionIsReportedAndTheControlsOwnIsNot) {
    AddRows(6);
    list.SetItemState(1, LVIS_SELECTED, LVIS_SELECTED);
    list.SetItemState(1, LVIS_FOCUSED, LVIS_FOCUSED);
    list.InsertItem(0, "top", 0);  // moves the selected row
    list.DeleteItem(2);            // the selected row goes
    list.SetItemState(3, LVIS_SELECTED, LVIS_SELECTED);
    list.InsertColumn(1, "More");
    list.DeleteAllItems();
    EXPECT_EQ(list.selectionChanges, 0);

    AddRows(6);
    QTest::mouseClick(View()->viewport(), Qt::LeftButton, Qt::NoModifier, RowRect(3).center());
    EXPECT_EQ(list.GetFirstSelectedItem(), 3);
    EXPECT_EQ(list.selectionChanges, 1);
    QTest::keyClick(View(), Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(list.GetSelectedCount(), 2);
    EXPECT_EQ(list.selectionChanges, 2);
    // A click on the row already selected alone changes nothing.
    QTest::mouseClick(View()->viewport(), Qt::LeftButton, Qt::NoModifier, RowRect(4).center());
    const int afterClick = list.selectionChanges;
    EXPECT_EQ(afterClick, 3);
    QTest::mouseClick(View()->viewport(), Qt::LeftButton, Qt::NoModifier, RowRect(4).center());
    EXPECT_EQ(list.selectionChanges, afterClick);
}

TEST_F(ListTest, TheOperatorsScrollingIsReportedAndEnsureVisibleIsNot) {
    AddRows(200);
    EXPECT_TRUE(list.EnsureVisible(150, false));
    EXPECT_TRUE(list.EnsureVisible(0, false));
    EXPECT_EQ(list.scrolls, 0);
    EXPECT_EQ(list.GetTopIndex(), 0);

    QPoint inside = RowRect(2).center();
    QWheelEvent wheel(inside, View()->viewport()->mapToGlobal(inside), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(View()->viewport(), &wheel);
    EXPECT_EQ(list.scrolls, 1);
    const int afterWheel = list.GetTopIndex();
    EXPECT_GT(afterWheel, 0);

    // A click in the scroll bar's groove below the handle pages down.
    QScrollBar* bar = View()->verticalScrollBar();
    ASSERT_TRUE(guitest::RunLoopUntil([bar] { return bar->isVisible(); }, 2000));
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, QPoint(bar->width() / 2, bar->height() * 3 / 4));
    EXPECT_EQ(list.scrolls, 2);
    EXPECT_GT(list.GetTopIndex(), afterWheel);

    list.SetItemState(list.GetTopIndex(), LVIS_FOCUSED, LVIS_FOCUSED);
    const int beforeKey = list.GetTopIndex();
    QTest::keyClick(View(), Qt::Key_PageDown);
    EXPECT_EQ(list.scrolls, 3);
    EXPECT_GT(list.GetTopIndex(), beforeKey);
    // The wheel at the top moves nothing and reports nothing.
    list.EnsureVisible(0, false);
    QWheelEvent up(inside, View()->viewport()->mapToGlobal(inside), QPoint(), QPoint(0, 120), Qt::NoButton,
                   Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(View()->viewport(), &up);
    EXPECT_EQ(list.scrolls, 3);
    EXPECT_EQ(list.GetTopIndex(), 0);
}

TEST_F(ListTest, KeysReachTheHookBeforeTheList) {
    AddRows(5);
    list.SetItemState(1, LVIS_FOCUSED | LVIS_SELECTED, LVIS_FOCUSED | LVIS_SELECTED);
    list.consumedKey = Qt::Key_Down;
    // The test sends the Control key itself first.
    QTest::keyClick(View(), Qt::Key_Down, Qt::ControlModifier);
    ASSERT_FALSE(list.keys.empty());
    EXPECT_EQ(list.keys.back(), std::make_pair(static_cast<int>(Qt::Key_Down), static_cast<int>(Qt::ControlModifier)));
    EXPECT_EQ(list.GetNextItem(-1, LVNI_FOCUSED), 1);  // consumed: the list did not move
    list.consumedKey = 0;
    const size_t seen = list.keys.size();
    QTest::keyClick(View(), Qt::Key_Down);
    ASSERT_EQ(list.keys.size(), seen + 1);
    EXPECT_EQ(list.keys.back(), std::make_pair(static_cast<int>(Qt::Key_Down), 0));
    EXPECT_EQ(list.GetNextItem(-1, LVNI_FOCUSED), 2);
    EXPECT_EQ(list.GetFirstSelectedItem(), 2);
}

TEST_F(ListTest, TopIndexCountPerPageAndEnsureVisible) {
    EXPECT_EQ(list.GetTopIndex(), -1);
    const int emptyPage = list.GetCountPerPage();
    EXPECT_GT(emptyPage, 0);
    AddRows(100);
    const int rowHeight = RowRect(0).height();
    ASSERT_GT(rowHeight, 0);
    const int perPage = list.GetCountPerPage();
    EXPECT_EQ(perPage, View()->viewport()->height() / rowHeight);
    EXPECT_GT(perPage, 3);
    EXPECT_LT(perPage, 100);
    EXPECT_EQ(list.GetTopIndex(), 0);

    EXPECT_TRUE(list.EnsureVisible(99, false));
    const int top = list.GetTopIndex();
    EXPECT_GT(top, 0);
    EXPECT_LE(top, 99);
    EXPECT_GE(top + perPage, 100);
    EXPECT_LE(RowRect(99).bottom(), View()->viewport()->height());
    EXPECT_GE(RowRect(top).top(), 0);
    EXPECT_LT(RowRect(top - 1).top(), 0);

    // partialOk leaves a visible row where it is and still brings in a hidden one.
    EXPECT_TRUE(list.EnsureVisible(top + 1, true));
    EXPECT_EQ(list.GetTopIndex(), top);
    EXPECT_TRUE(list.EnsureVisible(10, true));
    EXPECT_LE(list.GetTopIndex(), 10);
    EXPECT_GE(list.GetTopIndex() + perPage, 11);
    EXPECT_FALSE(list.EnsureVisible(100, true));
    EXPECT_FALSE(list.EnsureVisible(-1, false));
}

TEST_F(ListTest, TheOuterWidthIncludesTheBorder) {
    CRect outer;
    list.GetWindowRect(&outer);
    EXPECT_EQ(outer.Width(), 700);
    CRect client;
    list.GetClientRect(&client);
    EXPECT_LT(client.Width(), 700);
}

TEST_F(ListTest, AfterDestructionEveryOperationFailsQuietly) {
    AddRows(3);
    QPointer<QTreeView> view = list.GetTreeView();
    list.DestroyWindow();
    // The widget goes later; until then it no longer reads the image list,
    // which its owner may delete at once.
    ASSERT_FALSE(view.isNull());
    EXPECT_EQ(view->model()->rowCount(), 3);
    EXPECT_TRUE(view->model()->index(1, 0).data(Qt::DecorationRole).isNull());
    EXPECT_EQ(list.GetTreeView(), nullptr);
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_EQ(list.GetColumnCount(), 0);
    EXPECT_EQ(list.InsertItem(0, "x", 0), -1);
    EXPECT_FALSE(list.SetItemText(0, 0, "x"));
    EXPECT_EQ(list.GetFirstSelectedItem(), -1);
    EXPECT_EQ(list.GetTopIndex(), -1);
    EXPECT_FALSE(list.DeleteAllItems());
    EXPECT_EQ(list.InsertColumn(0, "x"), -1);
}
