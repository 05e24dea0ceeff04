// The .reg file store: file layout, value syntax, type rules as read through
// RegKeys, sections and encodings, atomic replacement, modes, the writers'
// lock, resistance to malformed files and to hostile things in the store
// folder (FIFOs, devices, links), and the store root.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "RegFileStore.h"
#include "RegKeys.h"

namespace {

const QString KeyPath = QStringLiteral("SoftWare\\Vendor\\Update");

mode_t ModeOf(const QString& path) {
    struct stat info {};
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

}  // namespace

class RegFileStoreTest : public QObject {
    Q_OBJECT

    QTemporaryDir Root;
    QString KeyFilePath() const {
        return Root.path() + QStringLiteral("/SoftWare/Vendor/Update.reg");
    }

private slots:
    void init() {
        QDir(Root.path()).removeRecursively();
        QDir().mkpath(Root.path());
    }

    void firstWriteCreatesEveryKeyAndReadsBack() {
        // The root and the folders above it are made by the first write.
        const QString root = Root.path() + QStringLiteral("/var/lib/fwloader");
        RegFileStore store(root.toStdString());
        RegKeys keys(store);
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), QString());
        QVERIFY2(!QFileInfo::exists(root + "/SoftWare"), "a read must not create a key");

        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "12"));
        QVERIFY(ReadAll(root + "/SoftWare/Vendor/Update.reg").contains("\"ComPort\"=\"12\"\n"));
        const auto raw = store.QueryValue(HkeyLocalMachine, KeyPath.toStdString(), "ComPort", 1024);
        QVERIFY(raw.Found);
        QCOMPARE(raw.Type, RegTypeString);
        QCOMPARE(raw.Data, std::string("12"));  // two bytes, no terminator
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "comport"), QStringLiteral("12"));
    }

    void rewriteKeepsOtherLinesAndReplacesTheValue() {
        WriteAll(KeyFilePath(),
                 "; kept comment\r\n\"Other\"=dword:00000005\r\n"
                 "\"ComPort\"=\"3\"\r\nnot a value line\r\n\"COMPORT\"=\"4\"\r\n");
        RegFileStore store(Root.path().toStdString());
        QVERIFY(RegKeys(store).SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "7"));
        QCOMPARE(ReadAll(KeyFilePath()), QByteArray("; kept comment\n\"Other\"=dword:00000005\n"
                                                    "\"ComPort\"=\"7\"\nnot a value line\n"));
        QDir dir(QFileInfo(KeyFilePath()).path());
        QCOMPARE(dir.entryList(QDir::Files | QDir::Hidden), QStringList{"Update.reg"});
    }

    void handWrittenValuesOfEveryType_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("expected");
        QTest::newRow("string") << QByteArray("\"ComPort\"=\"5\"") << "5";
        QTest::newRow("escaped string") << QByteArray("\"ComPort\"=\"a\\\"b\\\\c\"") << "a\"b\\c";
        QTest::newRow("expandable string") << QByteArray("\"ComPort\"=hex(2):35,00") << "5";
        QTest::newRow("type with a leading zero") << QByteArray("\"ComPort\"=hex(02):35") << "5";
        QTest::newRow("dword 258") << QByteArray("\"ComPort\"=dword:00000102") << "&h102";
        QTest::newRow("dword 26") << QByteArray("\"ComPort\"=dword:0000001a") << "&h1A";
        QTest::newRow("binary") << QByteArray("\"ComPort\"=hex:35") << "";
        QTest::newRow("multi-string") << QByteArray("\"ComPort\"=hex(7):35,00,00") << "";
        QTest::newRow("none type") << QByteArray("\"ComPort\"=hex(0):35") << "";
        QTest::newRow("embedded NUL") << QByteArray("\"ComPort\"=hex(1):31,32,00,33") << "12";
        QTest::newRow("wrapped hex") << QByteArray("\"ComPort\"=hex(1):31,\\\n  32") << "12";
        QTest::newRow("unclosed quote") << QByteArray("\"ComPort\"=\"5") << "";
        QTest::newRow("bad hex") << QByteArray("\"ComPort\"=hex(1):31,3z") << "";
        QTest::newRow("dword too long") << QByteArray("\"ComPort\"=dword:000000001") << "";
        QTest::newRow("no equals") << QByteArray("\"ComPort\":\"5\"") << "";
        QTest::newRow("deletion") << QByteArray("\"ComPort\"=-") << "";
    }

    void handWrittenValuesOfEveryType() {
        QFETCH(QByteArray, line);
        QFETCH(QString, expected);
        WriteAll(KeyFilePath(),
                 "Windows Registry Editor Version 5.00\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\SoftWare\\Vendor\\Update]\r\n" +
                     line + "\r\n");
        RegFileStore store(Root.path().toStdString());
        QCOMPARE(RegKeys(store).GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), expected);
    }

    void sizeLimitOfTheReadBuffer() {
        RegFileStore store(Root.path().toStdString());
        RegKeys keys(store);
        const QString fits(1023, u'7');
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", fits));
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), fits);
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", QString(1024, u'7')));
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), QString());
    }

    void valuesThatCannotStandInQuotesAreStoredAsBytes() {
        RegFileStore store(Root.path().toStdString());
        RegKeys keys(store);
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "1\n2"));
        QVERIFY(ReadAll(KeyFilePath()).contains("\"ComPort\"=hex(1):31,0a,32\n"));
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), QStringLiteral("1\n2"));
    }

    void unsafeOrForeignKeysAreRefused_data() {
        QTest::addColumn<QString>("keyPath");
        QTest::addColumn<quint32>("root");
        QTest::newRow("parent folder")
            << "SoftWare\\..\\..\\x\\Update" << quint32(HkeyLocalMachine);
        QTest::newRow("slash") << "SoftWare\\a/b\\Update" << quint32(HkeyLocalMachine);
        QTest::newRow("empty vendor") << "SoftWare\\\\Update" << quint32(HkeyLocalMachine);
        QTest::newRow("dot") << "SoftWare\\.\\Update" << quint32(HkeyLocalMachine);
        QTest::newRow("current user root") << "SoftWare\\Vendor\\Update" << quint32(0x80000001u);
        QTest::newRow("control character")
            << "SoftWare\\Ven\x1b[2Jdor\\Update" << quint32(HkeyLocalMachine);
    }

    void unsafeOrForeignKeysAreRefused() {
        QFETCH(QString, keyPath);
        QFETCH(quint32, root);
        RegFileStore store(Root.path().toStdString());
        RegKeys keys(store);
        QVERIFY(!keys.SetKeyValue(root, keyPath, "ComPort", "3"));
        QCOMPARE(keys.GetKeyValue(root, keyPath, "ComPort"), QString());
        QCOMPARE(QDir(Root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
    }

    // A name with a line break would be written as two lines, neither of
    // which reads back as the value (found by fuzz_regfile).
    void valueNameWithALineBreakIsRefused() {
        const QByteArray content = "\"ComPort\"=\"3\"\n";
        WriteAll(KeyFilePath(), content);
        RegFileStore store(Root.path().toStdString());
        for (const std::string name : {"Other; \r\n\"ComPort\"=\"9", "a\nb", "a\rb"}) {
            QVERIFY(!store.SetStringValue(HkeyLocalMachine, KeyPath.toStdString(), name, "12"));
        }
        QCOMPARE(ReadAll(KeyFilePath()), content);
    }

    // A line end of CR CR LF: the value before it reads the same before and
    // after a rewrite, and a second rewrite changes nothing (found by
    // fuzz_regfile).
    void doubledCarriageReturnsEndTheLine() {
        WriteAll(KeyFilePath(), "\"Other\"=\"5\"\r\r\n\r\r\n\"ComPort\"=\"3\"\r\n");
        RegFileStore store(Root.path().toStdString());
        RegKeys keys(store);
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "Other"), QStringLiteral("5"));
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "12"));
        const QByteArray once = ReadAll(KeyFilePath());
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "Other"), QStringLiteral("5"));
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "12"));
        QCOMPARE(ReadAll(KeyFilePath()), once);
    }

    // A doubled byte order mark: the first line reads the same before and
    // after a rewrite, and a second rewrite changes nothing (found by
    // fuzz_regfile).
    void doubledByteOrderMarkIsSkipped() {
        WriteAll(KeyFilePath(), "\xEF\xBB\xBF\xEF\xBB\xBF\"ComPort\"=\"3\"\r\n");
        RegFileStore store(Root.path().toStdString());
        RegKeys keys(store);
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), QStringLiteral("3"));
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "Other", "1"));
        const QByteArray once = ReadAll(KeyFilePath());
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), QStringLiteral("3"));
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "Other", "1"));
        QCOMPARE(ReadAll(KeyFilePath()), once);
    }

    // Only the hex data of a value line continues on the next line after a
    // backslash; the value written reads back whatever ends the file (found
    // by fuzz_regfile).
    void backslashAtLineEnd_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("dangling");
        QTest::newRow("comment before the value")
            << QByteArray("; C:\\\r\n\"ComPort\"=\"3\"\r\n") << "3" << QString();
        QTest::newRow("comment at the end") << QByteArray("; C:\\") << QString() << QString();
        QTest::newRow("wrapped hex at the end")
            << QByteArray("\"Tail\"=hex(1):31,\\") << QString() << QString();
        QTest::newRow("wrapped hex value then the value")
            << QByteArray("\"Tail\"=hex(1):31,\\\n  32\n\"ComPort\"=\"3\"\n") << "3"
            << "12";
        QTest::newRow("wrapped hex value then another key's header")
            << QByteArray(
                   "\"Tail\"=hex(1):31,\\\n[HKEY_LOCAL_MACHINE\\SoftWare\\Other]\n"
                   "\"ComPort\"=\"9\"\n")
            << QString() << QString();
    }

    void backslashAtLineEnd() {
        QFETCH(QByteArray, content);
        QFETCH(QString, dangling);
        WriteAll(KeyFilePath(), content);
        RegFileStore store(Root.path().toStdString());
        RegKeys keys(store);
        QTEST(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), "before");
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "C\\"));
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), QStringLiteral("C\\"));
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "Tail"), dangling);
    }

    // Nothing but a regular file is read or replaced: a FIFO would block the
    // read for ever, a device would be read without end.
    void storeFileThatIsNoRegularFileReadsAsMissingAndStays_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("link to a device") << "device";
        QTest::newRow("folder") << "folder";
        QTest::newRow("larger than the cap") << "large";
    }

    void storeFileThatIsNoRegularFileReadsAsMissingAndStays() {
        QFETCH(QString, kind);
        const QByteArray path = QFile::encodeName(KeyFilePath());
        QVERIFY(QDir().mkpath(QFileInfo(KeyFilePath()).path()));
        if (kind == "fifo") {
            QCOMPARE(mkfifo(path.constData(), 0644), 0);
        } else if (kind == "device") {
            QVERIFY(QFile::link("/dev/zero", KeyFilePath()));
        } else if (kind == "folder") {
            QVERIFY(QDir().mkpath(KeyFilePath()));
        } else {
            WriteAll(KeyFilePath(), "\"ComPort\"=\"3\"\n");
            QCOMPARE(truncate(path.constData(), RegFileStore::MaxFileBytes + 1), 0);
        }
        struct stat before {};
        QCOMPARE(lstat(path.constData(), &before), 0);

        RegFileStore store(Root.path().toStdString());
        RegKeys keys(store);
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), QString());
        QVERIFY(!keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "4"));
        struct stat after {};
        QCOMPARE(lstat(path.constData(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_size, before.st_size);
        QCOMPARE(
            QDir(QFileInfo(KeyFilePath()).path())
                .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList{"Update.reg"});
    }

    // A link below the root may be read through, but a write never follows
    // one: it would leave the root, or replace the link by a copy of what it
    // points to.
    void writeNeverFollowsALinkBelowTheRoot() {
        QTemporaryDir outside;
        WriteAll(outside.filePath("Update.reg"), "\"ComPort\"=\"3\"\n");
        QFile::setPermissions(outside.filePath("Update.reg"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        RegFileStore store(Root.path().toStdString());
        RegKeys keys(store);

        QVERIFY(QDir().mkpath(Root.path() + "/SoftWare"));
        QVERIFY(QFile::link(outside.path(), Root.path() + "/SoftWare/Vendor"));
        QVERIFY(!keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "4"));
        QVERIFY(!keys.SetKeyValue(HkeyLocalMachine, "SoftWare\\Vendor\\Deeper\\Update", "ComPort",
                                  "4"));
        QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{"Update.reg"});

        QVERIFY(QFile::remove(Root.path() + "/SoftWare/Vendor"));
        QVERIFY(QDir().mkpath(Root.path() + "/SoftWare/Vendor"));
        QVERIFY(QFile::link(outside.filePath("Update.reg"), KeyFilePath()));
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), QStringLiteral("3"));
        QVERIFY(!keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "4"));
        QVERIFY(QFileInfo(KeyFilePath()).isSymLink());
        QCOMPARE(ReadAll(outside.filePath("Update.reg")), QByteArray("\"ComPort\"=\"3\"\n"));
        QCOMPARE(ModeOf(outside.filePath("Update.reg")), mode_t(0600));
    }

    // The replaced file keeps its mode; a temporary file that a write cut off
    // by a crash left behind goes at the next write.
    void rewriteKeepsTheModeAndRemovesStaleTemporaryFiles() {
        RegFileStore store(Root.path().toStdString());
        RegKeys keys(store);
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "3"));
        QCOMPARE(ModeOf(KeyFilePath()), mode_t(0644));

        const QByteArray path = QFile::encodeName(KeyFilePath());
        QCOMPARE(chmod(path.constData(), 0600), 0);
        const QString folder = QFileInfo(KeyFilePath()).path();
        WriteAll(folder + "/.Update.reg.tmp", "\"ComPort\"=\"half");
        WriteAll(folder + "/.Update.reg.tmp-Ab12Cd", "");
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "4"));
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), QStringLiteral("4"));
        QCOMPARE(ModeOf(KeyFilePath()), mode_t(0600));
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"Update.reg"});
    }

    // The root is the machine's whatever the desktop session says; only
    // FWLOADER_STORE_ROOT moves it, and then the former root is not read.
    void storeRootIsFixedWhateverTheDesktop_data() {
        QTest::addColumn<QByteArray>("named");
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("former");
        QTest::newRow("unset") << QByteArray() << "/var/lib/fwloader"
                               << "/etc/xdg";
        QTest::newRow("empty") << QByteArray("") << "/var/lib/fwloader"
                               << "/etc/xdg";
        QTest::newRow("named") << QByteArray("/srv/store") << "/srv/store"
                               << "";
    }

    void storeRootIsFixedWhateverTheDesktop() {
        QFETCH(QByteArray, named);
        const QByteArray saved = qgetenv("FWLOADER_STORE_ROOT");
        qputenv("XDG_CONFIG_DIRS", "/home/op/.config/kdedefaults:/etc/xdg");  // KDE Plasma's
        named.isNull() ? qunsetenv("FWLOADER_STORE_ROOT") : qputenv("FWLOADER_STORE_ROOT", named);
        const QString root = QString::fromStdString(PerMachineStoreRoot());
        const QString former = QString::fromStdString(FormerStoreRoot());
        qputenv("FWLOADER_STORE_ROOT", saved);
        qunsetenv("XDG_CONFIG_DIRS");
        QTEST(root, "root");
        QTEST(former, "former");
    }

    // What an earlier version stored is read until the store holds its own.
    void formerRootIsReadUntilTheStoreHoldsTheValue() {
        QTemporaryDir former;
        WriteAll(former.filePath("SoftWare/Vendor/Update.reg"), "\"ComPort\"=\"4\"\n");
        RegFileStore store(Root.path().toStdString(), former.path().toStdString());
        RegKeys keys(store);
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), QStringLiteral("4"));
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "6"));
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), QStringLiteral("6"));
        QCOMPARE(ReadAll(former.filePath("SoftWare/Vendor/Update.reg")), "\"ComPort\"=\"4\"\n");
    }

    // Whoever holds the lock can delay a write, not stop the dialog: the
    // write gives up as for a lack of rights. Only the store's writers may
    // open the lock file.
    void heldLockMakesTheWriteFailWithinThreeSeconds() {
        RegFileStore store(Root.path().toStdString());
        RegKeys keys(store);
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "3"));
        const QString lockPath = Root.filePath(RegFileStore::LockFileName);
        QCOMPARE(ModeOf(lockPath), mode_t(0660));
        QFile held(lockPath);
        QVERIFY(held.open(QIODevice::ReadOnly));
        QCOMPARE(flock(held.handle(), LOCK_EX), 0);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "4"));
        QVERIFY(clock.elapsed() < 3000);
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), QStringLiteral("3"));
        held.close();
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "4"));
    }

    // The time of a read grows with the file, not with its square: a value
    // with a long name wrapped over many lines is read at once.
    void longWrappedValueIsReadInWellUnderASecond() {
        QByteArray content = "\"" + QByteArray(256 * 1024, 'n') + "\"=hex:00,\\\n";
        content += QByteArray("00,\\\n").repeated(50000) + "00\n\"ComPort\"=\"5\"\n";
        WriteAll(KeyFilePath(), content);
        RegFileStore store(Root.path().toStdString());
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(RegKeys(store).GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), "5");
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    }

    // A file saved by the registry editor stays UTF-16LE, with a space and a
    // character beyond 16 bits (a surrogate pair) in a value written; one that
    // is no UTF-16 (an odd byte count, a high surrogate before U+E000, a lone
    // low one) reads as missing and stays as it is.
    void utf16FileIsReadAndKeepsItsEncoding() {
        auto wide = [](const QString& text) {
            return QByteArray("\xFF\xFE") +
                   QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
        };
        const QString head = QStringLiteral(
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SoftWare\\Vendor\\Update]\r\n\"ComPort\"=\"5\"\r\n");
        WriteAll(KeyFilePath(), wide(head + "\"Name\"=\"端口\"\r\n"));
        RegFileStore store(Root.path().toStdString());
        RegKeys keys(store);
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), QStringLiteral("5"));
        const QString name = QStringLiteral("端口 𐀀");
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "Name", name));
        QCOMPARE(ReadAll(KeyFilePath()), wide(head + "\"Name\"=\"" + name + "\"\r\n"));
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "Name"), name);
        // No UTF-8 (an overlong "/"): UTF-16 cannot hold it.
        const QByteArray before = ReadAll(KeyFilePath());
        QVERIFY(
            !store.SetStringValue(HkeyLocalMachine, KeyPath.toStdString(), "Name", "\xE0\x80\xAF"));
        QCOMPARE(ReadAll(KeyFilePath()), before);

        for (const char* tail : {"00", "00d800e0", "00dc"}) {
            const QByteArray broken = wide(head) + QByteArray::fromHex(tail);
            WriteAll(KeyFilePath(), broken);
            QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), QString());
            QVERIFY(!keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "7"));
            QCOMPARE(ReadAll(KeyFilePath()), broken);
        }
    }

    // A key's values are those under its own header (and before the first
    // header); another key's section is neither read nor changed.
    void valuesOfAnotherSectionAreNeitherFoundNorChanged_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("found");
        QTest::addColumn<QByteArray>("written");
        const QByteArray own = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Update]\n";
        const QByteArray other =
            "[HKEY_LOCAL_MACHINE\\SoftWare\\Other\\Update]\n\"ComPort\"=\"9\"\n";
        QTest::newRow("only another key's")
            << other << ""
            << other + "\n[HKEY_LOCAL_MACHINE\\SoftWare\\Vendor\\Update]\n" + "\"ComPort\"=\"3\"\n";
        QTest::newRow("own before another's")
            << own + "\"Baud\"=\"1\"\n\n" + other << ""
            << own + "\"Baud\"=\"1\"\n\"ComPort\"=\"3\"\n\n" + other;
        QTest::newRow("own after another's") << other + own + "\"ComPort\"=\"4\"\n"
                                             << "4" << other + own + "\"ComPort\"=\"3\"\n";
    }

    void valuesOfAnotherSectionAreNeitherFoundNorChanged() {
        QFETCH(QByteArray, content);
        WriteAll(KeyFilePath(), content);
        RegFileStore store(Root.path().toStdString());
        RegKeys keys(store);
        QTEST(keys.GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), "found");
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "3"));
        QTEST(ReadAll(KeyFilePath()), "written");
    }

    // New folders are 0755 whatever the umask, 2775 in a group store; the
    // replaced file keeps only its read and write bits.
    void modesFollowTheStoreNotTheUmask() {
        RegFileStore store(Root.path().toStdString());
        RegKeys keys(store);
        const mode_t savedMask = umask(0);
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "3"));
        QCOMPARE(chmod(QFile::encodeName(Root.path()).constData(), 02775), 0);
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, "SoftWare\\Group\\Update", "ComPort", "3"));
        umask(savedMask);
        QCOMPARE(ModeOf(Root.filePath("SoftWare/Vendor")), mode_t(0755));
        QCOMPARE(ModeOf(Root.filePath("SoftWare/Group")), mode_t(02775));
        QCOMPARE(chmod(QFile::encodeName(KeyFilePath()).constData(), 06775), 0);
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "4"));
        QCOMPARE(ModeOf(KeyFilePath()), mode_t(0664));
    }

    void unreadableStoreFileIsNeverReplaced() {
        if (geteuid() == 0) {
            QSKIP("root reads every file");
        }
        WriteAll(KeyFilePath(), "\"ComPort\"=\"3\"\n");
        QFile::setPermissions(KeyFilePath(), QFileDevice::WriteOwner);
        RegFileStore store(Root.path().toStdString());
        QVERIFY(!RegKeys(store).SetKeyValue(HkeyLocalMachine, KeyPath, "ComPort", "4"));
        QFile::setPermissions(KeyFilePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QCOMPARE(ReadAll(KeyFilePath()), QByteArray("\"ComPort\"=\"3\"\n"));
    }

    void garbageFileReadsAsMissing() {
        QByteArray garbage;
        for (int i = 0; i < 5000; ++i) {
            garbage.append(char((i * 37) % 256));
        }
        WriteAll(KeyFilePath(), garbage);
        RegFileStore store(Root.path().toStdString());
        QCOMPARE(RegKeys(store).GetKeyValue(HkeyLocalMachine, KeyPath, "ComPort"), QString());
    }
};

QTEST_GUILESS_MAIN(RegFileStoreTest)
#include "tst_regfilestore.moc"
