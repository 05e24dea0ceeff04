// The session window run modally, with a scripted device behind its port.

#include <QTimer>
#include <QtTest>

#include "FormProcess.h"
#include "SessionRig.h"

namespace {

// Runs the virtual clock of the scripted port from the real event loop, so
// that the device answers while the dialog's own loop runs.
struct Pump {
    explicit Pump(VirtualScheduler& clock) {
        Timer.setInterval(1);
        QObject::connect(&Timer, &QTimer::timeout, [&clock] { clock.RunDue(); });
        Timer.start();
    }
    QTimer Timer;
};

struct Window {
    VirtualScheduler Clock;
    ProcessState State;
    ScriptedMessageBoxes Boxes;
    FakePause Sleep{Clock};
    TestPort* Port = nullptr;
    std::unique_ptr<ScriptedDevice> Device;
    std::unique_ptr<FormProcess> Form;

    Window() {
        State.ModelId = {0x01, 0x02, 0x03};
        State.FirmwareVersion = {1, 3};
        State.AppTitle = QStringLiteral("Loader");
        State.EnglishUi = true;
        State.ComPortNumber = 4;
        State.SessionModeUpdate = true;
        State.ImageLowestAddress = 0x8000;
        State.ImageHighestAddress = 0x81FF;
        auto port = std::make_unique<TestPort>(Clock);
        Port = port.get();
        Device = std::make_unique<ScriptedDevice>(*Port);
        Form = std::make_unique<FormProcess>(State, std::move(port), Boxes, Sleep);
    }

    int Exec() {
        Pump pump(Clock);
        QTimer::singleShot(10000, Form.get(), &QDialog::reject);  // never hang the suite
        return Form->exec();
    }
};

}  // namespace

class FormProcessTest : public QObject {
    Q_OBJECT

private slots:
    void runsASessionModallyAndClosesItselfAtTheEnd();
    void closeBoxEndsTheSessionAndClosesThePort();
    void portThatCannotBeOpenedClosesTheWindowAtOnce();
    void closingBeforeTheLoadHandlerRanClearsTheSessionMode();
};

void FormProcessTest::runsASessionModallyAndClosesItselfAtTheEnd() {
    Window w;
    QCOMPARE(w.Form->windowTitle(), QStringLiteral("Form1"));
    QCOMPARE(w.Form->LabelProcess->text(), QStringLiteral("Complete:0%"));
    QCOMPARE(w.Form->size(), QSize(312, 112));
    QVERIFY(!(w.Form->windowFlags() & Qt::WindowMinMaxButtonsHint));

    QCOMPARE(w.Exec(), int(QDialog::Accepted));
    QVERIFY(w.State.SessionSucceeded);
    QCOMPARE(w.Device->StartedAt, std::optional<int>(0x8000));
    QCOMPARE(w.Form->windowTitle(), QStringLiteral("Update"));
    QCOMPARE(w.Form->ProgressBar1->value(), w.Form->ProgressBar1->maximum());
    QCOMPARE(w.Form->LabelProcess->text(), QStringLiteral("Complete:100%"));
    QVERIFY(w.Form->LabelTime->isHidden());
    QVERIFY(!w.Form->isVisible());
    QVERIFY(!w.Port->IsOpen());
    QCOMPARE(int(w.Port->PortNumber), 4);
    QVERIFY(!w.State.SessionModeUpdate);
    QVERIFY(!w.Form->Session().IsLoaded());
}

void FormProcessTest::closeBoxEndsTheSessionAndClosesThePort() {
    Window w;
    w.Device->Dead = true;
    bool openAfterEsc = false;
    QTimer::singleShot(20, w.Form.get(), [&] {
        QTest::keyClick(w.Form.get(), Qt::Key_Escape);  // no Cancel button: Esc does nothing
        openAfterEsc = w.Form->isVisible() && w.Form->Session().IsLoaded();
    });
    QTimer::singleShot(50, w.Form.get(), &QWidget::close);
    QCOMPARE(w.Exec(), int(QDialog::Rejected));
    QVERIFY(openAfterEsc);
    QCOMPARE(w.Port->Writes.size(), 1);  // the Connect, unanswered
    QCOMPARE(w.Port->CloseCount, 1);
    QVERIFY(!w.Port->IsOpen());
    QVERIFY(!w.State.SessionSucceeded);
    QVERIFY(!w.State.SessionModeUpdate);
    QVERIFY(w.Boxes.Log.isEmpty());
}

void FormProcessTest::portThatCannotBeOpenedClosesTheWindowAtOnce() {
    Window w;
    w.Port->PortsThatFailToOpen = {4};
    QCOMPARE(w.Exec(), int(QDialog::Rejected));
    QCOMPARE(w.Boxes.Log.size(), 1);
    QCOMPARE(w.Boxes.Log[0].Text, QStringLiteral("Please reselect COM port!"));
    QVERIFY(w.Port->Writes.isEmpty());
    QCOMPARE(w.Form->windowTitle(), QStringLiteral("Form1"));
}

void FormProcessTest::closingBeforeTheLoadHandlerRanClearsTheSessionMode() {
    Window closed;
    closed.Form->show();  // the load handler is queued, not run yet
    closed.Form->close();
    QVERIFY(!closed.State.SessionModeUpdate);
    QCoreApplication::processEvents();  // the queued load finds the window gone
    QVERIFY(!closed.Form->Session().IsLoaded());
    QVERIFY(closed.Port->Writes.isEmpty());

    Window destroyed;
    destroyed.State.SessionModeUpdate = false;
    destroyed.State.SessionModeReadFirmware = true;
    destroyed.Form.reset();  // never shown
    QVERIFY(!destroyed.State.SessionModeReadFirmware);
}

QTEST_MAIN(FormProcessTest)
#include "tst_FormProcess.moc"
