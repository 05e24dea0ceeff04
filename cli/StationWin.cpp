// Station facts on Windows: the ports that the system lists, without opening
// any. The driver keeps the FTDI latency timer; ModemManager and device
// groups do not exist there.

#include <QSerialPortInfo>

#include "Station.h"

namespace {

UsbIdentity IdentityOf(const QSerialPortInfo& info) {
    UsbIdentity usb;
    if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
        usb.VendorId = QStringLiteral("%1").arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'));
        usb.ProductId = QStringLiteral("%1").arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
        usb.Serial = info.serialNumber();
    }
    return usb;
}

}  // namespace

QList<SerialDevice> ListSerialDevices(const SystemRoots&, const QString&) {
    QList<SerialDevice> devices;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        SerialDevice device;
        device.Path = info.portName();
        device.Usb = IdentityOf(info);
        if (info.portName().startsWith(QStringLiteral("COM"), Qt::CaseInsensitive)) {
            device.ComNumber = info.portName().mid(3).toInt();
            device.ComName = info.portName();
        }
        devices << device;
    }
    return devices;
}

UsbIdentity UsbIdentityOf(const QString& device, const SystemRoots&) {
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (info.portName().compare(device, Qt::CaseInsensitive) == 0) {
            return IdentityOf(info);
        }
    }
    return {};
}

QString SerialDeviceProblem(const QString& path, const SystemRoots&) {
    QString name = path;
    if (name.startsWith(QStringLiteral("\\\\.\\"))) {
        name = name.mid(4);
    }
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (info.portName().compare(name, Qt::CaseInsensitive) == 0) {
            return {};
        }
    }
    return QStringLiteral("is not a serial port of this machine");
}

int LatencyTimerMs(const QString&, const SystemRoots&) {
    return -1;
}

QString LatencyWarning(const QString&, const SystemRoots&) {
    return {};
}

QStringList StationWarnings(const QStringList&, const SystemRoots&) {
    return {};
}
