#include "app/TallyscopeView.h"

#include "app/TallyscopeDoc.h"

IMPLEMENT_DYNCREATE(CTallyscopeView, CView)

CTallyscopeDoc* CTallyscopeView::GetDocument() const { return dynamic_cast<CTallyscopeDoc*>(m_pDocument); }

void CTallyscopeView::OnDraw(CDC*) {}
