#include "WindowsErrorText.h"

#include <windows.h>

QString WindowsErrorText(unsigned long code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString result = length > 0 && text ? QString::fromWCharArray(text, length).trimmed()
                                        : QStringLiteral("system error %1").arg(code);
    LocalFree(text);
    return result;
}
