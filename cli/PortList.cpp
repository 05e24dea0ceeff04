#include "PortList.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "ComPortMap.h"
#include "PortSelection.h"
#include "SystemSerialPort.h"

namespace {

void PutJson(Console& console, const QJsonObject& object) {
    console.Out(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + u'\n');
}

QString UsbText(const UsbIdentity& usb) {
    if (usb.IsEmpty()) {
        return {};
    }
    return QStringLiteral("USB %1:%2%3")
        .arg(usb.VendorId, usb.ProductId,
             usb.Serial.isEmpty() ? QString() : QStringLiteral(" serial ") + usb.Serial);
}

int ListDevices(const CliOptions& options, Console& console, const SystemRoots& roots,
                const QString& storeRoot) {
    const QList<SerialDevice> devices = ListSerialDevices(roots, storeRoot);
    for (const SerialDevice& device : devices) {
        const QString label = device.ComNumber > 0
                                  ? PortSelection::EntryText(static_cast<qint16>(device.ComNumber))
                                  : device.Path;
        if (options.Json) {
            QJsonObject object{{"event", "port"},
                               {"port", label},
                               {"device", device.Path},
                               {"by_path", QJsonArray::fromStringList(device.ByPath)},
                               {"by_id", QJsonArray::fromStringList(device.ById)}};
            if (device.ComNumber > 0) {
                object.insert("com", device.ComNumber);
                object.insert("name", device.ComName);
            }
            if (!device.Driver.isEmpty()) {
                object.insert("driver", device.Driver);
            }
            if (!device.Usb.IsEmpty()) {
                object.insert("vendor_id", device.Usb.VendorId);
                object.insert("product_id", device.Usb.ProductId);
                if (!device.Usb.Serial.isEmpty()) {
                    object.insert("serial", device.Usb.Serial);
                }
            }
            PutJson(console, object);
            continue;
        }
        QStringList facts{device.Path};
        for (const QString& fact : {device.Driver, UsbText(device.Usb)}) {
            if (!fact.isEmpty()) {
                facts << fact;
            }
        }
        QString text =
            QStringLiteral("%1  %2\n")
                .arg((device.ComNumber > 0 ? label : QStringLiteral("-")).leftJustified(6),
                     facts.join(QStringLiteral("  ")));
        for (const QString& link : device.ByPath + device.ById) {
            text += QStringLiteral("        %1\n").arg(link);
        }
        console.Out(text);
    }
    if (options.Json) {
        PutJson(console, {{"event", "summary"}, {"ports", static_cast<int>(devices.size())}});
    } else if (devices.isEmpty()) {
        console.Out(QStringLiteral("no serial device found\n"));
    }
    return 0;
}

// The port dialog's probe: each port that opens is listed.
int Probe(const CliOptions& options, Console& console) {
    SystemSerialPort probe;
    const QList<ProbedPort> opened = ProbeComPorts(probe, PortSelection::HighestPort);
    for (const ProbedPort& port : opened) {
        const QString name = ComPortDeviceName(port.Number);
        const QString device = QFileInfo(name).canonicalFilePath();
        const QString label = PortSelection::EntryText(port.Number);
        if (options.Json) {
            PutJson(console, {{"port", label},
                              {"event", "port"},
                              {"device", device.isEmpty() ? name : device},
                              {"name", name}});
        } else {
            console.Out(QStringLiteral("%1  %2\n")
                            .arg(label.leftJustified(5),
                                 device.isEmpty() || device == name
                                     ? name
                                     : QStringLiteral("%1 -> %2").arg(name, device)));
        }
    }
    if (options.Json) {
        PutJson(console, {{"event", "summary"}, {"ports", static_cast<int>(opened.size())}});
    } else if (opened.isEmpty()) {
        console.Out(QStringLiteral("no COM port from 1 to 99 opens\n"));
    }
    return 0;
}

}  // namespace

int ListPorts(const CliOptions& options, Console& console, const SystemRoots& roots,
              const QString& storeRoot) {
    return options.Probe ? Probe(options, console)
                         : ListDevices(options, console, roots, storeRoot);
}
