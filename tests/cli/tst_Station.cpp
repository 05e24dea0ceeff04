// What the command line learns from the machine and leaves on it: the serial
// devices of a made-up sysfs and /dev tree, the station's warnings, the log
// appended by two processes at once, and the requests to end.

#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

#include "AppendFile.h"
#include "CliOptions.h"
#include "PortList.h"
#include "Station.h"
#include "SystemConsole.h"
#include "UnitRecord.h"

namespace {

class CapturedConsole : public Console {
public:
    void Out(const QString& text) override { Stdout += text; }
    void Err(const QString& text) override { Stdout += text; }
    bool OutIsTerminal() const override { return false; }
    QString Stdout;
};

// A sysfs, /dev, /proc and store tree below one folder, in the shapes the
// kernel gives them.
struct FakeMachine {
    QTemporaryDir Root;
    SystemRoots Roots{Root.filePath("sys"), Root.filePath("dev"), Root.filePath("proc")};
    QString Store = Root.filePath("store");

    void File(const QString& path, const QByteArray& content = {}) {
        QDir().mkpath(QFileInfo(Root.filePath(path)).path());
        QFile file(Root.filePath(path));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    }
    void Link(const QString& path, const QString& target) {
        QDir().mkpath(QFileInfo(Root.filePath(path)).path());
        QVERIFY(QFile::link(target, Root.filePath(path)));
    }
    // A tty whose device is the given sysfs folder, with /dev/<name>.
    void Tty(const QString& name, const QString& device) {
        QDir().mkpath(Root.filePath("sys/class/tty/" + name));
        QDir().mkpath(Root.filePath(device));
        Link("sys/class/tty/" + name + "/device", Root.filePath(device));
        File("dev/" + name);
    }

    FakeMachine() {
        // An FTDI adapter: the tty's device is the usb-serial port, its
        // grandparent the USB device.
        Tty("ttyUSB0", "sys/devices/usb1/1-2/1-2:1.0/ttyUSB0");
        File("sys/devices/usb1/1-2/idVendor", "0403\n");
        File("sys/devices/usb1/1-2/idProduct", "6001\n");
        File("sys/devices/usb1/1-2/serial", "A9X1\n");
        File("sys/devices/usb1/1-2/1-2:1.0/ttyUSB0/latency_timer", "16\n");
        QDir().mkpath(Root.filePath("sys/bus/usb-serial/drivers/ftdi_sio"));
        Link("sys/devices/usb1/1-2/1-2:1.0/ttyUSB0/driver",
             Root.filePath("sys/bus/usb-serial/drivers/ftdi_sio"));
        Link("dev/serial/by-id/usb-FTDI_FT232R_A9X1-if00-port0", "../../ttyUSB0");
        Link("dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "../../ttyUSB0");
        // A CDC-ACM board without a serial number: the device is the interface.
        Tty("ttyACM0", "sys/devices/usb1/1-3/1-3:1.0");
        File("sys/devices/usb1/1-3/idVendor", "2341\n");
        File("sys/devices/usb1/1-3/idProduct", "0043\n");
        // ttyS0 has no UART behind it; ttyS1 has one; tty1 is a console.
        Tty("ttyS0", "sys/devices/platform/serial8250");
        File("sys/class/tty/ttyS0/type", "0\n");
        Tty("ttyS1", "sys/devices/pnp0/00:01");
        File("sys/class/tty/ttyS1/type", "4\n");
        // A board's own UART: listed, with no COM number.
        Tty("ttyAMA0", "sys/devices/platform/fe201000.serial");
        QDir().mkpath(Root.filePath("sys/class/tty/tty1"));
        File("dev/tty1");
        // COM5 is the ACM board through the store's link.
        Link("store/dosdevices/com5", Root.filePath("dev/ttyACM0"));
        File("proc/1/comm", "systemd\n");
        File("proc/812/comm", "ModemManager\n");
    }
};

}  // namespace

class StationTest : public QObject {
    Q_OBJECT

private slots:
    // Each serial device once, with its COM number, stable names and USB
    // identity; consoles and UART-less ports left out. Warnings of ModemManager
    // beside a ttyACM and of a latency timer still at 16 ms.
    void devicesAndWarningsOfAMachine() {
        FakeMachine machine;
        CliOptions options;
        options.Json = true;
        CapturedConsole console;
        QCOMPARE(ListPorts(options, console, machine.Roots, machine.Store), 0);
        QList<QJsonObject> events;
        for (const QString& line : console.Stdout.trimmed().split('\n')) {
            events << QJsonDocument::fromJson(line.toUtf8()).object();
        }
        QCOMPARE(events.size(), 5);
        QStringList listed;
        for (const QJsonObject& event : events.mid(0, 3)) {
            listed << event.value("port").toString() + " " +
                          QFileInfo(event.value("device").toString()).fileName() + " " +
                          event.value("driver").toString() + " " +
                          event.value("vendor_id").toString() + ":" +
                          event.value("product_id").toString() + ":" +
                          event.value("serial").toString();
        }
        QCOMPARE(listed, (QStringList{"COM2 ttyS1  ::", "COM5 ttyACM0  2341:0043:",
                                      "COM33 ttyUSB0 ftdi_sio 0403:6001:A9X1"}));
        const QJsonObject adapter = events[2];
        QCOMPARE(adapter.value("by_id").toArray().first().toString(),
                 machine.Roots.Dev + "/serial/by-id/usb-FTDI_FT232R_A9X1-if00-port0");
        QCOMPARE(adapter.value("by_path").toArray().size(), 1);
        QCOMPARE(events[1].value("name").toString(), machine.Store + "/dosdevices/com5");
        // Ports without a COM number come after those with one.
        QVERIFY(events[3].value("device").toString().endsWith("/ttyAMA0"));
        QCOMPARE(events[4].value("ports").toInt(), 4);

        // The identity a log record takes, also through a stable name.
        QCOMPARE(UsbIdentityOf(machine.Roots.Dev + "/serial/by-id/usb-FTDI_FT232R_A9X1-if00-port0",
                               machine.Roots)
                     .Serial,
                 QStringLiteral("A9X1"));
        // A unit's record names the adapter it was on, and only a USB one.
        Plan plan;
        RecordRun run;
        run.Planned = &plan;
        PlannedPort port;
        QVERIFY(!QJsonDocument::fromJson(StartRecord(run, port, QDateTime::currentDateTimeUtc()))
                     .object()
                     .contains("vendor_id"));
        port.Usb = UsbIdentityOf(machine.Roots.Dev + "/ttyUSB0", machine.Roots);
        const QJsonObject record =
            QJsonDocument::fromJson(StartRecord(run, port, QDateTime::currentDateTimeUtc()))
                .object();
        QCOMPARE(record.value("vendor_id").toString() + ":" +
                     record.value("product_id").toString() + ":" +
                     record.value("serial").toString(),
                 QStringLiteral("0403:6001:A9X1"));

        // What the station warns of, and what it no longer warns of.
        const QString ftdi = machine.Roots.Dev + "/ttyUSB0";
        const QString acm = machine.Roots.Dev + "/ttyACM0";
        QVERIFY(LatencyWarning(ftdi, machine.Roots).contains("is still 16 ms"));
        QCOMPARE(StationWarnings({ftdi}, machine.Roots), QStringList());
        const QStringList warnings = StationWarnings({ftdi, acm}, machine.Roots);
        QCOMPARE(warnings.size(), 1);
        QVERIFY(warnings[0].startsWith("ModemManager is running"));
        QVERIFY(warnings[0].contains(acm));

        machine.File("sys/devices/usb1/1-2/1-2:1.0/ttyUSB0/latency_timer", "1\n");
        QCOMPARE(LatencyWarning(ftdi, machine.Roots), QString());
        QVERIFY(QFile::remove(machine.Root.filePath("proc/812/comm")));
        QCOMPARE(StationWarnings({ftdi, acm}, machine.Roots), QStringList());
    }

