// The report-mode list control and its image list.
//
// CListCtrl stands on a QTreeView without root decoration over a flat table
// model of its own: rows of columns, an image in column 0 from the small
// image list, extended (several rows) selection unless LVS_SINGLESEL, whole
// rows selected. Selection goes through the selection model, so selecting a
// row never moves the current row or clears other selected rows. Column
// widths are the ones given; the last column does not stretch.
//
// Rows are stored compactly (one text buffer per row) and the common
// operations are cheap: appending a row, setting a cell to the text it
// already holds (no model signal, no repaint) and finding selected rows
// (from the selection model's ranges) cost no walk over the other rows.
//
// Ownership: the control does not own its image lists (the caller deletes
// them, after the control or with it). The view widget owns the model.
//
// GUI thread only.
#pragma once

#include <vector>

#include <QIcon>

#include "framework/Wnd.h"

class QTreeView;
class ListCtrlModel;
class ListCtrlView;

#define LVSIL_NORMAL 0
#define LVSIL_SMALL 1
#define LVCFMT_LEFT 0
#define LVCFMT_RIGHT 1
#define LVCFMT_CENTER 2
#define LVALERT_NONE 0
#define LVALERT_WARN 1
#define LVALERT_ALARM 2
#define LVALERT_OVER 3
#define LVIS_FOCUSED 0x0001u
#define LVIS_SELECTED 0x0002u
#define LVNI_ALL 0x0000
#define LVNI_FOCUSED 0x0001
#define LVNI_SELECTED 0x0002
#define ILC_MASK 0x0001u
#define ILC_COLOR4 0x0004u
#define ILC_COLOR32 0x0020u

class CImageList {
public:
    CImageList() = default;
    CImageList(const CImageList&) = delete;
    CImageList& operator=(const CImageList&) = delete;

    // Images of cx by cy pixels; flags, initial and grow are accepted as the
    // original takes them (the list grows as needed).
    bool Create(int cx, int cy, UINT flags, int initial, int grow);
    // Appends an icon (scaled to the list's size when shown); its index, or
    // -1 for a null icon or a list not created.
    int Add(const QIcon& icon);
    int GetImageCount() const { return static_cast<int>(images_.size()); }
    QIcon GetIcon(int index) const;
    CSize GetImageSize() const { return size_; }
    bool DeleteImageList();
    bool IsCreated() const { return created_; }

private:
    bool created_ = false;
    CSize size_;
    std::vector<QIcon> images_;
};

class CListCtrl : public CWnd {
public:
    CListCtrl() = default;
    // A window still attached shows no icon from here on (it is deleted
    // later, and the image lists may go first).
    ~CListCtrl() override;

    // A child list of parent filling rect, with LVS_ and WS_ styles.
    bool Create(DWORD style, const CRect& rect, CWnd* parent, UINT id);
    // The view; null before creation and after destruction.
    QTreeView* GetTreeView() const;

    DWORD GetStyle() const { return m_dwStyle; }
    // LVS_SINGLESEL and LVS_SHOWSELALWAYS take effect; LVS_EDITLABELS sets
    // the edit-key trigger (no label becomes editable: there is no
    // end-of-edit notification to accept the new text).
    void ModifyStyle(DWORD remove, DWORD add);
    DWORD GetExtendedStyle() const { return m_dwExStyle; }
    DWORD SetExtendedStyle(DWORD exStyle);

    // LVSIL_SMALL is the list shown in report view (column 0); returns the
    // previous list of that type. Icons are looked up in the list when a
    // row is drawn, so the list must outlive the rows that show it.
    CImageList* SetImageList(CImageList* list, int type);
    CImageList* GetImageList(int type) const;

    // Returns the column's index, or -1. Later columns move one place right
    // with their headings, widths and cells; a negative width gives 100.
    int InsertColumn(int column, const char* heading, int format = LVCFMT_LEFT, int width = -1, int subItem = -1);
    int GetColumnWidth(int column) const;
    // A negative width is taken as 0.
    bool SetColumnWidth(int column, int width);
    int GetColumnCount() const;

