#include "framework/ListCtrl.h"

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTreeView>
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Hosts.h"

namespace {

Qt::Alignment AlignmentOf(int format) {
    switch (format & 3) {
        case LVCFMT_RIGHT: return Qt::AlignRight | Qt::AlignVCenter;
        case LVCFMT_CENTER: return Qt::AlignHCenter | Qt::AlignVCenter;
        default: return Qt::AlignLeft | Qt::AlignVCenter;
    }
}

// The frame of a marked row: amber, readable on white and on the selection.
const QColor kMarkColour(0xE0, 0xA0, 0x00);
constexpr int kMarkFrameWidth = 2;
constexpr int kGreyableColumns = 64;

// A row's cells: their UTF-8 texts back to back, each ended by a NUL (the
// texts come from C strings, so none holds one). Cells after the last one
// stored are empty, so an empty row stores nothing:
//
//   "\0" "104\0" "EV12\0" "Title 12\0"      cells 4.. are ""
//    c0   c1      c2       c3
//
// One allocation holds a whole row, and a new text is compared with the
// stored one without converting either.
struct CellSpan {
    size_t start = std::string::npos;  // npos: the cell is not stored (empty)
    size_t length = 0;
};

CellSpan FindCell(const std::string& cells, int column) {
    size_t pos = 0;
    for (int c = 0; c < column; ++c) {
        const size_t end = cells.find('\0', pos);
        if (end == std::string::npos) return {};
        pos = end + 1;
    }
    if (pos >= cells.size()) return {};
    return {pos, cells.find('\0', pos) - pos};
}

std::string_view CellText(const std::string& cells, int column) {
    const CellSpan span = FindCell(cells, column);
    if (span.start == std::string::npos) return {};
    return std::string_view(cells).substr(span.start, span.length);
}

// Sets the cell's text; false when it held that text already.
bool ReplaceCell(std::string& cells, int column, std::string_view text) {
    const CellSpan span = FindCell(cells, column);
    if (span.start == std::string::npos) {
        if (text.empty()) return false;
        const auto stored = static_cast<size_t>(std::count(cells.begin(), cells.end(), '\0'));
        cells.append(static_cast<size_t>(column) - stored, '\0');
        cells.append(text);
        cells.push_back('\0');
        return true;
    }
    if (std::string_view(cells).substr(span.start, span.length) == text) return false;
    cells.replace(span.start, span.length, text);
    return true;
}

// Bit c of a per-column mask after a column is inserted at column.
uint64_t InsertBit(uint64_t mask, int column) {
    if (column >= kGreyableColumns) return mask;
    const uint64_t low = mask & ((uint64_t{1} << column) - 1);
    const uint64_t high = column + 1 >= kGreyableColumns ? 0 : (mask >> column) << (column + 1);
    return low | high;
}

}  // namespace

// ---- the model and the view ------------------------------------------------

// The rows and columns of one list: a flat table. CListCtrl changes it; the
// view reads it. GUI thread only.
class ListCtrlModel final : public QAbstractTableModel {
public:
    struct Row {
        std::string cells;    // see FindCell
        uint64_t greyed = 0;  // bit c: column c drawn grey
        int image = -1;       // index in the small image list
        bool marked = false;
        int8_t alert = LVALERT_NONE;  // the alert of one cell of the row
        int16_t alertColumn = -1;
    };

