#include "framework/ListCtrl.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QTreeWidget>

#include "Hosts.h"

namespace {

Qt::Alignment AlignmentOf(int format) {
    switch (format & 3) {
    case LVCFMT_RIGHT: return Qt::AlignRight | Qt::AlignVCenter;
    case LVCFMT_CENTER: return Qt::AlignHCenter | Qt::AlignVCenter;
    default: return Qt::AlignLeft | Qt::AlignVCenter;
    }
}

}  // namespace

// ---- CImageList ------------------------------------------------------------

bool CImageList::Create(int cx, int cy, UINT, int, int) {
    if (cx <= 0 || cy <= 0) return false;
    created_ = true;
    size_ = CSize{cx, cy};
    images_.clear();
    return true;
}

int CImageList::Add(const QIcon& icon) {
    if (!created_ || icon.isNull()) return -1;
    images_.push_back(icon);
    return GetImageCount() - 1;
}

QIcon CImageList::GetIcon(int index) const {
    if (index < 0 || index >= GetImageCount()) return QIcon();
    return images_[static_cast<size_t>(index)];
}

bool CImageList::DeleteImageList() {
    const bool was = created_;
    created_ = false;
    images_.clear();
    return was;
}

// ---- CListCtrl -------------------------------------------------------------

bool CListCtrl::Create(DWORD style, const CRect& rect, CWnd* parent, UINT id) {
    if (m_hWnd != nullptr || parent == nullptr || parent->m_hWnd == nullptr) return false;
    auto* tree = new QTreeWidget(parent->m_hWnd);
    AttachWidget(tree);
    SetDlgCtrlID(static_cast<int>(id));
    m_dwStyle = style;
    tree->setRootIsDecorated(false);
    tree->setItemsExpandable(false);
    tree->setUniformRowHeights(true);
    tree->setAllColumnsShowFocus(true);
    tree->setSelectionBehavior(QAbstractItemView::SelectRows);
    tree->setColumnCount(0);
    tree->header()->setStretchLastSection(false);
    tree->header()->setSectionsMovable(false);
    tree->header()->setMinimumSectionSize(0);  // any width, down to 0, as given
    tree->setFrameShape((style & WS_BORDER) ? QFrame::StyledPanel : QFrame::NoFrame);
    tree->setGeometry(rect.left, rect.top, rect.Width(), rect.Height());
    ApplyStyle();
    if (style & WS_VISIBLE) tree->show();
    return true;
}

QTreeWidget* CListCtrl::GetTreeWidget() const { return qobject_cast<QTreeWidget*>(m_hWnd); }

void CListCtrl::ApplyStyle() {
    QTreeWidget* tree = GetTreeWidget();
    if (tree == nullptr) return;
    tree->setSelectionMode((m_dwStyle & LVS_SINGLESEL) ? QAbstractItemView::SingleSelection
                                                       : QAbstractItemView::ExtendedSelection);
    tree->setEditTriggers((m_dwStyle & LVS_EDITLABELS) ? QAbstractItemView::EditKeyPressed
                                                       : QAbstractItemView::NoEditTriggers);
    // Without LVS_SHOWSELALWAYS the selection disappears with the focus.
    QPalette palette = tree->palette();
    const QPalette base = tree->style()->standardPalette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight,
                     (m_dwStyle & LVS_SHOWSELALWAYS) ? base.color(QPalette::Inactive, QPalette::Highlight)
                                                     : base.color(QPalette::Inactive, QPalette::Base));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     (m_dwStyle & LVS_SHOWSELALWAYS) ? base.color(QPalette::Inactive, QPalette::HighlightedText)
                                                     : base.color(QPalette::Inactive, QPalette::Text));
    tree->setPalette(palette);
}

void CListCtrl::ModifyStyle(DWORD remove, DWORD add) {
    m_dwStyle = (m_dwStyle & ~remove) | add;
    ApplyStyle();
}

