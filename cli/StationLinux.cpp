// Station facts on Linux: sysfs, /dev and /proc.

#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "ComPortMap.h"
#include "Station.h"

namespace {

// Unix98 pseudo-terminal slaves (/dev/pts/N) have these majors and no sysfs
// entry of their own.
constexpr unsigned FirstPtsMajor = 136;
constexpr unsigned LastPtsMajor = 143;
// How far up from a tty's device its USB device may be: the port, the
// interface, the device.
constexpr int UsbLevels = 4;

QString ReadText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.read(4096)).trimmed();
}

QString Canonical(const QString& path) {
    return QFileInfo(path).canonicalFilePath();
}

// The tty's folder in sysfs: <sys>/class/tty/<name of the device>.
QString TtyFolder(const QString& device, const SystemRoots& roots) {
    const QString canonical = Canonical(device);
    const QString name = QFileInfo(canonical.isEmpty() ? device : canonical).fileName();
    return roots.Sys + QStringLiteral("/class/tty/") + name;
}

// A ttyS entry whose port has no UART behind it (type 0, "unknown").
bool HasNoUart(const QString& ttyFolder) {
    return ReadText(ttyFolder + QStringLiteral("/type")) == QStringLiteral("0");
}

// The links in <dev>/serial/<kind> that lead to each canonical device.
QStringList LinksTo(const QString& canonical, const QString& folder) {
    QStringList links;
    const QDir dir(folder);
    for (const QString& name :
         dir.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString link = dir.filePath(name);
        if (Canonical(link) == canonical) {
            links << link;
        }
    }
    return links;
}

// The COM number that the fixed families give a device name (ttyS0 is
// COM1, ttyUSB0 COM33, ttyACM0 COM65); 0 when none does.
int FamilyComNumber(const QString& name) {
    static const struct {
        const char* Prefix;
        int First;
    } families[] = {{"ttyS", 1}, {"ttyUSB", 33}, {"ttyACM", 65}};
    for (const auto& family : families) {
        const QString prefix = QString::fromLatin1(family.Prefix);
        bool ok = false;
        const int index = name.mid(prefix.size()).toInt(&ok);
        if (name.startsWith(prefix) && ok && index >= 0 && index < 32) {
            return family.First + index;
        }
    }
    return 0;
}

// The driver of a tty's device; the serial core's own port and controller
// nodes (bus serial-base) are passed over for the hardware's driver.
QString DriverOf(const QString& device) {
    constexpr int SerialCoreLevels = 2;
    QString folder = Canonical(device);
    for (int level = 0; level < SerialCoreLevels && !folder.isEmpty(); ++level) {
        if (!Canonical(folder + QStringLiteral("/subsystem"))
                 .endsWith(QStringLiteral("/serial-base"))) {
            break;
        }
        folder = QFileInfo(folder).path();
    }
    return QFileInfo(QFileInfo(folder + QStringLiteral("/driver")).symLinkTarget()).fileName();
}

bool ProcessRunning(const QString& command, const SystemRoots& roots) {
    const QDir proc(roots.Proc);
    for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        entry.toLongLong(&numeric);
        if (numeric && ReadText(proc.filePath(entry) + QStringLiteral("/comm")) == command) {
            return true;
        }
    }
    return false;
}

// Why this user cannot open device when the reason is a group it is not in;
// empty otherwise.
QString MissingGroup(const QString& device) {
    const QByteArray path = QFile::encodeName(device);
    struct stat info {};
    if (::access(path.constData(), R_OK | W_OK) == 0 || ::stat(path.constData(), &info) != 0) {
        return {};
    }
    if ((info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
        return {};
    }
    std::vector<gid_t> groups(64);
    int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
    if (count < 0) {
        groups.resize(static_cast<std::size_t>(::getgroups(0, nullptr)) + 1);
        count = ::getgroups(static_cast<int>(groups.size()), groups.data());
    }
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    groups.push_back(::getegid());
    if (std::find(groups.begin(), groups.end(), info.st_gid) != groups.end()) {
        return {};
    }
    const group* entry = ::getgrgid(info.st_gid);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(info.st_gid);
}

}  // namespace

UsbIdentity UsbIdentityOf(const QString& device, const SystemRoots& roots) {
    UsbIdentity usb;
    QString folder = Canonical(TtyFolder(device, roots) + QStringLiteral("/device"));
    const QString top = Canonical(roots.Sys);
    for (int level = 0; level < UsbLevels && !folder.isEmpty() && folder != top; ++level) {
        const QString vendor = ReadText(folder + QStringLiteral("/idVendor"));
        if (!vendor.isEmpty()) {
            usb.VendorId = vendor;
            usb.ProductId = ReadText(folder + QStringLiteral("/idProduct"));
            usb.Serial = ReadText(folder + QStringLiteral("/serial"));
            break;
        }
        folder = QFileInfo(folder).path();
    }
    return usb;
}

