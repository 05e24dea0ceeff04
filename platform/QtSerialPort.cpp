#include "QtSerialPort.h"

#include <QFileInfo>
#include <QMetaObject>

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
    Port.setPortName(Device);
    ApplySettings(Current);
    if (!Port.open(QIODevice::ReadWrite)) {
        ErrorText = Port.errorString();
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
