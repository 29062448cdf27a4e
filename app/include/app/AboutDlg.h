// The About box: the application icon, "Tallyscope Version 3.0.0.1", OK.
#pragma once

#include "framework/Dialog.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg();
};