QList<SerialDevice> ListSerialDevices(const SystemRoots& roots, const QString& storeRoot) {
    QList<SerialDevice> devices;
    const QDir ttys(roots.Sys + QStringLiteral("/class/tty"));
    for (const QString& name :
         ttys.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        const QString folder = ttys.filePath(name);
        // Only terminals with a device of their own: virtual consoles and
        // pseudo-terminals have none.
        if (!QFileInfo::exists(folder + QStringLiteral("/device")) || HasNoUart(folder)) {
            continue;
        }
        SerialDevice device;
        device.Path = roots.Dev + u'/' + name;
        if (!QFileInfo::exists(device.Path)) {
            continue;
        }
        device.Driver = DriverOf(folder + QStringLiteral("/device"));
        device.Usb = UsbIdentityOf(device.Path, roots);
        devices << device;
    }

    // COM links of the store: they name a device the system has, or another
    // terminal (a pseudo-terminal) that is listed by its link.
    const QDir links(storeRoot + QStringLiteral("/dosdevices"));
    for (const QString& entry :
         links.entryList(QDir::System | QDir::AllEntries | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const int number = entry.mid(3).toInt(&ok);
        if (!entry.startsWith(QStringLiteral("com"), Qt::CaseInsensitive) || !ok || number < 1) {
            continue;
        }
        const QString target = Canonical(links.filePath(entry));
        if (target.isEmpty()) {
            continue;
        }
        auto found = std::find_if(devices.begin(), devices.end(), [&](const SerialDevice& d) {
            return Canonical(d.Path) == target;
        });
        if (found == devices.end()) {
            if (!SerialDeviceProblem(target, roots).isEmpty()) {
                continue;
            }
            SerialDevice other;
            other.Path = target;
            devices << other;
            found = devices.end() - 1;
        }
        if (found->ComNumber == 0 || number < found->ComNumber) {
            found->ComNumber = number;
            found->ComName = links.filePath(entry);
        }
    }

    for (SerialDevice& device : devices) {
        const QString canonical = Canonical(device.Path);
        device.ByPath = LinksTo(canonical, roots.Dev + QStringLiteral("/serial/by-path"));
        device.ById = LinksTo(canonical, roots.Dev + QStringLiteral("/serial/by-id"));
        // A fixed family's number, unless a COM link of that number leads
        // elsewhere.
        const int number = FamilyComNumber(QFileInfo(device.Path).fileName());
        if (device.ComNumber == 0 && number > 0) {
            const QString name = ComPortDeviceName(number, storeRoot, roots.Dev);
            if (Canonical(name) == canonical) {
                device.ComNumber = number;
                device.ComName = name;
            }
        }
    }
    std::sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
        if ((a.ComNumber == 0) != (b.ComNumber == 0)) {
            return a.ComNumber != 0;
        }
        return a.ComNumber != b.ComNumber ? a.ComNumber < b.ComNumber : a.Path < b.Path;
    });
    return devices;
}

QString SerialDeviceProblem(const QString& path, const SystemRoots& roots) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        return errno == ENOENT ? QStringLiteral("does not exist")
                               : QString::fromLocal8Bit(std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        return QStringLiteral("is a folder, not a serial device");
    }
    if (S_ISREG(info.st_mode)) {
        return QStringLiteral("is a regular file, not a serial device");
    }
    if (S_ISFIFO(info.st_mode)) {
        return QStringLiteral("is a FIFO, not a serial device");
    }
    if (!S_ISCHR(info.st_mode)) {
        return QStringLiteral("is not a serial device");
    }
    const unsigned majorNumber = major(info.st_rdev);
    if (majorNumber >= FirstPtsMajor && majorNumber <= LastPtsMajor) {
        return {};
    }
    // A terminal with a device of its own (a serial port, a USB adapter),
    // not a virtual console, /dev/tty or a device of another kind.
    const QString node =
        roots.Sys + QStringLiteral("/dev/char/%1:%2").arg(majorNumber).arg(minor(info.st_rdev));
    const bool terminal =
        Canonical(node + QStringLiteral("/subsystem")).endsWith(QStringLiteral("/class/tty")) &&
        QFileInfo::exists(node + QStringLiteral("/device"));
    if (!terminal) {
        return QStringLiteral("is not a serial device");
    }
    if (HasNoUart(node)) {
        return QStringLiteral("is a serial port without a UART");
    }
    return {};
}

int LatencyTimerMs(const QString& device, const SystemRoots& roots) {
    bool ok = false;
    const int ms =
        ReadText(TtyFolder(device, roots) + QStringLiteral("/device/latency_timer")).toInt(&ok);
    return ok ? ms : -1;
}

QString LatencyWarning(const QString& device, const SystemRoots& roots) {
    constexpr int DefaultFtdiLatencyMs = 16;
    const int ms = LatencyTimerMs(device, roots);
    if (ms < DefaultFtdiLatencyMs) {
        return {};
    }
    return QStringLiteral(
               "the latency timer of %1 is still %2 ms after the request for low latency: "
               "every reply waits up to %2 ms in the adapter (the package's udev rule sets it "
               "to 1 ms when the adapter is plugged in)")
        .arg(device)
        .arg(ms);
}

QStringList StationWarnings(const QStringList& devices, const SystemRoots& roots) {
    QStringList warnings;
    QStringList acm;
    for (const QString& device : devices) {
        const QString canonical = Canonical(device);
        if (QFileInfo(canonical).fileName().startsWith(QStringLiteral("ttyACM"))) {
            acm << canonical;
        }
    }
    if (!acm.isEmpty() && ProcessRunning(QStringLiteral("ModemManager"), roots)) {
        warnings << QStringLiteral(
                        "ModemManager is running: it probes new modems and can corrupt "
                        "transfers on %1 (stop it, or mark the adapter with "
                        "ENV{ID_MM_DEVICE_IGNORE}=\"1\" in a udev rule)")
                        .arg(acm.join(QStringLiteral(", ")));
    }
    for (const QString& device : devices) {
        const QString group = MissingGroup(device);
        if (!group.isEmpty()) {
            warnings << QStringLiteral(
                            "%1 can be opened only by members of the group %2, and this user "
                            "is not one (sudo usermod -aG %2 $USER, then log in again)")
                            .arg(device, group);
        }
    }
    return warnings;
}
