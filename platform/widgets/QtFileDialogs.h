#pragma once

#include "FileDialogs.h"

// The open and save dialogs of the program, over QFileDialog (the system's
// own dialog where Qt offers one, as on Windows). The dialogs have no owner
// window.
class QtFileDialogs : public FileDialogs {
public:
    FileDialogResult Show(const FileDialogRequest& request) override;
};
