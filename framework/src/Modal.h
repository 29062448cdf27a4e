// Private: running a modal widget, answered by the test hook when one is
// installed.
#pragma once

#include <functional>

#include "framework/Afx.h"

class QDialog;

// Executes dialog in its own nested event loop and returns exec()'s result.
// With a hook installed, the hook is called from inside that loop and its
// answer handed to apply, which ends the run the way a person's click would.
int AfxRunModal(QDialog* dialog, CModalRun& run, std::function<void(int answer)> apply);
