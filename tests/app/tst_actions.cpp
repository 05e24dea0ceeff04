// The main window's actions with a stand-in session window: which firmware
// file the Update action takes, what it loads, the version it passes on, and
// the messages of Update and Read.

#include <QtTest>

#include "Fakes.h"
#include "HexText.h"
#include "MainActions.h"

namespace {

const QString Folder = QStringLiteral("/program");

// A session window that records what it was asked for and ends as scripted.
class SessionStandIn : public MainView {
public:
    explicit SessionStandIn(ProcessState& state) : State(state) {}
    void SetCaption(const QString&) override {}
    void SetVersionLabel(const QString&) override {}
    void ShowSessionWindow() override {
        Sessions << (State.SessionModeUpdate         ? "Update"
                     : State.SessionModeReadFirmware ? "Read"
                                                     : "none");
        Versions << QStringLiteral("%1.%2")
                        .arg(State.FirmwareVersion.Major)
                        .arg(State.FirmwareVersion.Minor);
        Bounds << qMakePair(State.ImageLowestAddress, State.ImageHighestAddress);
        State.SessionSucceeded = Succeeds;
        State.SessionModeUpdate = State.SessionModeReadFirmware = false;
    }
    void ShowPortDialog() override { ++PortDialogs; }

    ProcessState& State;
    bool Succeeds = true;
    QStringList Sessions;
    QStringList Versions;
    QList<QPair<int, int>> Bounds;
    int PortDialogs = 0;
};

QByteArray Record(int address, const QByteArray& data) {
    return DataRecord(address, data) + "\r\n";
}

}  // namespace

class ActionsTest : public QObject {
    Q_OBJECT

    struct Rig {
        ProcessState State;
        MemoryFileSystem Files;
        MemoryKeyValueBackend Store;
        ScriptedMessageBoxes Messages;
        ScriptedFileDialogs Dialogs;
        SessionStandIn View{State};
        MainActions Actions{MainServices{State, Files, Store, Messages, Dialogs, Folder, {}}, View};

        Rig() { State.AppTitle = QStringLiteral("Title"); }
        void Put(const QString& name, const QByteArray& content) {
            Files.Files[Folder + "/" + name] = content;
        }
        QStringList Texts() const {
            QStringList texts;
            for (const auto& shown : Messages.Log) {
                texts << shown.Text;
            }
            return texts;
        }
    };

private slots:
    void firmwareFileChoice_data() {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("chosen");
        const QStringList reserved = MainActions::ReservedNames;
        QTest::newRow("all six reserved") << reserved << "TempFile_1.03.hex";
        QTest::newRow("six reserved and another")
            << (reserved + QStringList{"A.hex"}) << "TempFile_1.03.hex";
        QStringList five = reserved;
        five.removeAll("TempFile_1.05.hex");
        QTest::newRow("five reserved: first by name") << five << "TempFile_1.00.hex";
        QStringList otherCase = reserved;
        otherCase.replace(1, "tempfile_1.00.hex");
        QTest::newRow("reserved name in other case") << otherCase << "tempfile_1.00.hex";
        QTest::newRow("name order ignores case")
            << QStringList{"b_2.1.hex", "A_3.4.HEX"} << "A_3.4.HEX";
    }

    void firmwareFileChoice() {
        QFETCH(QStringList, files);
        QFETCH(QString, chosen);
        Rig rig;
        for (const QString& name : files) {
            // Each file holds one data byte that tells which file was loaded.
            rig.Put(name, Record(0x100, QByteArray(1, char(files.indexOf(name) + 1))));
        }
        rig.Actions.Command1_Click();
        QCOMPARE(rig.View.Sessions, QStringList{"Update"});
        QCOMPARE(int(rig.State.FirmwareImage[0x100]), files.indexOf(chosen) + 1);
        QCOMPARE(rig.Texts(), QStringList{"Successful"});
    }

    void loadsTheImageOverThePrefill() {
        Rig rig;
        rig.State.FirmwareImage[0xFFFF] = 0x42;
        rig.Put("Board_2.15.hex", "not a record\r\n\r\n" + Record(0x1270, QByteArray(16, 'A')) +
                                      Record(0x1280, QByteArray(33, 'B')) + ":00000001FF\r\n");
        rig.Actions.Command1_Click();
        const auto& image = rig.State.FirmwareImage;
        QCOMPARE(int(image[0]), 0xFF);
        QCOMPARE(int(image[1]), 0xFE);
        QCOMPARE(int(image[127]), 0x80);
        QCOMPARE(int(image[128]), 0xFF);
        QCOMPARE(int(image[65534]), 0x81);
        QCOMPARE(int(image[65535]), 0x42);  // never touched
        QCOMPARE(int(image[0x1270]), int('A'));
        QCOMPARE(int(image[0x12A0]), int('B'));
        QCOMPARE(int(image[0x12A1]), 0xFF ^ (0x12A1 & 0x7F));
        QCOMPARE(rig.View.Bounds, (QList<QPair<int, int>>{{0x1270, 0x12A0}}));
        QCOMPARE(rig.View.Versions, QStringList{"2.15"});
    }

