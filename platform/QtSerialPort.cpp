#include "QtSerialPort.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

#ifdef __linux__
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#endif

#include "ComPortMap.h"

namespace {

// Marks a call of the owner on the port: errors that the port reports while
// it runs are the call's result, not events.
class CallScope {
public:
    explicit CallScope(bool& flag) : Flag(flag), Saved(flag) { Flag = true; }
    ~CallScope() { Flag = Saved; }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    bool& Flag;
    bool Saved;
};

QSerialPort::Parity ToQtParity(char parity) {
    switch (parity) {
        case 'E':
            return QSerialPort::EvenParity;
        case 'O':
            return QSerialPort::OddParity;
        case 'M':
            return QSerialPort::MarkParity;
        case 'S':
            return QSerialPort::SpaceParity;
        default:
            return QSerialPort::NoParity;
    }
}

#ifdef __linux__
// Why device is no terminal; empty when it is one. Asked before anything
// opens it: a COM link in the store may point to any device, and opening
// some (a watchdog) already sets them going. The kernel's table of terminal
// drivers names their majors and minors; the system's own entries (the
// controlling terminal, the console, the multiplexer) and pseudo-terminal
// masters are no serial ports. Without the table nothing is opened.
QString NotATerminal(const QString& device) {
    struct stat status {};
    if (::stat(QFile::encodeName(device).constData(), &status) != 0 || !S_ISCHR(status.st_mode)) {
        return QStringLiteral("%1 is not a terminal (no character device); it is not opened")
            .arg(device);
    }
    const unsigned major = major(status.st_rdev);
    const unsigned minor = minor(status.st_rdev);
    std::ifstream drivers("/proc/tty/drivers");
    std::string line;
    while (std::getline(drivers, line)) {
        std::istringstream in(line);
        std::vector<std::string> fields;
        for (std::string field; in >> field;) {
            fields.push_back(field);
        }
        if (fields.size() < 5) {
            continue;
        }
        const std::string& type = fields.back();
        const std::string& range = fields[fields.size() - 2];
        unsigned low = 0;
        unsigned high = 0;
        const std::size_t dash = range.find('-');
        try {
            low = static_cast<unsigned>(std::stoul(range.substr(0, dash)));
            high = dash == std::string::npos
                       ? low
                       : static_cast<unsigned>(std::stoul(range.substr(dash + 1)));
            if (static_cast<unsigned>(std::stoul(fields[fields.size() - 3])) == major &&
                minor >= low && minor <= high) {
                return type.rfind("system", 0) == 0 || type == "pty:master"
                           ? QStringLiteral(
                                 "%1 is the system's own terminal, not a serial port; "
                                 "it is not opened")
                                 .arg(device)
                           : QString();
            }
        } catch (const std::exception&) {
            continue;
        }
    }
    return QStringLiteral("%1 is not a terminal (device %2:%3); it is not opened")
        .arg(device)
        .arg(major)
        .arg(minor);
}

// The program that holds device, as its lock file tells ("process 1234
// (minicom)"); empty when no lock file names one.
QString LockHolder(const QString& device) {
    // "LCK.." and the device's path below /dev with "_" for "/" (pts_3).
    QString base = device.startsWith(QStringLiteral("/dev/")) ? device.mid(5) : device;
    const QString name = QStringLiteral("LCK..") + base.replace(u'/', u'_');
    for (const char* folder :
         {"/var/lock", "/run/lock", "/tmp", "/etc/locks", "/var/spool/locks", "/var/spool/uucp"}) {
        QFile lock(QString::fromLatin1(folder) + u'/' + name);
        if (!lock.open(QIODevice::ReadOnly)) {
            continue;
        }
        bool ok = false;
        const qint64 pid = lock.readLine(32).trimmed().toLongLong(&ok);
        if (!ok || pid <= 0) {
            continue;
        }
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        const QString program = comm.open(QIODevice::ReadOnly)
                                    ? QString::fromLocal8Bit(comm.readAll().trimmed())
                                    : QString();
        return program.isEmpty() ? QStringLiteral("process %1").arg(pid)
                                 : QStringLiteral("process %1 (%2)").arg(pid).arg(program);
    }
    return {};
}
#endif

}  // namespace

QtSerialPort::QtSerialPort() {
    ApplySettings(Current);
    Port.setFlowControl(QSerialPort::NoFlowControl);
    QObject::connect(&Port, &QSerialPort::readyRead, &Port, [this] { Receive.PostCheck(); });
    QObject::connect(&Port, &QSerialPort::errorOccurred, &Port,
                     [this](QSerialPort::SerialPortError error) { OnPortError(error); });
}

QtSerialPort::~QtSerialPort() {
    // The members after Port go before it; nothing may call back into them
    // while Port winds down.
    QObject::disconnect(&Port, nullptr, nullptr, nullptr);
    ClosePort();
}

bool QtSerialPort::ApplySettings(const LineSettings& settings) {
    bool ok = Port.setBaudRate(settings.BaudRate);
    ok = Port.setDataBits(static_cast<QSerialPort::DataBits>(settings.DataBits)) && ok;
    ok = Port.setParity(ToQtParity(settings.Parity)) && ok;
    ok = Port.setStopBits(settings.StopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop) &&
         ok;
    return ok;
}

