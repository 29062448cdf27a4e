#include "app/TallyscopeDoc.h"

IMPLEMENT_DYNCREATE(CTallyscopeDoc, CDocument)

void CTallyscopeDoc::Serialize(CArchive&) {}