    explicit ListCtrlModel(QObject* parent) : QAbstractTableModel(parent) { bold_.setBold(true); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : static_cast<int>(rows_.size());
    }
    int columnCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : static_cast<int>(columns_.size());
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
        const Row& row = rows_[static_cast<size_t>(index.row())];
        const int column = index.column();
        switch (role) {
            case Qt::DisplayRole:
            case Qt::EditRole: {
                const std::string_view text = CellText(row.cells, column);
                return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
            }
            case Qt::DecorationRole:
                if (column == 0 && small_ != nullptr && row.image >= 0 && row.image < small_->GetImageCount())
                    return small_->GetIcon(row.image);
                if (column == row.alertColumn && row.alert == LVALERT_OVER) return OverMark();
                break;
            case Qt::BackgroundRole:
                if (column == row.alertColumn && row.alert != LVALERT_NONE)
                    return QBrush(row.alert == LVALERT_WARN ? QColor(0xFF, 0xC0, 0x00) : QColor(0xC0, 0x00, 0x00));
                break;
            case Qt::TextAlignmentRole: return AlignmentOf(columns_[static_cast<size_t>(column)].format).toInt();
            case Qt::FontRole:
                if (row.marked || (column == row.alertColumn && row.alert != LVALERT_NONE)) return bold_;
                break;
            case Qt::ForegroundRole:
                if (column == row.alertColumn && row.alert != LVALERT_NONE)
                    return QBrush(row.alert == LVALERT_WARN ? QColor(Qt::black) : QColor(Qt::white));
                if (IsGreyed(row, column)) return grey_;
                break;
            default: break;
        }
        return {};
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
        const Column& column = columns_[static_cast<size_t>(section)];
        if (role == Qt::DisplayRole) return column.heading;
        if (role == Qt::TextAlignmentRole) return AlignmentOf(column.format).toInt();
        return {};
    }

    Qt::ItemFlags flags(const QModelIndex& index) const override {
        if (!index.isValid()) return Qt::NoItemFlags;
        return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
    }

    const Row& RowAt(int row) const { return rows_[static_cast<size_t>(row)]; }

    void InsertRow(int at, const char* text, int image) {
        beginInsertRows(QModelIndex(), at, at);
        Row row;
        row.image = image;
        if (text != nullptr && *text != '\0') {
            row.cells.assign(text);
            row.cells.push_back('\0');
        }
        rows_.insert(rows_.begin() + at, std::move(row));
        endInsertRows();
    }

    void SetText(int row, int column, const char* text) {
        if (!ReplaceCell(rows_[static_cast<size_t>(row)].cells, column, text != nullptr ? text : "")) return;
        static const QList<int> roles{Qt::DisplayRole, Qt::EditRole};
        const QModelIndex cell = index(row, column);
        emit dataChanged(cell, cell, roles);
    }

    void RemoveRow(int row) {
        beginRemoveRows(QModelIndex(), row, row);
        rows_.erase(rows_.begin() + row);
        endRemoveRows();
    }

    void Clear() {
        beginResetModel();
        rows_.clear();  // the capacity stays for the next fill
        endResetModel();
    }

    void InsertColumn(int at, const QString& heading, int format) {
        beginInsertColumns(QModelIndex(), at, at);
        columns_.insert(columns_.begin() + at, Column{heading, format});
        for (Row& row : rows_) {
            const CellSpan span = FindCell(row.cells, at);
            if (span.start != std::string::npos) row.cells.insert(span.start, 1, '\0');
            row.greyed = InsertBit(row.greyed, at);
            if (row.alertColumn >= at) ++row.alertColumn;
        }
        endInsertColumns();
    }

    void SetAlert(int row, int column, int level) {
        Row& r = rows_[static_cast<size_t>(row)];
        const int oldColumn = r.alertColumn;
        const int newColumn = level == LVALERT_NONE ? -1 : column;
        if (r.alert == level && oldColumn == newColumn) return;
        r.alert = static_cast<int8_t>(level);
        r.alertColumn = static_cast<int16_t>(newColumn);
        static const QList<int> roles{Qt::BackgroundRole, Qt::ForegroundRole, Qt::FontRole, Qt::DecorationRole};
        for (int c : {oldColumn, newColumn})
            if (c >= 0 && c < columnCount()) emit dataChanged(index(row, c), index(row, c), roles);
    }

    // The "over" mark: a white disc with a red exclamation mark, drawn once.
    static QIcon OverMark() {
        static const QIcon mark = [] {
            QPixmap pixmap(32, 32);
            pixmap.fill(Qt::transparent);
            QPainter p(&pixmap);
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(QPen(Qt::black, 2));
            p.setBrush(Qt::white);
            p.drawEllipse(QRectF(2, 2, 28, 28));
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(0xC0, 0x00, 0x00));
            p.drawRoundedRect(QRectF(13.5, 6, 5, 13), 2, 2);
            p.drawEllipse(QRectF(13.5, 21, 5, 5));
            return QIcon(pixmap);
        }();
        return mark;
    }

    void SetImage(int row, int image) {
        Row& r = rows_[static_cast<size_t>(row)];
        if (r.image == image) return;
        r.image = image;
        if (columnCount() == 0) return;
        static const QList<int> roles{Qt::DecorationRole};
        emit dataChanged(index(row, 0), index(row, 0), roles);
    }

    void SetMark(int row, bool marked) {
        Row& r = rows_[static_cast<size_t>(row)];
        if (r.marked == marked) return;
        r.marked = marked;
        if (columnCount() == 0) return;
        static const QList<int> roles{Qt::FontRole};
        emit dataChanged(index(row, 0), index(row, columnCount() - 1), roles);
    }

    void SetGreyed(int row, int column, bool greyed) {
        if (column >= kGreyableColumns) return;
        Row& r = rows_[static_cast<size_t>(row)];
        const uint64_t bit = uint64_t{1} << column;
        const uint64_t mask = greyed ? (r.greyed | bit) : (r.greyed & ~bit);
        if (mask == r.greyed) return;
        r.greyed = mask;
        static const QList<int> roles{Qt::ForegroundRole};
        const QModelIndex cell = index(row, column);
        emit dataChanged(cell, cell, roles);
    }

    static bool IsGreyed(const Row& row, int column) {
        return column < kGreyableColumns && (row.greyed >> column & 1) != 0;
    }

    // The list whose icons column 0 shows; not owned.
    void SetSmallList(const CImageList* list) {
        small_ = list;
        if (rowCount() == 0 || columnCount() == 0) return;
        static const QList<int> roles{Qt::DecorationRole};
        emit dataChanged(index(0, 0), index(rowCount() - 1, 0), roles);
    }

    // The view's disabled text colour, for greyed cells.
    void SetGrey(const QColor& colour) {
        if (grey_.color() == colour) return;
        grey_ = QBrush(colour);
        if (rowCount() > 0 && columnCount() > 0) {
            static const QList<int> roles{Qt::ForegroundRole};
            emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1), roles);
        }
    }

