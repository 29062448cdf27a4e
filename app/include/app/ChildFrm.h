// CChildFrame: the frame of one playlist window. GUI thread only.
#pragma once

#include "framework/FrameWnd.h"

class CChildFrame : public CMDIChildWnd {
    DECLARE_DYNCREATE(CChildFrame)

public:
    CChildFrame();
    // The clock pane is enabled while a playlist window is active too.
    void OnUpdateClock(CCmdUI* ui);
};
