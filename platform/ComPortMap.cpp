#include "ComPortMap.h"

#include <QFileInfo>

#include "KeyValueBackend.h"

#ifdef _WIN32
QString ComPortDeviceName(int portNumber) {
    return portNumber < 1 ? QString() : QStringLiteral("COM%1").arg(portNumber);
}
#else
QString ComPortDeviceName(int portNumber) {
    return ComPortDeviceName(portNumber, QString::fromLocal8Bit(PerMachineStoreRoot()),
                             QStringLiteral("/dev"), QString::fromLocal8Bit(FormerStoreRoot()));
}

QString ComPortDeviceName(int portNumber, const QString& storeRoot, const QString& deviceFolder,
                          const QString& formerRoot) {
    if (portNumber < 1) {
        return {};
    }
    for (const QString& root : {storeRoot, formerRoot}) {
        if (root.isEmpty()) {
            continue;
        }
        const QString link = root + QStringLiteral("/dosdevices/com%1").arg(portNumber);
        const QFileInfo linkInfo(link);
        if (linkInfo.exists() || linkInfo.isSymLink()) {
            return link;
        }
    }
    static const char* const families[] = {"/ttyS%1", "/ttyUSB%1", "/ttyACM%1"};
    const int family = (portNumber - 1) / 32;
    if (family >= 3) {
        return {};
    }
    return deviceFolder + QString::fromLatin1(families[family]).arg((portNumber - 1) % 32);
}
#endif
