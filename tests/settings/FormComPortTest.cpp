#include <QApplication>
#include <QTest>
#include <QTimer>

#include "FormComPort.h"
#include "ProbePort.h"

namespace {

const QString KeyPath = QStringLiteral("SoftWare\\Acme\\Update");

}  // namespace

class FormComPortTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        State = ProcessState{};
        State.SettingsKeyPath = KeyPath;
        State.EnglishUi = true;
        Store = MemoryKeyValueBackend{};
    }

    void cleanup() { QVERIFY(QApplication::topLevelWidgets().isEmpty()); }

    void showsProbedPortsAndOkStoresChoice() {
        State.ComPortNumber = 3;
        auto port = std::make_unique<ProbePort>(Scheduler);
        port->FreePorts = {1, 3};
        ProbePort* probe = port.get();
        FormComPort dialog(State, Store, std::move(port));

        QCOMPARE(dialog.windowTitle(), QStringLiteral("Set COM"));
        QCOMPARE(dialog.LabelComPort->text(), QStringLiteral("Comm Port"));
        QCOMPARE(dialog.ComboComPort->count(), 2);
        QCOMPARE(dialog.ComboComPort->itemText(0), QStringLiteral("COM1"));
        QCOMPARE(dialog.ComboComPort->currentText(), QStringLiteral("COM3"));
        QVERIFY(!dialog.ComboComPort->isEditable());
        QVERIFY(!probe->IsOpen());
        QCOMPARE(dialog.size(), QSize(259, 117));  // 3885 x 1755 twips at 96 dpi

        bool focusOnList = false;
        QTimer::singleShot(0, &dialog, [&] {
            focusOnList = dialog.focusWidget() == dialog.ComboComPort;
            dialog.ComboComPort->setCurrentIndex(0);
            QTest::mouseClick(dialog.CommandOk, Qt::LeftButton);
        });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));

        QVERIFY(focusOnList);
        QCOMPARE(State.ComPortNumber, qint16(1));
        QCOMPARE(Store.Keys.at(KeyPath.toStdString()).at("ComPort").Data, std::string("1"));
    }

    // Neither button is the default or the cancel button: Enter and Escape
    // do nothing. The close box cancels.
    void enterAndEscapeDoNothingAndTheCloseBoxCancels() {
        State.ComPortNumber = 2;
        auto port = std::make_unique<ProbePort>(Scheduler);
        port->FreePorts = {2};
        FormComPort dialog(State, Store, std::move(port));

        bool openAfterKeys = false;
        QTimer::singleShot(0, &dialog, [&] {
            QTest::keyClick(dialog.CommandOk, Qt::Key_Return);
            QTest::keyClick(&dialog, Qt::Key_Enter);
            QTest::keyClick(&dialog, Qt::Key_Escape);
            QTest::keyClick(dialog.ComboComPort, Qt::Key_Escape);
            QTest::keyClick(dialog.CommandCancel, Qt::Key_Escape);
            openAfterKeys = dialog.isVisible();
            dialog.close();
        });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));

        QVERIFY(openAfterKeys);
        QCOMPARE(State.ComPortNumber, qint16(2));
        QCOMPARE(Store.Writes, 0);
    }

    void withoutProbePortListsNothingAndOkCloses() {
        State.ComPortNumber = 4;
        FormComPort dialog(State, Store, nullptr);
        QCOMPARE(dialog.ComboComPort->count(), 0);

        QTimer::singleShot(0, &dialog,
                           [&] { QTest::mouseClick(dialog.CommandOk, Qt::LeftButton); });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QCOMPARE(State.ComPortNumber, qint16(4));
        QCOMPARE(Store.Writes, 0);
    }

private:
    VirtualScheduler Scheduler;
    ProcessState State;
    MemoryKeyValueBackend Store;
};

QTEST_MAIN(FormComPortTest)
#include "FormComPortTest.moc"
