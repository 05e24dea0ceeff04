#pragma once

// The Save action: writes image indices 0 to 0x7FFF to an Intel HEX file that
// the operator names in the save dialog.

#include "FileDialogs.h"
#include "FileSystem.h"
#include "MessageBoxes.h"
#include "ProcessState.h"

// Nothing is written when the operator chooses no file. The file is replaced
// whole or not at all; a failure to write it is shown in a message box.
void RunSaveAction(ProcessState& state, FileDialogs& dialogs, FileSystem& files,
                   MessageBoxes& messages);
