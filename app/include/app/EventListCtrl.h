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

#include <chrono>

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
    // The rebuild that keeps what did not change: puts the event into `row`
    // (appended when row is the row count), touching only the cells whose
    // text or image changed, marks a Running row, and applies the
    // running-event rule as AddEventRow does, without selecting. A running
    // event that keeps its row shows its continued countdown at once.
    // Returns whether the event is Running.
    bool SetEventRow(int row, const PlaylistEvent& event);
    // Drops the rows from `count` on.
    void TruncateRows(int count);
    // Whether the operator moved the scroll bar since the last reset.
    bool OperatorScrolled() const { return m_operatorScrolled; }
    void ResetOperatorScrolled() { m_operatorScrolled = false; }
    // The countdown cell is drawn grey while the window's data may be stale.
    void SetCountdownGreyed(bool greyed);
    // The end of the running event shows: its countdown cell is amber from
    // warn seconds left, red from alarm seconds, and marked "over" once it
    // passed zero (the text stays the countdown). SetupColumns reads them
    // from the user settings ("Countdown/WarnSeconds", "AlarmSeconds";
    // 30 and 10 by default).
    void SetCountdownThresholds(int warnSeconds, int alarmSeconds);
    int CountdownAlert() const;

    // One second off the running event; its Duration cell shows the rest.
    void TickRunningRow() { TickRunningRow(1); }
    void TickRunningRow(long steps);
    // The one-second timer's step: one second off for every whole second
    // since the last step, so a late or skipped tick never leaves the
    // countdown behind the clock.
    void AdvanceRunningRow(std::chrono::steady_clock::time_point now);
    // When the timer's last step was counted.
    std::chrono::steady_clock::time_point LastStep() const { return m_lastStep; }

    // The list's font, row height and images at percent of their normal
    // size (the header's font too). Column widths stay as they are.
    void SetZoom(int percent);
    int Zoom() const { return m_zoom; }

    int runningRow() const { return m_running.RunningRow(); }
    const Timecode& countdown() const { return m_running.Countdown(); }

protected:
    void OnUserScrolled() override { m_operatorScrolled = true; }

private:
    CImageList* m_imageList = nullptr;  // owned
    bool m_operatorScrolled = false;
    int m_zoom = 100;
    double m_basePointSize = 0;  // the list's own font size, read at the first zoom
    bool m_countdownGreyed = false;
    int m_greyedRow = -1;  // the row whose countdown cell is grey
    int m_warnSeconds = 30;
    int m_alarmSeconds = 10;
    int m_alertRow = -1;  // the row whose countdown cell carries an alert
    void UpdateCountdownAlert();
    RunningEventState m_running;  // runningRow and countdown
    std::chrono::steady_clock::time_point m_lastStep = std::chrono::steady_clock::now();
};
