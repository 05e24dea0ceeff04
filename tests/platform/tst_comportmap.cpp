// The COM port numbers and the devices behind them, on a store root and a
// device folder of the test's own, so that no device or link of this machine
// can decide a result.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "ComPortMap.h"

class ComPortMapTest : public QObject {
    Q_OBJECT
private slots:
    void numbersMapToTheirDevicesOrToNone_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("device");
        QTest::newRow("COM1") << 1 << "/devices/ttyS0";
        QTest::newRow("COM32") << 32 << "/devices/ttyS31";
        QTest::newRow("COM33") << 33 << "/devices/ttyUSB0";
        QTest::newRow("COM64") << 64 << "/devices/ttyUSB31";
        QTest::newRow("COM65") << 65 << "/devices/ttyACM0";
        QTest::newRow("COM96") << 96 << "/devices/ttyACM31";
        QTest::newRow("COM0") << 0 << "";
        QTest::newRow("COM97") << 97 << "";
        QTest::newRow("COM-1") << -1 << "";
        QTest::newRow("COM-32768") << -32768 << "";
        QTest::newRow("dangling link COM3") << 3 << "<root>/dosdevices/com3";
        QTest::newRow("former root's COM41") << 41 << "<former>/dosdevices/com41";
        QTest::newRow("store's COM40 before the former's") << 40 << "<root>/dosdevices/com40";
    }

    void numbersMapToTheirDevicesOrToNone() {
        QFETCH(int, port);
        QFETCH(QString, device);
        QTemporaryDir root;
        QTemporaryDir former;
        QVERIFY(QDir().mkpath(root.filePath("dosdevices")));
        QVERIFY(QDir().mkpath(former.filePath("dosdevices")));
        QVERIFY(QFile::link("/devices/ttyS7", root.filePath("dosdevices/com40")));
        QVERIFY(QFile::link(root.filePath("gone"), root.filePath("dosdevices/com3")));
        for (const int n : {40, 41}) {
            QVERIFY(QFile::link("/devices/ttyS8", former.filePath("dosdevices/com%1").arg(n)));
        }
        QCOMPARE(ComPortDeviceName(port, root.path(), "/devices", former.path()),
                 device.replace("<root>", root.path()).replace("<former>", former.path()));
    }
};

QTEST_GUILESS_MAIN(ComPortMapTest)
#include "tst_comportmap.moc"