DWORD CListCtrl::SetExtendedStyle(DWORD exStyle) {
    const DWORD old = m_dwExStyle;
    m_dwExStyle = exStyle;
    return old;
}

CImageList* CListCtrl::SetImageList(CImageList* list, int type) {
    CImageList*& slot = type == LVSIL_SMALL ? m_small : m_normal;
    CImageList* old = slot;
    slot = list;
    if (type == LVSIL_SMALL) {
        if (QTreeWidget* tree = GetTreeWidget()) {
            if (list != nullptr) tree->setIconSize(QSize(list->GetImageSize().cx, list->GetImageSize().cy));
            for (int i = 0; i < tree->topLevelItemCount(); ++i)
                tree->topLevelItem(i)->setIcon(0, IconFor(m_images[static_cast<size_t>(i)]));
        }
    }
    return old;
}

CImageList* CListCtrl::GetImageList(int type) const { return type == LVSIL_SMALL ? m_small : m_normal; }

QIcon CListCtrl::IconFor(int image) const { return m_small != nullptr ? m_small->GetIcon(image) : QIcon(); }

int CListCtrl::InsertColumn(int column, const char* heading, int format, int width, int) {
    QTreeWidget* tree = GetTreeWidget();
    if (tree == nullptr || column < 0) return -1;
    const int count = GetColumnCount();
    if (column > count) column = count;
    QTreeWidgetItem* header = tree->headerItem();
    // Shift the later headings and formats one place right.
    tree->setColumnCount(count + 1);
    for (int c = count; c > column; --c) {
        header->setText(c, header->text(c - 1));
        header->setTextAlignment(c, Qt::Alignment(header->textAlignment(c - 1)));
        tree->header()->resizeSection(c, tree->header()->sectionSize(c - 1));
        for (int r = 0; r < tree->topLevelItemCount(); ++r) {
            QTreeWidgetItem* item = tree->topLevelItem(r);
            item->setText(c, item->text(c - 1));
            item->setTextAlignment(c, Qt::Alignment(item->textAlignment(c - 1)));
        }
    }
    m_columnFormats.insert(m_columnFormats.begin() + column, format);
    header->setText(column, QString::fromUtf8(heading != nullptr ? heading : ""));
    header->setTextAlignment(column, AlignmentOf(format));
    for (int r = 0; r < tree->topLevelItemCount(); ++r) {
        tree->topLevelItem(r)->setText(column, QString());
        tree->topLevelItem(r)->setTextAlignment(column, AlignmentOf(format));
    }
    tree->header()->resizeSection(column, width >= 0 ? width : 100);
    return column;
}

int CListCtrl::GetColumnWidth(int column) const {
    QTreeWidget* tree = GetTreeWidget();
    if (tree == nullptr || column < 0 || column >= GetColumnCount()) return 0;
    return tree->header()->sectionSize(column);
}

bool CListCtrl::SetColumnWidth(int column, int width) {
    QTreeWidget* tree = GetTreeWidget();
    if (tree == nullptr || column < 0 || column >= GetColumnCount()) return false;
    tree->header()->resizeSection(column, width < 0 ? 0 : width);
    return true;
}

int CListCtrl::GetColumnCount() const {
    QTreeWidget* tree = GetTreeWidget();
    return tree != nullptr ? tree->columnCount() : 0;
}

int CListCtrl::GetItemCount() const {
    QTreeWidget* tree = GetTreeWidget();
    return tree != nullptr ? tree->topLevelItemCount() : 0;
}

int CListCtrl::InsertItem(int index, const char* text, int image) {
    QTreeWidget* tree = GetTreeWidget();
    if (tree == nullptr) return -1;
    const int count = GetItemCount();
    if (index < 0 || index > count) index = count;
    auto* item = new QTreeWidgetItem;
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    for (int c = 0; c < GetColumnCount(); ++c)
        item->setTextAlignment(c, AlignmentOf(m_columnFormats[static_cast<size_t>(c)]));
    item->setText(0, QString::fromUtf8(text != nullptr ? text : ""));
    item->setIcon(0, IconFor(image));
    tree->insertTopLevelItem(index, item);
    m_images.insert(m_images.begin() + index, image);
    return index;
}

