#pragma once

// Number conversions of start-up and of the Update action.

#include <QString>
#include <QStringView>
#include <cstdint>

// A decimal whole number from 0 to 255, blanks around it allowed (model bytes
// of Config.txt, version bytes of a firmware file name). False for anything
// else; out is then untouched.
bool ParseByteText(QStringView text, std::uint8_t& out);

// The stored "ComPort" text as a number: blanks, tabs and line feeds are
// ignored; "&h" (either case) introduces hexadecimal digits; otherwise the
// longest leading decimal number (sign, digits, point and digits, exponent)
// counts, 0 when there is none; the number is rounded half to even. False
// when the result does not fit a 16-bit signed integer; out is then untouched.
bool ConvertComPortText(const QString& text, std::int16_t& out);
