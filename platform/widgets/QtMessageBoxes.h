#pragma once

#include "MessageBoxes.h"

// Modal message boxes of the window program, over QMessageBox: the critical
// icon for failures, the exclamation icon for the success messages.
class QtMessageBoxes : public MessageBoxes {
public:
    MessageAnswer Show(const QString& text, MessageIcon icon, MessageButtons buttons,
                       const QString& title) override;
};
