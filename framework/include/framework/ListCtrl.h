// The report-mode list control and its image list.
//
// CListCtrl stands on a QTreeWidget without root decoration: rows of
// columns, an image in column 0 from the small image list, extended (several
// rows) selection unless LVS_SINGLESEL, whole rows selected. Selection goes
// through the selection model, so selecting a row never moves the current
// row or clears other selected rows. Column widths are the ones given; the
// last column does not stretch.
//
// Ownership: the control does not own its image lists (the caller deletes
// them, after the control or with it).
//
// GUI thread only.
#pragma once

#include <vector>

#include <QIcon>

#include "framework/Wnd.h"

class QTreeWidget;

#define LVSIL_NORMAL 0
#define LVSIL_SMALL 1
#define LVCFMT_LEFT 0
#define LVCFMT_RIGHT 1
#define LVCFMT_CENTER 2
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

    // A child list of parent filling rect, with LVS_ and WS_ styles.
    bool Create(DWORD style, const CRect& rect, CWnd* parent, UINT id);
    QTreeWidget* GetTreeWidget() const;

    DWORD GetStyle() const { return m_dwStyle; }
    // LVS_SINGLESEL, LVS_SHOWSELALWAYS and LVS_EDITLABELS take effect.
    void ModifyStyle(DWORD remove, DWORD add);
    DWORD GetExtendedStyle() const { return m_dwExStyle; }
    DWORD SetExtendedStyle(DWORD exStyle);

    // LVSIL_SMALL is the list shown in report view (column 0); returns the
    // previous list of that type.
    CImageList* SetImageList(CImageList* list, int type);
    CImageList* GetImageList(int type) const;

    // Returns the column's index, or -1.
    int InsertColumn(int column, const char* heading, int format = LVCFMT_LEFT, int width = -1, int subItem = -1);
    int GetColumnWidth(int column) const;
    bool SetColumnWidth(int column, int width);
    int GetColumnCount() const;

    int GetItemCount() const;
    // Inserts a row at index (clamped to the end) with text in column 0 and
    // image from the small image list (-1 none). Returns the row, or -1.
    int InsertItem(int index, const char* text, int image = -1);
    // False for a row or column that does not exist (nothing changes).
    bool SetItemText(int item, int subItem, const char* text);
    String GetItemText(int item, int subItem) const;
    int GetItemImage(int item) const;
    bool DeleteItem(int item);
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
    bool EnsureVisible(int item, bool partialOk);
    // The rows go with the window.
    void OnDestroy() override { m_images.clear(); }

private:
    void ApplyStyle();
    QIcon IconFor(int image) const;
    DWORD m_dwStyle = 0;
    DWORD m_dwExStyle = 0;
    CImageList* m_normal = nullptr;
    CImageList* m_small = nullptr;
    std::vector<int> m_columnFormats;
    std::vector<int> m_images;  // per row
};
