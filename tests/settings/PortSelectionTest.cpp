#include <QTest>

#include "Fakes.h"
#include "PortSelection.h"
#include "ProbePort.h"

namespace {

const QString KeyPath = QStringLiteral("SoftWare\\Acme\\Update");

class RecordingView : public PortSelectionView {
public:
    void SetTitle(const QString& text) override { Title = text; }
    void SetLabelComPortCaption(const QString& text) override { Label = text; }
    void SetCommandOkCaption(const QString& text) override { Ok = text; }
    void SetCommandCancelCaption(const QString& text) override { Cancel = text; }
    void AddItem(const QString& text) override { Items.append(text); }
    void SetListIndex(int index) override { Index = index; }
    QString Text() const override {
        return Index >= 0 && Index < Items.size() ? Items[Index] : QString();
    }
    void Unload(bool accepted) override {
        ++Unloads;
        Accepted = accepted;
    }

    QString Title, Label, Ok, Cancel;
    QStringList Items;
    int Index = -1;
    int Unloads = 0;
    bool Accepted = false;
};

// One dialog's worth of collaborators.
struct Rig {
    Rig() : Port(Scheduler), Handlers(State, Port, Store, View) {
        State.SettingsKeyPath = KeyPath;
        State.EnglishUi = true;
    }
    std::string Stored() const {
        const auto key = Store.Keys.find(KeyPath.toStdString());
        if (key == Store.Keys.end()) {
            return "<no key>";
        }
        const auto value = key->second.find("ComPort");
        return value == key->second.end() ? "<no value>" : value->second.Data;
    }

    VirtualScheduler Scheduler;
    ProcessState State;
    ProbePort Port;
    MemoryKeyValueBackend Store;
    RecordingView View;
    PortSelection Handlers;
};

QList<qint16> Range(qint16 from, qint16 to) {
    QList<qint16> numbers;
    for (qint16 n = from; n <= to; ++n) {
        numbers.append(n);
    }
    return numbers;
}

}  // namespace

class PortSelectionTest : public QObject {
    Q_OBJECT
private slots:
    void listsOpenablePortsAndPreselectsCurrent() {
        Rig rig;
        rig.Port.FreePorts = {1, 3};
        rig.State.ComPortNumber = 3;
        rig.Handlers.Form_Load();

        QCOMPARE(rig.View.Items, QStringList({"COM1", "COM3"}));
        QCOMPARE(rig.View.Index, 1);
        QCOMPARE(rig.State.ComPortNumber, qint16(3));
        QCOMPARE(rig.Store.Writes, 0);
        QCOMPARE(rig.View.Unloads, 0);
    }

    void probesEachPortOnceInOrderWithoutTouchingTheLine() {
        Rig rig;
        rig.Port.FreePorts = {1, 3, 12, 99, 100, 150};
        rig.Handlers.Form_Load();

        QCOMPARE(rig.Port.OpenAttempts, Range(1, 99));
        QCOMPARE(rig.Port.OpenedPorts, QList<qint16>({1, 3, 12, 99}));
        QCOMPARE(rig.Port.ClosedPorts, rig.Port.OpenedPorts);
        QCOMPARE(rig.View.Items, QStringList({"COM1", "COM3", "COM12", "COM99"}));
        QVERIFY(!rig.Port.IsOpen());
        QVERIFY(rig.Port.Writes.isEmpty());
        QVERIFY(rig.Port.SettingsLog.isEmpty());
        QCOMPARE(rig.Port.Reads, 0);
        QCOMPARE(rig.Port.Threshold, 0);
    }

    void missingCurrentPortSwitchesToFirstAtLoadAndCancelKeepsIt() {
        Rig rig;
        rig.Port.FreePorts = {1, 3};
        rig.State.ComPortNumber = 5;
        rig.Store.Keys[KeyPath.toStdString()]["ComPort"] = {RegTypeString, "5"};
        rig.Handlers.Form_Load();

        QCOMPARE(rig.View.Index, 0);
        QCOMPARE(rig.State.ComPortNumber, qint16(1));

        rig.Handlers.CommandCancel_Click();
        QCOMPARE(rig.View.Unloads, 1);
        QVERIFY(!rig.View.Accepted);
        QCOMPARE(rig.State.ComPortNumber, qint16(1));
        QCOMPARE(rig.Stored(), std::string("5"));
        QCOMPARE(rig.Store.Writes, 0);
    }

