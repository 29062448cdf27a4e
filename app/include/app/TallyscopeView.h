// CTallyscopeView: the view of one playlist window, created by the framework
// from the playlist template. This file holds what the template needs; the
// event list, its countdown timer and the trigger commands come with the
// playlist view itself.
//
// GUI thread only.
#pragma once

#include "framework/View.h"

class CTallyscopeDoc;

class CTallyscopeView : public CView {
    DECLARE_DYNCREATE(CTallyscopeView)

public:
    CTallyscopeView() = default;
    CTallyscopeDoc* GetDocument() const;
    // Draws nothing: the event list covers the view.
    void OnDraw(CDC* dc) override;
};
