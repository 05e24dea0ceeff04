// The program as the operator uses it, in-process and offscreen, with the
// real Qt platform parts and the simulated device on a pseudo-terminal: the
// buttons are clicked, the modal windows answered, and what reaches the
// device (and the files) is checked.

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "Form1.h"
#include "FormComPort.h"
#include "HexText.h"
#include "IntelHexReader.h"
#include "ModalAnswerer.h"
#include "RandomBytes.h"
#include "SimulatedDevice.h"

namespace {

constexpr int DeviceCom = 5;

}  // namespace

class OperatorFlowsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> Store;
    std::unique_ptr<QTemporaryDir> Folder;
    std::unique_ptr<SimulatedDevice> Device;
    ProcessState State;

    void Put(const QString& name, const QByteArray& content) {
        QFile file(Folder->filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    void StoreComPort(int n) {
        QDir().mkpath(Store->filePath("SoftWare/Vendor"));
        QFile file(Store->filePath("SoftWare/Vendor/Update.reg"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("\"ComPort\"=\"%1\"\n").arg(n).toLatin1());
    }

    QByteArray StoredFile() {
        QFile file(Store->filePath("SoftWare/Vendor/Update.reg"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void init() {
        Store = std::make_unique<QTemporaryDir>();
        Folder = std::make_unique<QTemporaryDir>();
        qputenv("FWLOADER_STORE_ROOT", QFile::encodeName(Store->path()));
        Device = std::make_unique<SimulatedDevice>();
        QString error;
        QVERIFY2(
            Device->Start(&error) && Device->PublishAsComPort(DeviceCom, Store->path(), &error),
            qPrintable(error));
        Device->SetModel(1, 2, 3);
        Put("Config.txt", "1:2:3\r\nVendor\r\nTitle\r\n");
        StoreComPort(DeviceCom);
        State = ProcessState{};
    }

    void cleanup() {
        Device.reset();
        QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
    }

    void updateWritesTheFirmwareBetweenItsBounds() {
        const QByteArray firmware = RandomBytes(3000, 1);
        Put("Board_2.15.hex", HexFile(0x8010, firmware, 16));
        Device->FillMemory(0x00);
        Form1 window(State, Folder->path());
        QVERIFY(window.Load());
        window.show();
        ModalAnswerer answerer;

        window.Command1->click();

        QCOMPARE(answerer.Texts(), QStringList{"Successful"});
        QCOMPARE(answerer.Boxes[0].Title, QStringLiteral("Title"));
        QCOMPARE(Device->Memory().mid(0x8010, firmware.size()), firmware);
        // The first block is erased whole and keeps the pre-fill pattern
        // below the firmware; nothing outside the written blocks is touched.
        QCOMPARE(static_cast<quint8>(Device->Memory()[0x8000]), quint8(0xFF));
        QCOMPARE(static_cast<quint8>(Device->Memory()[0x7FFF]), quint8(0x00));
        QCOMPARE(Device->Memory().mid(0x8010 + 3000, 8), QByteArray(8, char(0xFF)));
        QCOMPARE(Device->LastConnect(), QByteArray::fromHex("5582010203020fda"));
        QCOMPARE(Device->LastApplicationAddress(), 0x8010);
        QCOMPARE(Device->Counters().BlocksRefused, 0);
        QVERIFY(!State.SessionModeUpdate);
    }

    void reservedNamesChooseTheFileAndItsVersion() {
        const QStringList names = {"TempFile_1.00.hex", "TempFile_1.01.hex", "TempFile_1.02.hex",
                                   "TempFile_1.03.hex", "TempFile_1.04.hex", "TempFile_1.05.hex"};
        for (int k = 0; k < names.size(); ++k) {
            Put(names[k], HexFile(0x4000, QByteArray(64, char(0xA0 + k)), 16));
        }
        Form1 window(State, Folder->path());
        QVERIFY(window.Load());
        ModalAnswerer answerer;
        window.Command1->click();
        QCOMPARE(answerer.Texts(), QStringList{"Successful"});
        QCOMPARE(Device->Memory().mid(0x4000, 64), QByteArray(64, char(0xA3)));
        QCOMPARE(Device->LastConnect().mid(5, 2), QByteArray::fromHex("0103"));
    }

    void unusableFirmwareSendsNothing_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");
        QTest::newRow("no firmware file") << "" << QByteArray() << "无升级文件";
        QTest::newRow("rejected line")
            << "A_1.0.hex" << QByteArray(":0100000041BF\r\n") << "文档有误";
    }

    void unusableFirmwareSendsNothing() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        if (!name.isEmpty()) {
            Put(name, content);
        }
        Form1 window(State, Folder->path());
        QVERIFY(window.Load());
        ModalAnswerer answerer;
        window.Command1->click();
        QCOMPARE(answerer.Texts(), QStringList{message});
        QTest::qWait(50);
        QCOMPARE(Device->Counters().Exchanges, 0);
        for (const TrafficRecord& record : Device->Traffic()) {
            QVERIFY2(record.Dir != TrafficRecord::Direction::In, "a byte reached the device");
        }
    }

    void readThenSaveWritesTheDeviceMemory() {
        Device->SetMemory(RandomBytes(0x10000, 2));
        const QByteArray lowerHalf = Device->Memory().left(0x8000);
        Form1 window(State, Folder->path());
        QVERIFY(window.Load());
        ModalAnswerer answerer;
        window.CommandRead->click();
        QCOMPARE(answerer.Texts(), QStringList{"读取成功"});
        QCOMPARE(Device->LastApplicationAddress(), 0x9000);

        answerer.SavePath = Folder->filePath("saved.hex");
        window.CommandSave->click();
        QCOMPARE(answerer.Texts(), QStringList{"读取成功"});  // no message on success
        QFile saved(answerer.SavePath);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray text = saved.readAll();
        QVERIFY(text.endsWith("\n\r"));

        // Read back, the file puts the device's 0x0000..0x7FFF at 0x8000..0xFFFF.
        ProcessState readBack;
        IntelHexReader reader(readBack);
        for (const QByteArray& line : text.split('\n')) {
            QVERIFY(reader.AnalyseHexLine(line.startsWith('\r') ? line.mid(1) : line));
        }
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(readBack.FirmwareImage.data()) + 0x8000,
                            0x8000),
                 lowerHalf);
    }

    void portDialogListsTheDevicesAndStoresTheChoice() {
        SimulatedDevice second;
        QVERIFY(second.Start() && second.PublishAsComPort(2, Store->path()));
        // Every other port number leads nowhere, whatever this machine has.
        for (int n = 1; n <= 99; ++n) {
            if (n != 2 && n != DeviceCom) {
                QFile::link("/nonexistent/fwloader-test",
                            Store->filePath(QStringLiteral("dosdevices/com%1").arg(n)));
            }
        }
        Form1 window(State, Folder->path());
        QVERIFY(window.Load());
        QCOMPARE(State.ComPortNumber, std::int16_t(DeviceCom));
        ModalAnswerer answerer;

        QStringList listed;
        QString preselected;
        answerer.OtherWindow = [&](QWidget* modal) {
            auto* dialog = static_cast<FormComPort*>(modal);
            listed.clear();
            for (int i = 0; i < dialog->ComboComPort->count(); ++i) {
                listed << dialog->ComboComPort->itemText(i);
            }
            preselected = dialog->ComboComPort->currentText();
            dialog->ComboComPort->setCurrentIndex(0);
            dialog->CommandOk->click();
        };
        window.CommandCom->click();
        QCOMPARE(listed, (QStringList{"COM2", "COM5"}));
        QCOMPARE(preselected, QStringLiteral("COM5"));
        QCOMPARE(State.ComPortNumber, std::int16_t(2));
        QVERIFY(StoredFile().contains("\"ComPort\"=\"2\""));

        answerer.OtherWindow = [&](QWidget* modal) {
            auto* dialog = static_cast<FormComPort*>(modal);
            preselected = dialog->ComboComPort->currentText();
            dialog->ComboComPort->setCurrentIndex(1);
            dialog->CommandCancel->click();
        };
        window.CommandCom->click();
        QCOMPARE(preselected, QStringLiteral("COM2"));
        QCOMPARE(State.ComPortNumber, std::int16_t(2));
        QVERIFY(StoredFile().contains("\"ComPort\"=\"2\""));
    }
};

QTEST_MAIN(OperatorFlowsTest)
#include "tst_operatorflows.moc"
