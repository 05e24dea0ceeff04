#pragma once

#include "MessageBoxes.h"

// Modal message boxes of the window program, over QMessageBox: the critical
// icon for failures, the exclamation icon for the success messages.
class QtMessageBoxes : public MessageBoxes {
public:
    MessageAnswer Show(const QString& text, MessageIcon icon, MessageButtons buttons,
                       const QString& title) override;

    // For tests of the whole program, which cannot read a box on the
    // screen: from now on every box shown also adds a line "title<TAB>text"
    // to this file (UTF-8). Empty: nothing is written.
    static void RecordMessagesIn(const QString& path);
};