    int GetItemCount() const;
    // Inserts a row at index (clamped to the end) with text in column 0 and
    // image from the small image list (-1 none). Returns the row, or -1.
    int InsertItem(int index, const char* text, int image = -1);
    // False for a row or column that does not exist (nothing changes). The
    // text it already holds changes nothing and signals nothing.
    bool SetItemText(int item, int subItem, const char* text);
    String GetItemText(int item, int subItem) const;
    int GetItemImage(int item) const;
    // The row's image from the small list (-1 none); false for no such row.
    bool SetItemImage(int item, int image);
    bool DeleteItem(int item);
    // Rows, their marks and greyed cells go; the columns stay.
    bool DeleteAllItems();

    // LVIS_SELECTED (through the selection model) and LVIS_FOCUSED (the
    // current row); other rows keep their state.
    bool SetItemState(int item, UINT state, UINT mask);
    UINT GetItemState(int item, UINT mask) const;
    int GetSelectedCount() const;
    // The next row after start (-1: from the top) with the LVNI_ flags, or -1.
    int GetNextItem(int start, int flags) const;
    // The lowest-numbered selected row, or -1.
    int GetFirstSelectedItem() const { return GetNextItem(-1, LVNI_SELECTED); }
    // Scrolls the row fully into view; with partialOk a row already partly
    // visible stays where it is.
    bool EnsureVisible(int item, bool partialOk);
    // The first row at least partly visible at the top, or -1 when there
    // are no rows.
    int GetTopIndex() const;
    // How many whole rows the visible area holds (estimated from the font
    // and icon size while there are no rows).
    int GetCountPerPage() const;

    // A marked row (the running event) is drawn in bold inside a 2-pixel
    // amber frame, drawn over the selection. The mark moves with its row.
    void SetItemMark(int item, bool marked);
    bool GetItemMark(int item) const;
    // The cell's text in the disabled (grey) text colour; a selected row
    // still shows the selection's text colour. Columns 0 to 63 only.
    // One cell of a row may carry an alert, drawn by more than colour:
    // LVALERT_WARN amber with bold black text, LVALERT_ALARM red with bold
    // white text, LVALERT_OVER as ALARM with an exclamation mark before the
    // text. Setting another cell of the row moves it; LVALERT_NONE clears.
    void SetItemAlert(int item, int subItem, int level);
    int GetItemAlert(int item, int subItem) const;
    void SetItemGreyed(int item, int subItem, bool greyed);
    bool GetItemGreyed(int item, int subItem) const;

    // The rows go with the window; the image lists are no longer read.
    void OnDestroy() override;

    // Operator hooks, on the GUI thread; an exception is caught and logged.
    // After the operator changed the selection (mouse, keys); never for the
    // control's own changes (SetItemState, InsertItem, DeleteItem,
    // DeleteAllItems, InsertColumn).
    virtual void OnUserSelectionChanged() {}
    // After the operator moved the rows: the vertical scroll bar (drag,
    // wheel, arrows, page clicks), or a key that scrolled (PageUp, PageDown,
    // Home, End, arrows past the edge). EnsureVisible does not call it.
    virtual void OnUserScrolled() {}
    // A key pressed in the list (Qt::Key and Qt::KeyboardModifiers values),
    // before the list handles it; true consumes the key.
    virtual bool OnListKey(int /*qtKey*/, int /*qtModifiers*/) { return false; }

private:
    ListCtrlModel* Model() const;
    void ApplyStyle();
    DWORD m_dwStyle = 0;
    DWORD m_dwExStyle = 0;
    CImageList* m_normal = nullptr;
    CImageList* m_small = nullptr;
    ListCtrlView* m_view = nullptr;    // the attached widget (m_hWnd), owned by Qt's parent chain
    ListCtrlModel* m_model = nullptr;  // owned by m_view
};