bool QtSerialPort::SetSettings(const QString& settings) {
    CallScope scope(InCall);
    LineSettings parsed;
    if (!ParseLineSettings(settings, parsed)) {
        return false;
    }
    Current = parsed;
    if (!ApplySettings(parsed)) {
        ErrorText = Port.errorString();
        Port.clearError();
        return false;
    }
    return true;
}

void QtSerialPort::SetReceiveThreshold(int n) {
    Receive.Set(n);
}

bool QtSerialPort::Open() {
    CallScope scope(InCall);
    ErrorText.clear();
    if (Port.isOpen()) {
        return true;
    }
    Device = DevicePath.isEmpty() ? ComPortDeviceName(PortNumber) : DevicePath;
    if (Device.isEmpty()) {
        ErrorText = QStringLiteral("COM%1 is not a port of this machine").arg(PortNumber);
        return false;
    }
#ifdef Q_OS_UNIX
    // Follow links to the device itself: the lock that keeps a terminal to
    // one program is named after the device, and a dangling link is a port
    // whose device has gone.
    const QString target = QFileInfo(Device).canonicalFilePath();
    if (target.isEmpty()) {
        ErrorText = QStringLiteral("%1 does not exist").arg(Device);
        return false;
    }
    Device = target;
#endif
#ifdef __linux__
    ErrorText = NotATerminal(Device);
    if (!ErrorText.isEmpty()) {
        return false;
    }
#endif
    Port.setPortName(Device);
    ApplySettings(Current);
    if (!Port.open(QIODevice::ReadWrite)) {
        ErrorText = Port.errorString();
#ifdef __linux__
        // Qt says a held lock is a permission error; with the device's
        // rights granted, another program holds it.
        if (Port.error() == QSerialPort::PermissionError &&
            ::access(QFile::encodeName(Device).constData(), R_OK | W_OK) == 0) {
            const QString holder = LockHolder(Device);
            ErrorText =
                QStringLiteral("%1 is in use by another program%2")
                    .arg(Device, holder.isEmpty() ? QString() : QStringLiteral(", ") + holder);
        }
#endif
        Port.clearError();
        return false;
    }
    GonePosted = false;
#ifdef __linux__
    if (LowLatencyWanted) {
        LowLatencyState = RequestLowLatency(*Flag, Port.handle(), LowLatencySetHere);
    }
#endif
    return true;
}

void QtSerialPort::Close() {
    CallScope scope(InCall);
    ClosePort();
}

void QtSerialPort::ClosePort() {
    if (Port.isOpen()) {
#ifdef __linux__
        UndoLowLatency(*Flag, Port.handle(), LowLatencySetHere);
#endif
        Port.close();
    }
    LowLatencyState = LowLatencyAnswer::NotAsked;
}

bool QtSerialPort::Write(const QByteArray& bytes) {
    CallScope scope(InCall);
    if (!Port.isOpen() || GonePosted) {
        return false;
    }
    if (bytes.isEmpty()) {
        return true;
    }
    return Port.write(bytes) == bytes.size();
}

QByteArray QtSerialPort::ReadAll() {
    CallScope scope(InCall);
    if (!Port.isOpen()) {
        return {};
    }
    return Port.readAll();
}

QByteArray QtSerialPort::DiscardInput() {
    CallScope scope(InCall);
    if (!Port.isOpen()) {
        return {};
    }
    // QSerialPort's buffer holds only what the event loop has read from the
    // system. What arrived while the thread was blocked (the pause after the
    // Connect reply, a long handler) still waits in the system's buffer: it
    // is read here without waiting, as far as it can be, so that the caller
    // can see it. A babbling line is not read for ever. Then clear(Input)
    // empties the class buffer and the driver's (tcflush on Unix, PurgeComm
    // on Windows), always: a driver may hold bytes that a look without
    // waiting does not report yet, and the purge costs one system call.
    constexpr int MaxDrains = 16;
    QByteArray thrown = Port.readAll();
    for (int i = 0; i < MaxDrains && Port.waitForReadyRead(0); ++i) {
        thrown += Port.readAll();
    }
    Port.clear(QSerialPort::Input);
    Port.clearError();  // a look that found nothing leaves a time-out error behind
    return thrown;
}

void QtSerialPort::OnPortError(QSerialPort::SerialPortError error) {
    if (error == QSerialPort::NoError || InCall || !Port.isOpen()) {
        return;
    }
    if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError) {
        // The device has gone: its terminal reports an error on every turn
        // of the event loop from now on. Close at the next turn (not inside
        // the port's own notification) and report it once.
        if (!GonePosted) {
            GonePosted = true;
            ErrorText = Port.errorString();
            QMetaObject::invokeMethod(
                &Port, [this] { OnDeviceGone(); }, Qt::QueuedConnection);
        }
        return;
    }
    ErrorText = Port.errorString();
    Port.clearError();
    QMetaObject::invokeMethod(
        &Port,
        [this] {
            if (Port.isOpen()) {
                RaiseComm(CommEvent::LineError);
            }
        },
        Qt::QueuedConnection);
}

void QtSerialPort::OnDeviceGone() {
    if (!GonePosted) {
        return;  // the owner closed the port in the meantime
    }
    GonePosted = false;
    if (!Port.isOpen()) {
        return;
    }
    CloseForGoneDevice();
}
