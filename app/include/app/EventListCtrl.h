// CEventListCtrl: the report-mode list of one playlist view. Eight centred
// columns, four 24x24 row images, one row per event appended in playlist
// order (never sorted), the running event's row selected and counted down
// once a second.
//
// Ownership: the control owns its image list and deletes it when the object
// goes. The running-row state outlives rebuilds of the rows.
//
// GUI thread only.
#pragma once

#include "framework/ListCtrl.h"
#include "model/PlaylistEvent.h"
#include "model/RunningEvent.h"

class CView;

class CEventListCtrl : public CListCtrl {
public:
    CEventListCtrl() = default;
    ~CEventListCtrl() override;
    CEventListCtrl(const CEventListCtrl&) = delete;
    CEventListCtrl& operator=(const CEventListCtrl&) = delete;

    // Once, right after the window is made: full-row select, no label
    // editing, selection always shown, the image list, then the columns
    // (20, W/7, then W/7 - 3, W the outer width; never below 0).
    void SetupColumns(CView* view);
    // The four row images, installed as both the normal and the small list.
    void CreateImageList();
    // Appends the event's row and applies the running-event rule: a Running
    // row is selected (other rows and the focus are left alone).
    void AddEventRow(const PlaylistEvent& event);
    // One second off the running event; its Duration cell shows the rest.
    void TickRunningRow();

    int runningRow() const { return m_running.RunningRow(); }
    const Timecode& countdown() const { return m_running.Countdown(); }

private:
    CImageList* m_imageList = nullptr;  // owned
    RunningEventState m_running;        // runningRow and countdown
};