private:
    struct Column {
        QString heading;
        int format = LVCFMT_LEFT;
    };
    std::vector<Row> rows_;
    std::vector<Column> columns_;
    const CImageList* small_ = nullptr;
    QFont bold_;  // only the weight is set: the view's font gives the rest
    QBrush grey_;
};

// The list's view: draws the frame of marked rows and reports the operator's
// keys, selection changes and scrolling to the CListCtrl attached to it
// (found through CWnd::FromHandle, so a view whose object let go of it does
// what Qt does). GUI thread only.
class ListCtrlView final : public QTreeView {
public:
    explicit ListCtrlView(QWidget* parent) : QTreeView(parent) {}

    // Above 0 while the control itself changes rows or the selection.
    int quiet = 0;

    void Connect() {
        QObject::connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
            if (quiet > 0) return;
            if (CListCtrl* owner = Owner())
                AfxGuard("OnUserSelectionChanged", [owner] { owner->OnUserSelectionChanged(); });
        });
        // The slider reports the operator's actions before it moves; the
        // hook runs once the rows have moved.
        QScrollBar* bar = verticalScrollBar();
        QObject::connect(bar, &QAbstractSlider::actionTriggered, this, [this, bar](int) {
            if (bar->sliderPosition() != bar->value()) userScroll_ = true;
        });
        QObject::connect(bar, &QAbstractSlider::valueChanged, this, [this](int) {
            if (!userScroll_) return;
            userScroll_ = false;
            ReportScrolled();
        });
        UpdateGrey();
    }

    int TopRow() {
        executeDelayedItemsLayout();
        const int rows = model()->rowCount();
        if (rows == 0) return -1;
        const int height = rowHeight(model()->index(0, 0));
        if (height <= 0) return 0;
        return std::min(rows - 1, verticalOffset() / height);
    }

    int RowsPerPage() {
        executeDelayedItemsLayout();
        int height = model()->rowCount() > 0 ? rowHeight(model()->index(0, 0)) : 0;
        if (height <= 0) height = std::max(fontMetrics().height(), iconSize().height()) + 2;
        return viewport()->height() / height;
    }

