#pragma once

#include <QString>

// The system's words for a Windows error code, as its message table has them
// ("Access is denied."), without the line end; "system error N" for a code
// the table does not hold. Windows only.
QString WindowsErrorText(unsigned long code);
