// The fwloader executable itself, started offscreen from a program folder of
// its own: a Config.txt that cannot be used ends it with a reason and a
// non-zero status; a good one leaves it running with its window until it is
// asked to end.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

#include <sys/stat.h>

class ProgramTest : public QObject {
    Q_OBJECT

    QTemporaryDir Folder;
    QTemporaryDir Store;

    // Config.txt holds config; the special texts "<fifo>" and "<device>" make
    // it a FIFO or a link to a device instead.
    void Prepare(const QByteArray& config) {
        QFile::remove(Folder.filePath("fwloader"));
        QVERIFY(QFile::copy(QStringLiteral(FWLOADER_PATH), Folder.filePath("fwloader")));
        QFile::remove(Folder.filePath("Config.txt"));
        if (config == "<fifo>") {
            QCOMPARE(mkfifo(QFile::encodeName(Folder.filePath("Config.txt")).constData(), 0644), 0);
        } else if (config == "<device>") {
            QVERIFY(QFile::link("/dev/zero", Folder.filePath("Config.txt")));
        } else if (!config.isNull()) {
            QFile file(Folder.filePath("Config.txt"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(config);
        }
    }

    void Start(QProcess& program) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("FWLOADER_STORE_ROOT", Store.path());
        program.setProcessEnvironment(env);
        program.start(Folder.filePath("fwloader"), {});
        QVERIFY(program.waitForStarted(5000));
    }

    static void AskToEnd(QProcess& program) {
        ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
        QVERIFY(program.waitForFinished(5000));
    }

private slots:
    void unusableConfigEndsWithAReason_data() {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << QByteArray() << "cannot be read";
        QTest::newRow("two items") << QByteArray("1:2:3\r\nVendor\r\n") << "2 item(s)";
        QTest::newRow("bad model byte")
            << QByteArray("1:x:3\r\nV\r\nT\r\n") << "model byte 1 (\"x\")";
        QTest::newRow("FIFO") << QByteArray("<fifo>") << "it is a FIFO, not a file";
        QTest::newRow("link to a device") << QByteArray("<device>") << "it is a device, not a file";
    }

    void unusableConfigEndsWithAReason() {
        QFETCH(QByteArray, config);
        QFETCH(QString, reason);
        Prepare(config);
        QProcess program;
        Start(program);
        // The reason is written to standard error while the message box is
        // open; ending the program then closes the box and it exits with 1.
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT(
            (err += program.readAllStandardError()).contains("Cannot start: ") &&
                err.endsWith('\n'),
            10000);
        QVERIFY2(err.contains("Cannot start: ") && err.contains(reason.toLocal8Bit()),
                 err.constData());
        QCOMPARE(program.state(), QProcess::Running);  // the message box waits for the operator
        AskToEnd(program);
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 1);
    }

    // The window is shown also when the stored settings are a FIFO, which
    // reads as nothing stored: a program stuck in its start-up would not end
    // in order when asked to.
    void goodConfigKeepsTheWindowUntilAskedToEnd_data() {
        QTest::addColumn<bool>("fifoStore");
        QTest::newRow("no stored settings") << false;
        QTest::newRow("the store file is a FIFO") << true;
    }

    void goodConfigKeepsTheWindowUntilAskedToEnd() {
        QFETCH(bool, fifoStore);
        const QString storeFile = Store.filePath("SoftWare/Vendor/Update.reg");
        QFile::remove(storeFile);
        if (fifoStore) {
            QVERIFY(QDir().mkpath(Store.filePath("SoftWare/Vendor")));
            QCOMPARE(mkfifo(QFile::encodeName(storeFile).constData(), 0644), 0);
        }
        Prepare("1:2:3\r\nVendor\r\nTitle\r\n");
        QProcess program;
        Start(program);
        QTest::qWait(1500);
        QCOMPARE(program.state(), QProcess::Running);
        QVERIFY(!program.readAllStandardError().contains("Cannot start"));
        AskToEnd(program);
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(ProgramTest)
#include "tst_program.moc"
