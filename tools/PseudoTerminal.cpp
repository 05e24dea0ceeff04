#include "PseudoTerminal.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

void CloseDescriptor(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void DropNotifier(QSocketNotifier*& notifier) {
    if (notifier) {
        // It may be the notifier whose activation is running right now.
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
    }
}

QString SystemError(const char* what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(strerror(errno)));
}

}  // namespace

int BaudFromSpeedCode(unsigned speedCode) {
    struct Pair {
        speed_t Code;
        int Baud;
    };
    static const Pair table[] = {
        {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},     {B150, 150},
        {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},   {B1800, 1800},
        {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200}, {B38400, 38400},
        {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
    };
    for (const Pair& pair : table) {
        if (pair.Code == speedCode) {
            return pair.Baud;
        }
    }
    return 0;
}

PseudoTerminal::PseudoTerminal(QObject* parent) : QObject(parent) {}

PseudoTerminal::~PseudoTerminal() {
    Close();
}

bool PseudoTerminal::Open(QString* error) {
    Close();
    QString reason;
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        reason = SystemError("posix_openpt");
    } else if (::grantpt(master) != 0) {
        reason = SystemError("grantpt");
    } else if (::unlockpt(master) != 0) {
        reason = SystemError("unlockpt");
    }
    char name[256] = {};
    if (reason.isEmpty() && ::ptsname_r(master, name, sizeof name) != 0) {
        reason = SystemError("ptsname");
    }
    int slave = -1;
    if (reason.isEmpty()) {
        slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (slave < 0) {
            reason = SystemError("open slave");
        }
    }
    if (reason.isEmpty()) {
        // Raw: bytes pass unchanged both ways, nothing is echoed.
        termios settings{};
        if (::tcgetattr(slave, &settings) != 0) {
            reason = SystemError("tcgetattr");
        } else {
            ::cfmakeraw(&settings);
            settings.c_cflag |= CLOCAL | CREAD;
            ::cfsetispeed(&settings, B9600);
            ::cfsetospeed(&settings, B9600);
            if (::tcsetattr(slave, TCSANOW, &settings) != 0) {
                reason = SystemError("tcsetattr");
            }
        }
    }
    if (!reason.isEmpty()) {
        CloseDescriptor(slave);
        CloseDescriptor(master);
        if (error) {
            *error = reason;
        }
        return false;
    }
    Master = master;
    OwnSlave = slave;
    Path = QString::fromLocal8Bit(name);
    ReadNotifier = new QSocketNotifier(Master, QSocketNotifier::Read, this);
    connect(ReadNotifier, &QSocketNotifier::activated, this, &PseudoTerminal::OnReadable);
    WriteNotifier = new QSocketNotifier(Master, QSocketNotifier::Write, this);
    WriteNotifier->setEnabled(false);
    connect(WriteNotifier, &QSocketNotifier::activated, this, &PseudoTerminal::FlushOutgoing);
    return true;
}

void PseudoTerminal::Close() {
    DropNotifier(ReadNotifier);
    DropNotifier(WriteNotifier);
    CloseDescriptor(OwnSlave);
    CloseDescriptor(Master);
    Outgoing.clear();
}

int PseudoTerminal::BaudRate() const {
    if (Master < 0) {
        return 0;
    }
    // On the master, the settings read are those of the slave end.
    termios settings{};
    if (::tcgetattr(Master, &settings) != 0) {
        return 0;
    }
    return BaudFromSpeedCode(::cfgetospeed(&settings));
}

QString PseudoTerminal::LineSettingsText() const {
    termios settings{};
    if (Master < 0 || ::tcgetattr(Master, &settings) != 0) {
        return {};
    }
    return LineSettingsTextOf(settings);
}

QString LineSettingsTextOf(const termios& settings) {
    const tcflag_t flags = settings.c_cflag;
    char parity = 'N';
    if ((flags & PARENB) != 0) {
        parity = (flags & PARODD) != 0 ? 'O' : 'E';
#ifdef CMSPAR
        if ((flags & CMSPAR) != 0) {
            parity = (flags & PARODD) != 0 ? 'M' : 'S';
        }
#endif
    }
    int dataBits = 8;
    switch (flags & CSIZE) {
        case CS5:
            dataBits = 5;
            break;
        case CS6:
            dataBits = 6;
            break;
        case CS7:
            dataBits = 7;
            break;
        default:
            break;
    }
    return QStringLiteral("%1,%2,%3,%4")
        .arg(BaudFromSpeedCode(::cfgetospeed(&settings)))
        .arg(QLatin1Char(parity))
        .arg(dataBits)
        .arg((flags & CSTOPB) != 0 ? 2 : 1);
}

bool PseudoTerminal::Write(const QByteArray& bytes) {
    if (Master < 0) {
        return false;
    }
    Outgoing += bytes;
    FlushOutgoing();
    return true;
}

void PseudoTerminal::FlushOutgoing() {
    while (Master >= 0 && !Outgoing.isEmpty()) {
        const ssize_t written = ::write(Master, Outgoing.constData(), Outgoing.size());
        if (written > 0) {
            Outgoing.remove(0, written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Outgoing.clear();  // the terminal cannot take output at all
        }
        break;
    }
    if (WriteNotifier) {
        WriteNotifier->setEnabled(!Outgoing.isEmpty());
    }
}

void PseudoTerminal::OnReadable() {
    QByteArray received;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(Master, buffer, sizeof buffer);
        if (n > 0) {
            received.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            // Not expected while the own slave descriptor is open; stop
            // listening rather than wake up on every turn of the loop.
            if (ReadNotifier) {
                ReadNotifier->setEnabled(false);
            }
        }
        break;
    }
    if (!received.isEmpty()) {
        emit DataArrived(received);
    }
}
