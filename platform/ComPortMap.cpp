#include "ComPortMap.h"

#include <QFileInfo>

#include "KeyValueBackend.h"

QString ComPortDeviceName(int portNumber) {
    if (portNumber < 1) {
        return {};
    }
#ifdef _WIN32
    return QStringLiteral("COM%1").arg(portNumber);
#else
    const QString link = QString::fromLocal8Bit(PerMachineStoreRoot()) +
                         QStringLiteral("/dosdevices/com%1").arg(portNumber);
    const QFileInfo linkInfo(link);
    if (linkInfo.exists() || linkInfo.isSymLink()) {
        return link;
    }
    static const char* const families[] = {"/dev/ttyS%1", "/dev/ttyUSB%1", "/dev/ttyACM%1"};
    const int family = (portNumber - 1) / 32;
    if (family >= 3) {
        return {};
    }
    return QString::fromLatin1(families[family]).arg((portNumber - 1) % 32);
#endif
}
