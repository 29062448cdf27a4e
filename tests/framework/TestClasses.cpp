#include "TestClasses.h"

namespace fwtest {
IMPLEMENT_DYNCREATE(TestDoc, CDocument)
IMPLEMENT_DYNCREATE(TestView, CView)
IMPLEMENT_DYNCREATE(TestChild, CMDIChildWnd)
}  // namespace fwtest
