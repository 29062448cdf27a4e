#include "app/AboutDlg.h"

#include "app/Resource.h"

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX) {}
