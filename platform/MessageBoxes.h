#pragma once

#include <QString>

enum class MessageIcon { None, Critical, Exclamation };
enum class MessageButtons { Ok, RetryCancel };
enum class MessageAnswer { Ok, Retry, Cancel };

// Modal message boxes. Show returns when the operator has closed the box;
// while it is open, timer and serial events of the thread are still delivered.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    virtual MessageAnswer Show(const QString& text, MessageIcon icon, MessageButtons buttons,
                               const QString& title) = 0;
};