    // Two processes append long lines at once: every line stays whole.
    void logLinesStayWholeWithTwoWriters() {
        QTemporaryDir folder;
        const QString path = folder.filePath("flash.jsonl");
        constexpr int Lines = 200;
        constexpr int Length = 64 * 1024;
        auto append = [&](char fill) {
            AppendFile log;
            bool ok = log.Open(path).isEmpty();
            for (int i = 0; ok && i < Lines; ++i) {
                ok = log.Append(QByteArray(Length, fill) + '\n').isEmpty();
            }
            return ok;
        };
        const pid_t child = ::fork();
        if (child == 0) {
            ::_exit(append('b') ? 0 : 1);
        }
        QVERIFY(append('a'));
        int status = -1;
        QVERIFY(::waitpid(child, &status, 0) == child && status == 0);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QMap<char, int> whole;
        for (const QByteArray& line : file.readAll().split('\n')) {
            QVERIFY(line.isEmpty() || (line.size() == Length && line.count(line[0]) == Length));
            whole[line.isEmpty() ? '\n' : line[0]] += 1;
        }
        QCOMPARE(whole.value('a'), Lines);
        QCOMPARE(whole.value('b'), Lines);
    }

    // The second Ctrl-C or SIGTERM ends the process at once; a signal that
    // was ignored at the start stays ignored and is no first request.
    void secondRequestEndsAtOnce_data() {
        QTest::addColumn<bool>("hangUpIgnored");
        QTest::addColumn<QList<int>>("requests");
        QTest::addColumn<int>("exitStatus");
        QTest::newRow("one Ctrl-C is handled") << false << QList<int>{SIGINT} << 0;
        QTest::newRow("two Ctrl-C") << false << QList<int>{SIGINT, SIGINT} << 130;
        QTest::newRow("hang-up, then SIGTERM") << false << QList<int>{SIGHUP, SIGTERM} << 130;
        QTest::newRow("hang-up ignored, then Ctrl-C") << true << QList<int>{SIGHUP, SIGINT} << 0;
    }

    void secondRequestEndsAtOnce() {
        QFETCH(bool, hangUpIgnored);
        QFETCH(QList<int>, requests);
        QFETCH(int, exitStatus);
        const pid_t child = ::fork();
        if (child == 0) {
            if (hangUpIgnored) {
                std::signal(SIGHUP, SIG_IGN);
            }
            WatchInterrupts([] {}, 130);
            for (const int signal : requests) {
                ::raise(signal);
            }
            ::_exit(0);
        }
        int status = -1;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), exitStatus);
    }
};

QTEST_GUILESS_MAIN(StationTest)
#include "tst_Station.moc"
