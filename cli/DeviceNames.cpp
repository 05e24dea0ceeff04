#include "DeviceNames.h"

#include <QStringList>

bool IsDeviceFileName(const QString& name) {
    // The part before the first dot, without the spaces that Windows drops
    // at its end.
    QString stem = name.section(u'.', 0, 0);
    while (stem.endsWith(u' ')) {
        stem.chop(1);
    }
    stem = stem.toUpper();
    if (stem == u"CON" || stem == u"PRN" || stem == u"AUX" || stem == u"NUL") {
        return true;
    }
    if (stem.size() != 4 || !(stem.startsWith(u"COM") || stem.startsWith(u"LPT"))) {
        return false;
    }
    const QChar last = stem.back();
    return (last >= u'0' && last <= u'9') || last == QChar(0xB9) || last == QChar(0xB2) ||
           last == QChar(0xB3);
}

bool NamesWindowsDevice(const QString& path) {
    QString text = path;
    text.replace(u'/', u'\\');
    if (text.startsWith(QStringLiteral("\\\\.\\")) || text.startsWith(QStringLiteral("\\\\?\\"))) {
        return true;
    }
    const qsizetype slash = text.lastIndexOf(u'\\');
    QString name = text.mid(slash + 1);
    if (slash < 0 && name.size() >= 2 && name[1] == u':') {
        name = name.mid(2);  // C:NUL
    }
    return IsDeviceFileName(name);
}

QString DeviceFileProblem(const QString& option, const QString& path) {
    if (path.isEmpty() || !NamesWindowsDevice(path)) {
        return {};
    }
    return QStringLiteral("%1: %2 names a device of Windows, not a file").arg(option, path);
}
