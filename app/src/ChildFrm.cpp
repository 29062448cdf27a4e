#include "app/ChildFrm.h"

#include "app/Resource.h"

IMPLEMENT_DYNCREATE(CChildFrame, CMDIChildWnd)

CChildFrame::CChildFrame() { MapCommandUI(ID_INDICATOR_CLOCK, &CChildFrame::OnUpdateClock); }

void CChildFrame::OnUpdateClock(CCmdUI* ui) { ui->Enable(); }