protected:
    void drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QTreeView::drawRow(painter, option, index);
        const auto* rows = static_cast<const ListCtrlModel*>(model());
        if (!rows->RowAt(index.row()).marked) return;
        // Over the selection, across the visible width of the row.
        const QRect r = option.rect;
        const int w = kMarkFrameWidth;
        painter->fillRect(QRect(r.left(), r.top(), r.width(), w), kMarkColour);
        painter->fillRect(QRect(r.left(), r.bottom() - w + 1, r.width(), w), kMarkColour);
        painter->fillRect(QRect(r.left(), r.top(), w, r.height()), kMarkColour);
        painter->fillRect(QRect(r.right() - w + 1, r.top(), w, r.height()), kMarkColour);
    }

    void keyPressEvent(QKeyEvent* event) override {
        if (CListCtrl* owner = Owner()) {
            bool consumed = false;
            AfxGuard("OnListKey",
                     [&] { consumed = owner->OnListKey(event->key(), static_cast<int>(event->modifiers().toInt())); });
            if (consumed) {
                event->accept();
                return;
            }
        }
        const int before = verticalScrollBar()->value();
        QTreeView::keyPressEvent(event);
        if (verticalScrollBar()->value() != before) ReportScrolled();
    }

    void changeEvent(QEvent* event) override {
        QTreeView::changeEvent(event);
        if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) UpdateGrey();
    }

private:
    void UpdateGrey() {
        static_cast<ListCtrlModel*>(model())->SetGrey(palette().color(QPalette::Disabled, QPalette::Text));
    }
    CListCtrl* Owner() const { return dynamic_cast<CListCtrl*>(CWnd::FromHandle(this)); }
    void ReportScrolled() {
        if (CListCtrl* owner = Owner()) AfxGuard("OnUserScrolled", [owner] { owner->OnUserScrolled(); });
    }
    bool userScroll_ = false;  // the slider's action moves it: report the move
};

namespace {

// The control's own changes of rows and selection are not the operator's.
class QuietScope {
public:
    explicit QuietScope(ListCtrlView* view) : view_(view) { ++view_->quiet; }
    ~QuietScope() { --view_->quiet; }
    QuietScope(const QuietScope&) = delete;
    QuietScope& operator=(const QuietScope&) = delete;

private:
    ListCtrlView* view_;
};

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
    auto* view = new ListCtrlView(parent->m_hWnd);
    auto* model = new ListCtrlModel(view);
    view->setModel(model);
    m_view = view;
    m_model = model;
    AttachWidget(view);
    SetDlgCtrlID(static_cast<int>(id));
    m_dwStyle = style;
    view->setRootIsDecorated(false);
    view->setItemsExpandable(false);
    view->setUniformRowHeights(true);
    view->setAllColumnsShowFocus(true);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    view->header()->setStretchLastSection(false);
    view->header()->setSectionsMovable(false);
    view->header()->setMinimumSectionSize(0);  // any width, down to 0, as given
    view->setFrameShape((style & WS_BORDER) ? QFrame::StyledPanel : QFrame::NoFrame);
    view->setGeometry(rect.left, rect.top, rect.Width(), rect.Height());
    view->Connect();
    ApplyStyle();
    if (style & WS_VISIBLE) view->show();
    return true;
}

QTreeView* CListCtrl::GetTreeView() const { return m_view != nullptr && m_hWnd == m_view ? m_view : nullptr; }

ListCtrlModel* CListCtrl::Model() const { return GetTreeView() != nullptr ? m_model : nullptr; }

CListCtrl::~CListCtrl() {
    if (ListCtrlModel* model = Model()) model->SetSmallList(nullptr);
}

void CListCtrl::OnDestroy() {
    // Called with the widget still there (DestroyWindow) or going (its
    // parent went: the model may be gone already, and Model() is null).
    if (ListCtrlModel* model = Model()) model->SetSmallList(nullptr);
    m_view = nullptr;
    m_model = nullptr;
}

void CListCtrl::ApplyStyle() {
    QTreeView* view = GetTreeView();
    if (view == nullptr) return;
    view->setSelectionMode((m_dwStyle & LVS_SINGLESEL) ? QAbstractItemView::SingleSelection
                                                       : QAbstractItemView::ExtendedSelection);
    view->setEditTriggers((m_dwStyle & LVS_EDITLABELS) ? QAbstractItemView::EditKeyPressed
                                                       : QAbstractItemView::NoEditTriggers);
    // Without LVS_SHOWSELALWAYS the selection disappears with the focus.
    QPalette palette = view->palette();
    const QPalette base = view->style()->standardPalette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight,
                     (m_dwStyle & LVS_SHOWSELALWAYS) ? base.color(QPalette::Inactive, QPalette::Highlight)
                                                     : base.color(QPalette::Inactive, QPalette::Base));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     (m_dwStyle & LVS_SHOWSELALWAYS) ? base.color(QPalette::Inactive, QPalette::HighlightedText)
                                                     : base.color(QPalette::Inactive, QPalette::Text));
    view->setPalette(palette);
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
        if (ListCtrlModel* model = Model()) {
            if (list != nullptr) m_view->setIconSize(QSize(list->GetImageSize().cx, list->GetImageSize().cy));
            model->SetSmallList(list);
        }
    }
    return old;
}

