// CTallyscopeView: the view of one playlist window. One list control fills
// it; every update of the document empties and refills the list, and a
// one-second timer counts down the running event. Each window on a document
// has its own view, list and countdown.
//
// GUI thread only.
#pragma once

#include "app/EventListCtrl.h"
#include "framework/View.h"

class CCmdUI;
class CTallyscopeDoc;

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

    CEventListCtrl m_list;     // control id 1
    int m_initialized = 0;     // 1 once OnInitialUpdate has run
    unsigned int m_timerId = 0;  // 0: no timer running
};
