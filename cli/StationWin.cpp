// Station facts on Windows: the ports that the system lists, without opening
// any, from the Ports device class (with each adapter's USB identity) and
// the registry's list of serial ports. The driver keeps the FTDI latency
// timer; ModemManager and device groups do not exist there.

#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <QMap>
#include <QRegularExpression>
#include <algorithm>
#include <vector>

#include "Station.h"

namespace {

QString FromWide(const wchar_t* text) {
    return QString::fromWCharArray(text);
}

// "USB\VID_0403&PID_6001\A12345" or "FTDIBUS\VID_0403+PID_6001+A12345A\0000".
UsbIdentity IdentityFromInstance(const QString& instance) {
    static const QRegularExpression ids(
        QStringLiteral("VID_([0-9A-Fa-f]{4})[&+]PID_([0-9A-Fa-f]{4})(?:[&+]([^\\\\&+]+))?"));
    UsbIdentity usb;
    const QRegularExpressionMatch match = ids.match(instance);
    if (!match.hasMatch()) {
        return usb;
    }
    usb.VendorId = match.captured(1).toLower();
    usb.ProductId = match.captured(2).toLower();
    if (instance.startsWith(QStringLiteral("USB\\"), Qt::CaseInsensitive)) {
        const QString last = instance.section(u'\\', -1);
        usb.Serial = last.contains(u'&') ? QString() : last;  // "6&2d3..." is no serial
    } else {
        usb.Serial = match.captured(3);
    }
    return usb;
}

// The serial ports of the Ports device class that are present: name ->
// instance id.
QMap<QString, QString> ClassPorts() {
    QMap<QString, QString> ports;
    const HDEVINFO set =
        SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return ports;
    }
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        const HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        wchar_t name[64] = {};
        DWORD size = sizeof(name) - sizeof(wchar_t);
        DWORD type = 0;
        const bool named =
            RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                             &size) == ERROR_SUCCESS &&
            type == REG_SZ;
        RegCloseKey(key);
        // The class holds the printer ports too.
        if (named && FromWide(name).startsWith(QStringLiteral("LPT"), Qt::CaseInsensitive)) {
            continue;
        }
        wchar_t instance[512] = {};
        if (named && SetupDiGetDeviceInstanceIdW(set, &data, instance, 511, nullptr)) {
            ports.insert(FromWide(name).toUpper(), FromWide(instance));
        } else if (named) {
            ports.insert(FromWide(name).toUpper(), QString());
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return ports;
}

// The names in HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM: every serial
// port that a driver has made, virtual ones included.
QStringList DeviceMapPorts() {
    QStringList names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return names;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t valueName[256] = {};
        DWORD nameLength = 255;
        wchar_t data[64] = {};
        DWORD size = sizeof(data) - sizeof(wchar_t);
        DWORD type = 0;
        const LONG read = RegEnumValueW(key, i, valueName, &nameLength, nullptr, &type,
                                        reinterpret_cast<BYTE*>(data), &size);
        if (read == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (read == ERROR_SUCCESS && type == REG_SZ) {
            names << FromWide(data).toUpper();
        }
    }
    RegCloseKey(key);
    return names;
}

int ComNumberOf(const QString& name) {
    static const QRegularExpression com(QStringLiteral("^COM([0-9]{1,5})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = com.match(name);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

// "\\.\COM3" and "COM3" name one port.
QString PortNameOf(const QString& path) {
    return path.startsWith(QStringLiteral("\\\\.\\")) ? path.mid(4).toUpper() : path.toUpper();
}

}  // namespace

QList<SerialDevice> ListSerialDevices(const SystemRoots&, const QString&) {
    const QMap<QString, QString> classPorts = ClassPorts();
    QStringList names = classPorts.keys();
    for (const QString& name : DeviceMapPorts()) {
        if (!names.contains(name)) {
            names << name;
        }
    }
    QList<SerialDevice> devices;
    for (const QString& name : names) {
        SerialDevice device;
        device.Path = name;
        device.Usb = IdentityFromInstance(classPorts.value(name));
        device.ComNumber = ComNumberOf(name);
        if (device.ComNumber > 0) {
            device.ComName = name;
        }
        devices << device;
    }
    std::sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
        if ((a.ComNumber > 0) != (b.ComNumber > 0)) {
            return a.ComNumber > 0;
        }
        return a.ComNumber != b.ComNumber ? a.ComNumber < b.ComNumber : a.Path < b.Path;
    });
    return devices;
}

UsbIdentity UsbIdentityOf(const QString& device, const SystemRoots&) {
    return IdentityFromInstance(ClassPorts().value(PortNameOf(device)));
}

QString SerialDeviceProblem(const QString& path, const SystemRoots&) {
    // A COM name that the system lists, or one that names a device of the
    // system (a port of a driver that does not list its ports).
    const QString name = PortNameOf(path);
    if (ClassPorts().contains(name) || DeviceMapPorts().contains(name)) {
        return {};
    }
    std::vector<wchar_t> target(1024);
    if (ComNumberOf(name) > 0 &&
        QueryDosDeviceW(reinterpret_cast<const wchar_t*>(name.utf16()), target.data(),
                        static_cast<DWORD>(target.size())) != 0) {
        return {};
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