    void versionFromTheName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("version");  // before: 9.9
        QTest::newRow("reserved") << "TempFile_1.03.hex"
                                  << "1.3";
        QTest::newRow("last underscore") << "Main_Board_4.7.hex"
                                         << "4.7";
        QTest::newRow("letter in major") << "Board_V2.15.hex"
                                         << "9.15";
        QTest::newRow("no underscore") << "firmware.hex"
                                       << "9.9";
        QTest::newRow("out of range") << "Board_256.1.hex"
                                      << "9.1";
    }

    void versionFromTheName() {
        QFETCH(QString, name);
        QFETCH(QString, version);
        Rig rig;
        rig.State.FirmwareVersion = {9, 9};
        rig.Put(name, Record(0x8000, "x"));
        rig.Actions.Command1_Click();
        QCOMPARE(rig.View.Versions, QStringList{version});
    }

    void noSessionWhenTheFileCannotBeUsed_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("title");
        QTest::newRow("no hex file") << "" << QByteArray() << "无升级文件"
                                     << "Update";
        QTest::newRow("unreadable") << "A_1.0.hex" << QByteArray("unreadable") << "打开文件错误"
                                    << "Update";
        QTest::newRow("wrong check byte")
            << "A_1.0.hex" << QByteArray(":0100000041BF\r\n") << "文档有误"
            << "Title";
        QTest::newRow("no data record")
            << "A_1.0.hex" << QByteArray("hello\r\n:00000001FF\r\n") << "文档有误"
            << "Title";
    }

    void noSessionWhenTheFileCannotBeUsed() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        QFETCH(QString, title);
        Rig rig;
        rig.State.ImageLowestAddress = 0;
        rig.State.ImageHighestAddress = 0x7FFF;  // as a Read leaves them
        if (!name.isEmpty()) {
            rig.Put(name, content);
            if (content == "unreadable") {
                rig.Files.Unreadable << Folder + "/" + name;
            }
        }
        rig.Put("notes.txt", "not firmware");
        rig.Actions.Command1_Click();
        QVERIFY(rig.View.Sessions.isEmpty());
        QCOMPARE(rig.Texts(), QStringList{message});
        QCOMPARE(rig.Messages.Log[0].Title, title);
        QCOMPARE(rig.Messages.Log[0].Icon,
                 message == "文档有误" ? MessageIcon::None : MessageIcon::Critical);
        QCOMPARE(int(rig.State.FirmwareImage[5]), 0xFA);  // pre-filled whatever happened
    }

    void failedSessionShowsNothingHere() {
        Rig rig;
        rig.View.Succeeds = false;
        rig.Put("A_1.0.hex", Record(0x8000, "x"));
        rig.Actions.Command1_Click();
        QCOMPARE(rig.View.Sessions, QStringList{"Update"});
        QVERIFY(rig.Messages.Log.isEmpty());
    }

    void readActionSetsTheBoundsAndReports() {
        Rig rig;
        rig.State.ImageLowestAddress = 0x1270;
        rig.State.ImageHighestAddress = 0x9000;
        rig.State.FirmwareImage[0x9000] = 0x33;
        rig.Actions.CommandRead_Click();
        QCOMPARE(rig.View.Sessions, QStringList{"Read"});
        QCOMPARE(rig.View.Bounds, (QList<QPair<int, int>>{{0, 0x7FFF}}));
        QCOMPARE(rig.Texts(), QStringList{"读取成功"});
        QCOMPARE(rig.Messages.Log[0].Icon, MessageIcon::Exclamation);
        QCOMPARE(rig.Messages.Log[0].Title, QStringLiteral("Title"));
        QCOMPARE(int(rig.State.FirmwareImage[0x9000]), 0x33);  // the read does not pre-fill

        rig.View.Succeeds = false;
        rig.Actions.CommandRead_Click();
        QCOMPARE(rig.Messages.Log.size(), 1);
    }

    void comOpensThePortDialog() {
        Rig rig;
        rig.Actions.CommandCom_Click();
        QCOMPARE(rig.View.PortDialogs, 1);
    }
};

QTEST_GUILESS_MAIN(ActionsTest)
#include "tst_actions.moc"
