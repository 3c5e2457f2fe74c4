#pragma once
// Start-up and shut-down of the controller program around its dialog.

#include <functional>

#include "NavikVdmControllerDlg.h"
#include "ui/MessageBoxes.h"

class CNavikVdmControllerApp {
public:
    // Runs the dialog modally and returns its result.
    using RunModal = std::function<int(CNavikVdmControllerDlg&)>;

    // Loads App_Data/VdmControllerConfig.cfg, starts the log and the XML platform, builds and runs
    // the dialog, and shuts everything down in order. The program's exit code: 0 after the
    // dialog, 1 when start-up failed (after its error box).
    int InitInstance(ui::MessageBoxes& boxes, const RunModal& runModal);
};
