// Start-up: the item rules of Config.txt, the conversions of the model bytes
// and of the stored port number, and the load handler's decisions.

#include <QtTest>

#include "Conversions.h"
#include "Fakes.h"
#include "ItemReader.h"
#include "MainActions.h"

namespace {

QList<QByteArray> Items(const QByteArray& content, int count) {
    ItemReader reader(content);
    QList<QByteArray> items;
    QByteArray item;
    while (items.size() < count && reader.ReadItem(item)) {
        items << item;
    }
    return items;
}

class RecordingView : public MainView {
public:
    void SetCaption(const QString& caption) override { Caption = caption; }
    void SetVersionLabel(const QString& text) override { VersionLabel = text; }
    void ShowSessionWindow() override {}
    void ShowPortDialog() override {}
    QString Caption;
    QString VersionLabel;
};

const QString Folder = QStringLiteral("/program");
const QString ConfigPath = QStringLiteral("/program/Config.txt");

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT

    struct Run {
        ProcessState State;
        MemoryFileSystem Files;
        MemoryKeyValueBackend Store;
        ScriptedMessageBoxes Messages;
        ScriptedFileDialogs Dialogs;
        RecordingView View;
        bool Shown = false;
        QString Problem;
        QStringList Reported;

        void Load() {
            MainServices services{State,
                                  Files,
                                  Store,
                                  Messages,
                                  Dialogs,
                                  Folder,
                                  [this](const QString& line) { Reported << line; }};
            MainActions actions(services, View);
            Shown = actions.Form_Load();
            Problem = actions.StartupProblem();
        }
    };

private slots:
    void itemRules_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QList<QByteArray>>("items");
        using L = QList<QByteArray>;
        QTest::newRow("CR LF lines")
            << QByteArray("1:2:3\r\nVendor\r\nTitle\r\n") << L{"1:2:3", "Vendor", "Title"};
        QTest::newRow("comma splits")
            << QByteArray("1:2:3\r\nVendor,Title\r\nNot read\r\n") << L{"1:2:3", "Vendor", "Title"};
        QTest::newRow("quoted comma") << QByteArray("\"a,b\",c\r\n") << L{"a,b", "c"};
        QTest::newRow("after closing quote skipped") << QByteArray("\"a\"xyz,b\r\n") << L{"a", "b"};
        QTest::newRow("unclosed quote runs to end") << QByteArray("\"a,b\r\nc") << L{"a,b\r\nc"};
        QTest::newRow("empty line and empty field") << QByteArray("\r\n,x\r\n") << L{"", "", "x"};
        QTest::newRow("CR alone") << QByteArray("a\rb\rc") << L{"a", "b", "c"};
        QTest::newRow("LF alone") << QByteArray("a\nb\nc\n") << L{"a", "b", "c"};
        QTest::newRow("blanks trimmed") << QByteArray("  a b \t,\t\" c \"\r\n") << L{"a b", " c "};
        QTest::newRow("last line without terminator") << QByteArray("a\r\nb") << L{"a", "b"};
    }

    void itemRules() {
        QFETCH(QByteArray, content);
        QFETCH(QList<QByteArray>, items);
        QCOMPARE(Items(content, items.size()), items);
    }

    void readingPastTheEndFails() {
        ItemReader reader("a\r\n");
        QByteArray item = "untouched";
        QVERIFY(reader.ReadItem(item));
        QVERIFY(reader.AtEnd());
        QVERIFY(!reader.ReadItem(item));
        QCOMPARE(item, QByteArray("a"));
        QVERIFY(!ItemReader(QByteArray()).ReadItem(item));
    }

    void comPortConversion_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expected");  // -99999: does not fit, previous value kept
        QTest::newRow("3") << "3" << 3;
        QTest::newRow("12abc") << "12abc" << 12;
        QTest::newRow("abc") << "abc" << 0;
        QTest::newRow("&h1A") << "&h1A" << 26;
        QTest::newRow("&H1a") << "&H1a" << 26;
        QTest::newRow("&h only") << "&h" << 0;
        QTest::newRow("blanks inside") << " 1 2\t\n" << 12;
        QTest::newRow("half to even down") << "2.5" << 2;
        QTest::newRow("half to even up") << "3.5" << 4;
        QTest::newRow("negative") << "-7" << -7;
        QTest::newRow("exponent") << "1.2e1x" << 12;
        QTest::newRow("D exponent") << "3D1" << 30;
        QTest::newRow("dangling exponent") << "5e" << 5;
        QTest::newRow("point only") << "." << 0;
        QTest::newRow("fraction") << ".6" << 1;
        QTest::newRow("largest") << "32767" << 32767;
        QTest::newRow("smallest") << "-32768" << -32768;
        QTest::newRow("too large") << "32768" << -99999;
        QTest::newRow("hex too large") << "&h8000" << -99999;
        QTest::newRow("huge") << "1e999" << -99999;
        QTest::newRow("too small for a double") << "76d-777" << 0;  // found by fuzz_config
    }

    void comPortConversion() {
        QFETCH(QString, text);
        QFETCH(int, expected);
        std::int16_t port = 77;
        const bool fits = ConvertComPortText(text, port);
        QCOMPARE(fits, expected != -99999);
        QCOMPARE(int(port), fits ? expected : 77);
    }

    void goodConfigSetsEverything() {
        Run run;
        run.Files.Files[ConfigPath] = "1:2:3\r\nVendor\r\n\r\n";
        run.State.ComPortNumber = 9;
        run.Load();
        QVERIFY(run.Shown);
        QCOMPARE(run.State.ModelId, (std::array<std::uint8_t, 3>{1, 2, 3}));
        QCOMPARE(run.State.SettingsKeyPath, QStringLiteral("SoftWare\\Vendor\\Update"));
        QCOMPARE(run.State.AppTitle, QStringLiteral("Update"));
        QCOMPARE(run.View.Caption, QStringLiteral("Update"));
        QCOMPARE(run.View.VersionLabel, QStringLiteral("Version:1.0.0"));
        QCOMPARE(run.State.ComPortNumber, std::int16_t(1));  // nothing stored
        QVERIFY(run.State.EnglishUi);
        QVERIFY(run.Messages.Log.isEmpty());
    }

    void titleAndExtraModelParts() {
        Run run;
        run.Files.Files[ConfigPath] = "12:0:200:99\r\nVendor,My Title\r\nignored\r\n";
        run.Load();
        QVERIFY(run.Shown);
        QCOMPARE(run.State.ModelId, (std::array<std::uint8_t, 3>{12, 0, 200}));
        QCOMPARE(run.State.AppTitle, QStringLiteral("My Title"));
        QCOMPARE(run.View.Caption, QStringLiteral("My Title"));
    }

    void storedPortNumber_data() {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<int>("expected");
        QTest::newRow("3") << QByteArray("3") << 3;
        QTest::newRow("12abc") << QByteArray("12abc") << 12;
        QTest::newRow("abc") << QByteArray("abc") << 0;
        QTest::newRow("empty") << QByteArray("") << 1;
        QTest::newRow("too large keeps 0") << QByteArray("70000") << 0;
    }

    void storedPortNumber() {
        QFETCH(QByteArray, stored);
        QFETCH(int, expected);
        Run run;
        run.Files.Files[ConfigPath] = "1:2:3\r\nVendor\r\nT\r\n";
        run.Store.Keys["SoftWare\\Vendor\\Update"]["ComPort"] = {RegTypeString,
                                                                 stored.toStdString()};
        run.Load();
        QVERIFY(run.Shown);
        QCOMPARE(int(run.State.ComPortNumber), expected);
    }

    void storedNumberValueReadsAsItsNumber() {
        Run run;
        run.Files.Files[ConfigPath] = "1:2:3\r\nVendor\r\nT\r\n";
        run.Store.Keys["SoftWare\\Vendor\\Update"]["ComPort"] = {RegTypeDword,
                                                                 std::string("\x02\x01\0\0", 4)};
        run.Load();
        QCOMPARE(int(run.State.ComPortNumber), 258);
    }

    void unusableConfigEndsBeforeTheWindow_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << QByteArray() << false << "cannot be read";
        QTest::newRow("two lines") << QByteArray("1:2:3\r\nVendor\r\n") << true << "2 item(s)";
        QTest::newRow("empty file") << QByteArray() << true << "0 item(s)";
        QTest::newRow("two model parts")
            << QByteArray("1:2\r\nV\r\nT\r\n") << true << "model byte 2 is missing";
        QTest::newRow("not a number")
            << QByteArray("1:x:3\r\nV\r\nT\r\n") << true << "model byte 1 (\"x\")";
        QTest::newRow("out of range")
            << QByteArray("1:256:3\r\nV\r\nT\r\n") << true << "model byte 1 (\"256\")";
        QTest::newRow("negative") << QByteArray("1:-1:3\r\nV\r\nT\r\n") << true << "model byte 1";
    }

    void unusableConfigEndsBeforeTheWindow() {
        QFETCH(QByteArray, content);
        QFETCH(bool, exists);
        QFETCH(QString, reason);
        Run run;
        if (exists) {
            run.Files.Files[ConfigPath] = content;
        }
        run.Store.Keys["SoftWare\\V\\Update"]["ComPort"] = {RegTypeString, "5"};
        run.Load();
        QVERIFY(!run.Shown);
        QVERIFY2(run.Problem.contains(ConfigPath) && run.Problem.contains(reason),
                 qPrintable(run.Problem));
        QCOMPARE(run.Messages.Log.size(), 1);
        QCOMPARE(run.Messages.Log[0].Text, run.Problem);
        QCOMPARE(run.Reported, QStringList{run.Problem});
        QCOMPARE(run.Messages.Log[0].Icon, MessageIcon::Critical);
        QCOMPARE(int(run.State.ComPortNumber), 0);  // the store is not read
        QVERIFY(run.View.VersionLabel.isEmpty());
    }

    void badModelByteKeepsItsOldValueAndTheOthersAreSet() {
        Run run;
        run.State.ModelId = {7, 7, 7};
        run.Files.Files[ConfigPath] = "1:x:3\r\nV\r\nT\r\n";
        run.Load();
        QCOMPARE(run.State.ModelId, (std::array<std::uint8_t, 3>{1, 7, 3}));
    }
};

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_startup.moc"
