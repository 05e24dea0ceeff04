#pragma once

// The file dialog routine: the system's open-file or save-file dialog, set up
// for firmware files.

#include <QString>

#include "FileDialogs.h"
#include "MessageBoxes.h"

// Shows the open dialog when mode equals "OPEN" without regard to case, the
// save dialog otherwise, and returns the full path chosen; an empty text when
// nothing was chosen. A dialog that fails is reported in a message box titled
// appTitle, and gives an empty text too.
QString ShowFileDialog(FileDialogs& dialogs, MessageBoxes& messages, const QString& appTitle,
                       const QString& mode, const QString& title, const QString& initialName);
