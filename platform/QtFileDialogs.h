#pragma once

#include "FileDialogs.h"

// The open and save dialogs of the program, over QFileDialog.
class QtFileDialogs;  // defined with the file dialog work
