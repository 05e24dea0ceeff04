#include "PortName.h"

#include <QFileInfo>
#include <QRegularExpression>

#include "ComPortMap.h"

bool ResolvePortNumber(int number, PortTarget& out, QString& error) {
    if (number < 1 || number > 32767) {
        error = QStringLiteral("COM%1 is not a port number (1 to 32767)").arg(number);
        return false;
    }
    const QString device = ComPortDeviceName(number);
    if (device.isEmpty()) {
        error = QStringLiteral("COM%1 is not a port of this machine").arg(number);
        return false;
    }
    out = PortTarget{};
    out.Label = QStringLiteral("COM%1").arg(number);
    out.Number = static_cast<qint16>(number);
    out.Device = device;
    return true;
}

bool ResolvePortName(const QString& text, PortTarget& out, QString& error, bool mayBeAbsent) {
    static const QRegularExpression numbered(QStringLiteral("^(?:[Cc][Oo][Mm])?([0-9]{1,5})$"));
    const QRegularExpressionMatch match = numbered.match(text);
    if (match.hasMatch()) {
        return ResolvePortNumber(match.captured(1).toInt(), out, error);
    }
#ifdef _WIN32
    // A port that its driver names otherwise (CNCA0 of a virtual port pair),
    // given by its name or as \\.\NAME; planning checks that the system
    // lists it.
    static const QRegularExpression named(
        QStringLiteral("^(?:\\\\\\.\\\\)?([A-Za-z][A-Za-z0-9_-]{0,63})$"));
    const QRegularExpressionMatch name = named.match(text);
    if (name.hasMatch()) {
        out = PortTarget{};
        out.Label = name.captured(1);
        out.DevicePath = QStringLiteral("\\\\.\\") + name.captured(1);
        out.Device = out.DevicePath;
        return true;
    }
#endif
    if (!text.contains(u'/')) {
        error = QStringLiteral("\"%1\" is not a port name (COM3, 3 or a device path)").arg(text);
        return false;
    }
    if (!mayBeAbsent && !QFileInfo::exists(text)) {
        error = QStringLiteral("%1 does not exist").arg(text);
        return false;
    }
    out = PortTarget{};
    out.Label = text;
    out.DevicePath = text;
    out.Device = text;
    return true;
}

QString FindSharedDevice(const QList<PortTarget>& targets) {
    auto identity = [](const PortTarget& target) {
        const QString canonical = QFileInfo(target.Device).canonicalFilePath();
        return canonical.isEmpty() ? target.Device : canonical;
    };
    for (qsizetype i = 0; i < targets.size(); ++i) {
        for (qsizetype j = 0; j < i; ++j) {
            if (identity(targets[i]) == identity(targets[j])) {
                return QStringLiteral("%1 and %2 are the same port")
                    .arg(targets[j].Label, targets[i].Label);
            }
        }
    }
    return {};
}