CImageList* CListCtrl::GetImageList(int type) const { return type == LVSIL_SMALL ? m_small : m_normal; }

int CListCtrl::InsertColumn(int column, const char* heading, int format, int width, int) {
    ListCtrlModel* model = Model();
    if (model == nullptr || column < 0) return -1;
    column = std::min(column, model->columnCount());
    QuietScope quiet(m_view);
    model->InsertColumn(column, QString::fromUtf8(heading != nullptr ? heading : ""), format);
    m_view->header()->resizeSection(column, width >= 0 ? width : 100);
    return column;
}

int CListCtrl::GetColumnWidth(int column) const {
    ListCtrlModel* model = Model();
    if (model == nullptr || column < 0 || column >= model->columnCount()) return 0;
    return m_view->header()->sectionSize(column);
}

bool CListCtrl::SetColumnWidth(int column, int width) {
    ListCtrlModel* model = Model();
    if (model == nullptr || column < 0 || column >= model->columnCount()) return false;
    m_view->header()->resizeSection(column, width < 0 ? 0 : width);
    return true;
}

int CListCtrl::GetColumnCount() const {
    ListCtrlModel* model = Model();
    return model != nullptr ? model->columnCount() : 0;
}

int CListCtrl::GetItemCount() const {
    ListCtrlModel* model = Model();
    return model != nullptr ? model->rowCount() : 0;
}

int CListCtrl::InsertItem(int index, const char* text, int image) {
    ListCtrlModel* model = Model();
    if (model == nullptr) return -1;
    const int count = model->rowCount();
    if (index < 0 || index > count) index = count;
    QuietScope quiet(m_view);
    model->InsertRow(index, text, image);
    return index;
}

bool CListCtrl::SetItemText(int item, int subItem, const char* text) {
    ListCtrlModel* model = Model();
    if (model == nullptr || item < 0 || item >= model->rowCount() || subItem < 0 || subItem >= model->columnCount())
        return false;
    model->SetText(item, subItem, text);
    return true;
}

String CListCtrl::GetItemText(int item, int subItem) const {
    ListCtrlModel* model = Model();
    if (model == nullptr || item < 0 || item >= model->rowCount() || subItem < 0 || subItem >= model->columnCount())
        return String();
    const std::string_view text = CellText(model->RowAt(item).cells, subItem);
    return String(text.data(), static_cast<int>(text.size()));
}

int CListCtrl::GetItemImage(int item) const {
    ListCtrlModel* model = Model();
    if (model == nullptr || item < 0 || item >= model->rowCount()) return -1;
    return model->RowAt(item).image;
}

bool CListCtrl::SetItemImage(int item, int image) {
    ListCtrlModel* model = Model();
    if (model == nullptr || item < 0 || item >= model->rowCount()) return false;
    model->SetImage(item, image);
    return true;
}

bool CListCtrl::DeleteItem(int item) {
    ListCtrlModel* model = Model();
    if (model == nullptr || item < 0 || item >= model->rowCount()) return false;
    QuietScope quiet(m_view);
    model->RemoveRow(item);
    return true;
}

bool CListCtrl::DeleteAllItems() {
    ListCtrlModel* model = Model();
    if (model == nullptr) return false;
    QuietScope quiet(m_view);
    model->Clear();
    return true;
}

bool CListCtrl::SetItemState(int item, UINT state, UINT mask) {
    ListCtrlModel* model = Model();
    if (model == nullptr || item < 0 || item >= model->rowCount()) return false;
    QuietScope quiet(m_view);
    const QModelIndex index = model->index(item, 0);
    QItemSelectionModel* selection = m_view->selectionModel();
    if (mask & LVIS_SELECTED) {
        const auto flags = (state & LVIS_SELECTED) ? QItemSelectionModel::Select : QItemSelectionModel::Deselect;
        selection->select(index, flags | QItemSelectionModel::Rows);
    }
    if ((mask & LVIS_FOCUSED) && (state & LVIS_FOCUSED))
        selection->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    return true;
}

