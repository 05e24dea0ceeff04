#include "Conversions.h"

#include <cmath>

namespace {

int DecimalDigit(QChar c) {
    return (c >= u'0' && c <= u'9') ? c.unicode() - u'0' : -1;
}

int HexDigit(QChar c) {
    if (c >= u'0' && c <= u'9') {
        return c.unicode() - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c.unicode() - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c.unicode() - u'A' + 10;
    }
    return -1;
}

qsizetype SkipDigits(const QString& s, qsizetype i) {
    while (i < s.size() && DecimalDigit(s[i]) >= 0) {
        ++i;
    }
    return i;
}

// The value of the longest leading decimal number of s, 0 when there is none
// or when it is too small for a double; false when it is too large for one.
bool LeadingDecimal(const QString& s, double& number) {
    qsizetype i = 0;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
        ++i;
    }
    const qsizetype integerEnd = SkipDigits(s, i);
    qsizetype end = integerEnd;
    qsizetype mantissaDigits = integerEnd - i;
    if (end < s.size() && s[end] == u'.') {
        const qsizetype fractionEnd = SkipDigits(s, end + 1);
        mantissaDigits += fractionEnd - end - 1;
        end = fractionEnd;
    }
    if (mantissaDigits == 0) {
        number = 0;
        return true;
    }
    if (end < s.size() && QStringLiteral("eEdD").contains(s[end])) {
        qsizetype j = end + 1;
        if (j < s.size() && (s[j] == u'+' || s[j] == u'-')) {
            ++j;
        }
        const qsizetype exponentEnd = SkipDigits(s, j);
        if (exponentEnd > j) {
            end = exponentEnd;
        }
    }
    QString text = s.left(end);
    text.replace(u'd', u'e').replace(u'D', u'e');
    bool ok = false;
    number = text.toDouble(&ok);  // C locale, whatever the system's
    // The text is a well-formed number, so a failure is a value out of range:
    // infinite when too large, 0 when too small (which rounds to 0 anyway).
    return ok || number == 0;
}

}  // namespace

bool ParseByteText(QStringView text, std::uint8_t& out) {
    const QStringView digits = text.trimmed();
    if (digits.isEmpty()) {
        return false;
    }
    int value = 0;
    for (const QChar c : digits) {
        const int digit = DecimalDigit(c);
        if (digit < 0) {
            return false;
        }
        value = value * 10 + digit;
        if (value > 255) {
            return false;
        }
    }
    out = static_cast<std::uint8_t>(value);
    return true;
}

bool ConvertComPortText(const QString& text, std::int16_t& out) {
    QString s;
    s.reserve(text.size());
    for (const QChar c : text) {
        if (c != u' ' && c != u'\t' && c != u'\n') {
            s.append(c);
        }
    }
    double number = 0;
    if (s.size() >= 2 && s[0] == u'&' && (s[1] == u'h' || s[1] == u'H')) {
        for (qsizetype i = 2; i < s.size() && HexDigit(s[i]) >= 0; ++i) {
            number = number * 16 + HexDigit(s[i]);
        }
    } else if (!LeadingDecimal(s, number)) {
        return false;
    }
    if (!std::isfinite(number)) {
        return false;
    }
    const double rounded = std::nearbyint(number);  // half to even
    if (rounded < -32768.0 || rounded > 32767.0) {
        return false;
    }
    out = static_cast<std::int16_t>(rounded);
    return true;
}
