// CTallyscopeView: the view of one playlist window. The event list fills it
// above a one-line strip that says how old the rows are and, when they may
// be stale, why and since when. Every update of the document rebuilds the
// list in place (rows whose texts did not change are not touched), and a
// one-second timer counts down the running event. Each window on a document
// has its own view, list and countdown.
//
// The operator's choice: the rows the operator selected (by event id) and
// the row they last chose survive every rebuild, as does their scroll
// position; until they scroll, the running row is kept in view. The running
// rows are selected only while the operator has chosen nothing (a fresh
// window, or after Esc). The trigger commands act on the chosen event only.
//
// GUI thread only.
#pragma once

#include <set>
#include <string>

#include <QDateTime>
#include <QMetaObject>

#include "app/EventListCtrl.h"
#include "framework/View.h"

class CCmdUI;
class CTallyscopeDoc;
class QLabel;

class CTallyscopeView : public CView {
    DECLARE_DYNCREATE(CTallyscopeView)

public:
    CTallyscopeView();
    CTallyscopeDoc* GetDocument() const;

    // Stops the countdown timer, then destroys the window.
    bool DestroyWindow() override;
    bool PreCreateWindow(CREATESTRUCT& cs) override;
    // Makes the list over the whole view, fills it, starts the timer.
    void OnInitialUpdate() override;
    // Rebuilds the list; ignored until OnInitialUpdate has run.
    void OnUpdate(CView* sender, LPARAM hint, CObject* hintObject) override;
    // Draws nothing: the event list covers the view.
    void OnDraw(CDC* dc) override;
    void OnTimer(UINT_PTR id) override;
    void OnSize(UINT type, int cx, int cy) override;

    // The rows from the document's tree; the playlist clock goes to the
    // application (a playlist without one leaves the clock alone).
    void FillList();
    // The three trigger commands are available only for a first selected row
    // whose Segment is not "-1".
    void OnUpdateQuorCommand(CCmdUI* ui);
    // The row the trigger commands act on, or -1 when they are unavailable.
    int QuorCommandRow() const;

    // The trigger commands on the first selected row: its event id (column
    // 2) and the playlist's root "name" go to the application's senders.
    void OnQuorTriggerOff();
    void OnQuorTriggerOn();
    // Asks for the server address; on OK sends it and shows it in column 7
    // at once. Cancel sends and changes nothing.
    void OnQuorServerChange();

    // Esc: forgets the operator's choice; the running row is selected and
    // followed again. True when there was a choice to forget.
    bool ClearChoice();
    bool HasChoice() const { return !m_chosen.empty(); }
    void OnUpdateClearChoice(CCmdUI* ui);
    void OnClearChoice() { ClearChoice(); }
    // The event ids the operator chose, and the one chosen last.
    const std::set<std::string>& ChosenEvents() const { return m_chosen; }
    const std::string& LastChosenEvent() const { return m_lastChosen; }

    // The header line: the event after the running one and the time to its
    // start (the running event's countdown): "Next: EV2 'Title' in
    // 00:03:22", "... due now" once the countdown has run out, "Next: none
    // after the running event", or "No event running".
    String NextEventText() const;
    void UpdateNextEvent();

    // The zoom of the window's text: the list, its header line and strip.
    void SetZoom(int percent);

    // Column widths the operator set (dragged, a double-click on a header
    // divider, Fit Columns) are kept in the user settings per studio and
    // playlist name, and come back when the window next shows that playlist.
    // Until then the widths follow the usual rule.
    String ColumnsKey() const;
    // View > Fit Columns: every column as wide as its contents and heading.
    void OnFitColumns();
    void OnUpdateFitColumns(CCmdUI* ui);

    // The strip's text, and whether the window says its data may be stale.
    String FreshnessText() const;
    bool IsStale() const { return !m_staleReason.isEmpty(); }
    // Re-reads the fetch and link state into the strip (each second, and
    // after every update of the document).
    void UpdateFreshness();

    CEventListCtrl m_list;       // control id 1
    int m_initialized = 0;       // 1 once OnInitialUpdate has run
    unsigned int m_timerId = 0;  // 0: no timer running

private:
    // The selection after a rebuild: the chosen events, or the running rows.
    void ApplySelection();
    // The selection changed outside a rebuild: the operator's choice.
    void TakeChoice();
    void LayOut(int cx, int cy);
    void RestoreColumns();
    void SaveColumns();

    std::set<std::string> m_chosen;  // event ids the operator selected
    std::string m_lastChosen;        // the event of the operator's current row
    bool m_applying = false;         // the view itself changes the selection
    QLabel* m_strip = nullptr;       // owned by the view's widget
    QLabel* m_header = nullptr;      // owned by the view's widget
    QString m_staleReason;           // empty while the rows are fresh
    QDateTime m_staleSince;
    bool m_columnsRestored = false;  // the saved widths were looked for
    bool m_settingColumns = false;   // the view itself changes the widths
    QMetaObject::Connection m_resizeWatch;
    QMetaObject::Connection m_pressWatch;
    QMetaObject::Connection m_selectionWatch;
    QMetaObject::Connection m_currentWatch;
};