UINT CListCtrl::GetItemState(int item, UINT mask) const {
    ListCtrlModel* model = Model();
    if (model == nullptr || item < 0 || item >= model->rowCount()) return 0;
    UINT state = 0;
    QItemSelectionModel* selection = m_view->selectionModel();
    if (selection->isRowSelected(item, QModelIndex())) state |= LVIS_SELECTED;
    const QModelIndex current = selection->currentIndex();
    if (current.isValid() && current.row() == item) state |= LVIS_FOCUSED;
    return state & mask;
}

int CListCtrl::GetSelectedCount() const {
    return Model() != nullptr ? static_cast<int>(m_view->selectionModel()->selectedRows().size()) : 0;
}

int CListCtrl::GetNextItem(int start, int flags) const {
    ListCtrlModel* model = Model();
    if (model == nullptr) return -1;
    const int count = model->rowCount();
    if (start >= count - 1) return -1;
    const int from = start < 0 ? 0 : start + 1;
    QItemSelectionModel* selection = m_view->selectionModel();
    const bool selected = (flags & LVNI_SELECTED) != 0;
    if (flags & LVNI_FOCUSED) {
        const QModelIndex current = selection->currentIndex();
        if (!current.isValid() || current.row() < from) return -1;
        if (selected && !selection->isRowSelected(current.row(), QModelIndex())) return -1;
        return current.row();
    }
    if (!selected) return from;
    // Only rows inside the selection's ranges can be selected; a row counts
    // when all its columns are (as GetItemState has it).
    int best = -1;
    for (const QItemSelectionRange& range : selection->selection()) {
        if (!range.isValid() || range.parent().isValid()) continue;
        const int last = best >= 0 ? std::min(range.bottom(), best - 1) : range.bottom();
        for (int row = std::max(range.top(), from); row <= last; ++row) {
            if (selection->isRowSelected(row, QModelIndex())) {
                best = row;
                break;
            }
        }
    }
    return best;
}

bool CListCtrl::EnsureVisible(int item, bool partialOk) {
    ListCtrlModel* model = Model();
    if (model == nullptr || item < 0 || item >= model->rowCount()) return false;
    const QModelIndex index = model->index(item, 0);
    if (partialOk) {
        const QRect rect = m_view->visualRect(index);
        if (rect.height() > 0 && rect.top() < m_view->viewport()->height() && rect.top() + rect.height() > 0)
            return true;
    }
    m_view->scrollTo(index, QAbstractItemView::EnsureVisible);
    return true;
}

int CListCtrl::GetTopIndex() const { return Model() != nullptr ? m_view->TopRow() : -1; }

int CListCtrl::GetCountPerPage() const { return Model() != nullptr ? m_view->RowsPerPage() : 0; }

void CListCtrl::SetItemMark(int item, bool marked) {
    ListCtrlModel* model = Model();
    if (model == nullptr || item < 0 || item >= model->rowCount()) return;
    model->SetMark(item, marked);
}

bool CListCtrl::GetItemMark(int item) const {
    ListCtrlModel* model = Model();
    if (model == nullptr || item < 0 || item >= model->rowCount()) return false;
    return model->RowAt(item).marked;
}

void CListCtrl::SetItemAlert(int item, int subItem, int level) {
    ListCtrlModel* model = Model();
    if (model == nullptr || item < 0 || item >= model->rowCount() || subItem < 0 || subItem >= model->columnCount())
        return;
    if (level < LVALERT_NONE || level > LVALERT_OVER) level = LVALERT_NONE;
    model->SetAlert(item, subItem, level);
}

int CListCtrl::GetItemAlert(int item, int subItem) const {
    ListCtrlModel* model = Model();
    if (model == nullptr || item < 0 || item >= model->rowCount()) return LVALERT_NONE;
    const ListCtrlModel::Row& row = model->RowAt(item);
    return row.alertColumn == subItem ? row.alert : LVALERT_NONE;
}

void CListCtrl::SetItemGreyed(int item, int subItem, bool greyed) {
    ListCtrlModel* model = Model();
    if (model == nullptr || item < 0 || item >= model->rowCount() || subItem < 0 || subItem >= model->columnCount())
        return;
    model->SetGreyed(item, subItem, greyed);
}

bool CListCtrl::GetItemGreyed(int item, int subItem) const {
    ListCtrlModel* model = Model();
    if (model == nullptr || item < 0 || item >= model->rowCount() || subItem < 0 || subItem >= model->columnCount())
        return false;
    return ListCtrlModel::IsGreyed(model->RowAt(item), subItem);
}
