// The program's files on the real file system: the firmware file list, the
// reading of Config.txt and firmware files (only regular files, never a FIFO
// or a device), and the whole-file replace of the Save action.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>

#include "QtPlatform.h"

namespace {

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList Everything(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot);
}

}  // namespace

class QtFileSystemTest : public QObject {
    Q_OBJECT

    QTemporaryDir Folder;
    QtFileSystem Files;

    QString Path(const QString& name) const { return Folder.filePath(name); }

private slots:
    void init() {
        QDir(Folder.path()).removeRecursively();
        QVERIFY(QDir().mkpath(Folder.path()));
    }

    void listHoldsOnlyRegularFilesInNameOrderWithoutRegardToCase() {
        for (const char* name : {"b.hex", "A.HEX", "c.Hex", ".hidden.hex", "notes.txt"}) {
            WriteAll(Path(name), ":00000001FF\n");
        }
        QVERIFY(QDir().mkpath(Path("x.hex")));
        QCOMPARE(mkfifo(QFile::encodeName(Path("f.hex")).constData(), 0644), 0);
        QVERIFY(QFile::link("/dev/null", Path("d.hex")));
        QVERIFY(QFile::link(Path("f.hex"), Path("e.hex")));
        QVERIFY(QFile::link(Path("gone"), Path("h.hex")));
        QVERIFY(QFile::link(Path("b.hex"), Path("g.hex")));  // a link to a file is that file

        QCOMPARE(Files.ListFiles(Folder.path(), "*.hex"),
                 (QStringList{"A.HEX", "b.hex", "c.Hex", "g.hex"}));
        QCOMPARE(Files.ListFiles(Folder.path() + "/no-such-folder", "*.hex"), QStringList());
    }

    void readTakesARegularFileUpToTheCapAndNothingElse_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("FIFO") << "fifo"
                              << "a FIFO";
        QTest::newRow("link to a FIFO") << "fifo link"
                                        << "a FIFO";
        QTest::newRow("link to a device") << "device"
                                          << "a device";
        QTest::newRow("folder") << "folder"
                                << "a folder";
        QTest::newRow("one byte beyond the cap") << "large"
                                                 << "larger than";
        QTest::newRow("missing") << "missing"
                                 << "does not exist";
        QTest::newRow("dangling link") << "dangling"
                                       << "does not exist";
    }

    void readTakesARegularFileUpToTheCapAndNothingElse() {
        QFETCH(QString, kind);
        const QString path = Path("Config.txt");
        const QByteArray name = QFile::encodeName(path);
        if (kind == "fifo") {
            QCOMPARE(mkfifo(name.constData(), 0644), 0);
        } else if (kind == "fifo link") {
            QCOMPARE(mkfifo(QFile::encodeName(Path("fifo")).constData(), 0644), 0);
            QVERIFY(QFile::link(Path("fifo"), path));
        } else if (kind == "device") {
            QVERIFY(QFile::link("/dev/zero", path));
        } else if (kind == "folder") {
            QVERIFY(QDir().mkpath(path));
        } else if (kind == "large") {
            WriteAll(path, "");
            QCOMPARE(truncate(name.constData(), QtFileSystem::MaxReadBytes + 1), 0);
        } else if (kind == "dangling") {
            QVERIFY(QFile::link(Path("gone"), path));
        }
        const FileSystem::ReadResult read = Files.ReadFile(path);
        QVERIFY(!read.Ok);
        QVERIFY(read.Bytes.isEmpty());
        QFETCH(QString, reason);
        QVERIFY2(read.Error.contains(reason), qPrintable(read.Error));
    }

    void readGivesTheWholeFileAtTheCap() {
        const QByteArray content(QtFileSystem::MaxReadBytes, 'x');
        WriteAll(Path("Config.txt"), content);
        QVERIFY(QFile::link(Path("Config.txt"), Path("linked.txt")));
        for (const char* name : {"Config.txt", "linked.txt"}) {
            const FileSystem::ReadResult read = Files.ReadFile(Path(name));
            QVERIFY2(read.Ok, qPrintable(read.Error));
            QVERIFY(read.Bytes == content);
        }
    }

    // The Save file is replaced whole: a shorter file leaves no trace of the
    // longer one before it, and a write that fails half way leaves the old
    // file as it was and nothing else beside it.
    void writeReplacesTheFileWholeOrNotAtAll() {
        const QString path = Path("saved.hex");
        WriteAll(path, QByteArray(5000, 'o'));
        QCOMPARE(Files.WriteFileWhole(path, "new\n\r"), QString());
        QCOMPARE(ReadAll(path), QByteArray("new\n\r"));

        // Files may grow to 1000 bytes only: the next write fails in the middle.
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 1000;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        const QString error = Files.WriteFileWhole(path, QByteArray(4000, 'n'));
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);

        QVERIFY(!error.isEmpty());
        QCOMPARE(ReadAll(path), QByteArray("new\n\r"));
        QCOMPARE(Everything(Folder.path()), QStringList{"saved.hex"});
    }
};

QTEST_GUILESS_MAIN(QtFileSystemTest)
#include "tst_qtfilesystem.moc"