bool CListCtrl::SetItemText(int item, int subItem, const char* text) {
    QTreeWidget* tree = GetTreeWidget();
    if (tree == nullptr || item < 0 || item >= GetItemCount() || subItem < 0 || subItem >= GetColumnCount())
        return false;
    const QString t = QString::fromUtf8(text != nullptr ? text : "");
    QTreeWidgetItem* row = tree->topLevelItem(item);
    if (row->text(subItem) != t) row->setText(subItem, t);
    return true;
}

String CListCtrl::GetItemText(int item, int subItem) const {
    QTreeWidget* tree = GetTreeWidget();
    if (tree == nullptr || item < 0 || item >= GetItemCount() || subItem < 0 || subItem >= GetColumnCount())
        return String();
    return String(tree->topLevelItem(item)->text(subItem).toUtf8().constData());
}

int CListCtrl::GetItemImage(int item) const {
    if (item < 0 || item >= static_cast<int>(m_images.size())) return -1;
    return m_images[static_cast<size_t>(item)];
}

bool CListCtrl::DeleteItem(int item) {
    QTreeWidget* tree = GetTreeWidget();
    if (tree == nullptr || item < 0 || item >= GetItemCount()) return false;
    delete tree->takeTopLevelItem(item);
    m_images.erase(m_images.begin() + item);
    return true;
}

bool CListCtrl::DeleteAllItems() {
    QTreeWidget* tree = GetTreeWidget();
    if (tree == nullptr) return false;
    tree->clear();
    m_images.clear();
    return true;
}

bool CListCtrl::SetItemState(int item, UINT state, UINT mask) {
    QTreeWidget* tree = GetTreeWidget();
    if (tree == nullptr || item < 0 || item >= GetItemCount()) return false;
    const QModelIndex index = tree->model()->index(item, 0);
    QItemSelectionModel* selection = tree->selectionModel();
    if (mask & LVIS_SELECTED) {
        const auto flags = (state & LVIS_SELECTED) ? QItemSelectionModel::Select : QItemSelectionModel::Deselect;
        selection->select(index, flags | QItemSelectionModel::Rows);
    }
    if ((mask & LVIS_FOCUSED) && (state & LVIS_FOCUSED))
        selection->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    return true;
}

UINT CListCtrl::GetItemState(int item, UINT mask) const {
    QTreeWidget* tree = GetTreeWidget();
    if (tree == nullptr || item < 0 || item >= GetItemCount()) return 0;
    UINT state = 0;
    const QModelIndex index = tree->model()->index(item, 0);
    if (tree->selectionModel()->isRowSelected(item, QModelIndex())) state |= LVIS_SELECTED;
    if (tree->selectionModel()->currentIndex().row() == index.row() && tree->selectionModel()->currentIndex().isValid())
        state |= LVIS_FOCUSED;
    return state & mask;
}

int CListCtrl::GetSelectedCount() const {
    QTreeWidget* tree = GetTreeWidget();
    return tree != nullptr ? static_cast<int>(tree->selectionModel()->selectedRows().size()) : 0;
}

int CListCtrl::GetNextItem(int start, int flags) const {
    for (int i = start < 0 ? 0 : start + 1; i < GetItemCount(); ++i) {
        if (flags == LVNI_ALL) return i;
        UINT wanted = 0;
        if (flags & LVNI_SELECTED) wanted |= LVIS_SELECTED;
        if (flags & LVNI_FOCUSED) wanted |= LVIS_FOCUSED;
        if (GetItemState(i, wanted) == wanted) return i;
    }
    return -1;
}

bool CListCtrl::EnsureVisible(int item, bool) {
    QTreeWidget* tree = GetTreeWidget();
    if (tree == nullptr || item < 0 || item >= GetItemCount()) return false;
    tree->scrollToItem(tree->topLevelItem(item));
    return true;
}