    void okTakesSelectedEntryAndStoresItsNumberAsText() {
        Rig rig;
        rig.Port.FreePorts = {3, 12};
        rig.State.ComPortNumber = 3;
        rig.Handlers.Form_Load();
        QVERIFY(rig.Store.Keys.empty());

        rig.View.Index = 1;  // the operator picks COM12
        rig.Handlers.CommandOk_Click();

        QCOMPARE(rig.State.ComPortNumber, qint16(12));
        const auto& stored = rig.Store.Keys.at(KeyPath.toStdString()).at("ComPort");
        QCOMPARE(stored.Type, RegTypeString);
        QCOMPARE(stored.Data, std::string("12"));
        QCOMPARE(rig.View.Unloads, 1);
        QVERIFY(rig.View.Accepted);
    }

    void okKeepsChoiceWhenStoreWriteFails() {
        Rig rig;
        rig.Port.FreePorts = {4};
        rig.State.ComPortNumber = 4;
        rig.Store.WritesFail = true;
        rig.Handlers.Form_Load();
        rig.Handlers.CommandOk_Click();

        QCOMPARE(rig.State.ComPortNumber, qint16(4));
        QVERIFY(rig.Store.Keys.empty());
        QCOMPARE(rig.View.Unloads, 1);
    }

    void noOpenablePortLeavesListEmptyAndOkChangesNothing() {
        Rig rig;
        rig.State.ComPortNumber = 7;
        rig.Store.Keys[KeyPath.toStdString()]["ComPort"] = {RegTypeString, "7"};
        rig.Handlers.Form_Load();

        QVERIFY(rig.View.Items.isEmpty());
        QCOMPARE(rig.View.Index, -1);
        QCOMPARE(rig.State.ComPortNumber, qint16(7));

        rig.Handlers.CommandOk_Click();
        QCOMPARE(rig.View.Unloads, 1);
        QVERIFY(!rig.View.Accepted);
        QCOMPARE(rig.State.ComPortNumber, qint16(7));
        QCOMPARE(rig.Store.Writes, 0);
        QCOMPARE(rig.Stored(), std::string("7"));
    }

    // When closing a port fails, the next number finds the port open: it is
    // listed and closed without an open attempt and without the preselection
    // test.
    void portLeftOpenListsNextNumberWithoutPreselection() {
        Rig rig;
        rig.Port.FreePorts = {2, 5};
        rig.Port.PortsThatFailToClose = {2};
        rig.State.ComPortNumber = 3;
        rig.Handlers.Form_Load();

        QCOMPARE(rig.View.Items, QStringList({"COM2", "COM3", "COM5"}));
        QVERIFY(!rig.Port.OpenAttempts.contains(3));
        QCOMPARE(rig.Port.ClosedPorts, QList<qint16>({3, 5}));
        QVERIFY(!rig.Port.IsOpen());
        QCOMPARE(rig.View.Index, 0);
        QCOMPARE(rig.State.ComPortNumber, qint16(2));
    }

    void captionsFollowLanguage_data() {
        QTest::addColumn<bool>("english");
        QTest::addColumn<QStringList>("captions");
        QTest::newRow("english") << true << QStringList({"Set COM", "Comm Port", "&OK", "&Cancel"});
        QTest::newRow("chinese") << false
                                 << QStringList({"串口设置", "串口", "确定(&O)", "取消(&C)"});
    }
    void captionsFollowLanguage() {
        QFETCH(bool, english);
        QFETCH(QStringList, captions);
        Rig rig;
        rig.State.EnglishUi = english;
        rig.Handlers.Form_Load();
        QCOMPARE(QStringList({rig.View.Title, rig.View.Label, rig.View.Ok, rig.View.Cancel}),
                 captions);
    }
};

QTEST_GUILESS_MAIN(PortSelectionTest)
#include "PortSelectionTest.moc"
