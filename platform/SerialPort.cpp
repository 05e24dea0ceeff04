#include "SerialPort.h"

#include <QStringList>

bool ParseLineSettings(const QString& text, LineSettings& out) {
    const QStringList fields = text.split(u',');
    if (fields.size() != 4) {
        return false;
    }
    bool baudOk = false;
    bool dataOk = false;
    bool stopOk = false;
    LineSettings parsed;
    parsed.BaudRate = fields[0].trimmed().toInt(&baudOk);
    const QString parity = fields[1].trimmed().toUpper();
    parsed.DataBits = fields[2].trimmed().toInt(&dataOk);
    parsed.StopBits = fields[3].trimmed().toInt(&stopOk);
    if (!baudOk || !dataOk || !stopOk || parsed.BaudRate <= 0 || parity.size() != 1 ||
        !QStringLiteral("NEOMS").contains(parity) || parsed.DataBits < 5 || parsed.DataBits > 8 ||
        (parsed.StopBits != 1 && parsed.StopBits != 2)) {
        return false;
    }
    parsed.Parity = parity[0].toLatin1();
    out = parsed;
    return true;
}
