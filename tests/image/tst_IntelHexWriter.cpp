#include <QTest>
#include <random>

#include "HexText.h"
#include "IntelHexReader.h"
#include "IntelHexWriter.h"

using Stores = QList<QPair<int, QByteArray>>;

class IntelHexWriterTest : public QObject {
    Q_OBJECT
private slots:
    void buildsTheSaveFile_data();
    void buildsTheSaveFile();
    void fileReadBackLandsInTheUpperHalf();
};

void IntelHexWriterTest::buildsTheSaveFile_data() {
    QTest::addColumn<Stores>("stored");
    QTest::addColumn<QByteArray>("file");

    const QByteArray zeros31 = QByteArray(62, '0');
    QTest::newRow("all zero gives an empty file") << Stores{} << QByteArray();
    QTest::newRow("leading zeros of a block left out")
        << Stores{{0x013C, QByteArray::fromHex("0200FF1A")}}
        << QByteArray(":04813C000200FF1A24\n\r");
    QTest::newRow("last index only") << Stores{{0x7FFF, "\x5A"}} << QByteArray(":01FFFF005AA7\n\r");
    QTest::newRow("index 0 gives a whole block")
        << Stores{{0, "\x01"}} << ":2080000001" + zeros31 + "5F\n\r";
    QTest::newRow("inner and trailing zeros written")
        << Stores{{0x40, QByteArray::fromHex("110022")}}
        << ":20804000110022" + QByteArray(58, '0') + "ED\n\r";
    QTest::newRow("blocks in ascending order")
        << Stores{{0x1F, QByteArray::fromHex("0102")}}
        << ":01801F00015F\n\r:2080200002" + zeros31 + "3E\n\r";
    QTest::newRow("upper half never saved")
        << Stores{{0x8000, QByteArray(0x8000, '\x77')}} << QByteArray();
}

void IntelHexWriterTest::buildsTheSaveFile() {
    QFETCH(Stores, stored);
    auto state = std::make_unique<ProcessState>();
    for (const auto& [index, bytes] : stored) {
        std::copy(bytes.begin(), bytes.end(), state->FirmwareImage.begin() + index);
    }
    QTEST(BuildSaveFile(*state), "file");
}

void IntelHexWriterTest::fileReadBackLandsInTheUpperHalf() {
    std::mt19937 random(7);
    auto saved = std::make_unique<ProcessState>();
    for (int index = 0; index < 0x8000; ++index) {
        // Runs of zeros, so that some blocks are left out or start late.
        saved->FirmwareImage[index] = (index / 100) % 3 == 0 ? 0 : random() % 256;
    }
    saved->FirmwareImage[0x7FFF] = 0x01;
    const QByteArray file = BuildSaveFile(*saved);

    auto loaded = std::make_unique<ProcessState>();
    IntelHexReader reader(*loaded);
    for (const QByteArray& line : HexLines(file)) {
        QVERIFY2(reader.AnalyseHexLine(line), line.constData());
    }
    QVERIFY(std::all_of(loaded->FirmwareImage.begin(), loaded->FirmwareImage.begin() + 0x8000,
                        [](std::uint8_t byte) { return byte == 0; }));
    QVERIFY(std::equal(saved->FirmwareImage.begin(), saved->FirmwareImage.begin() + 0x8000,
                       loaded->FirmwareImage.begin() + 0x8000));
    QCOMPARE(loaded->ImageLowestAddress, 0x8000 + 100);  // indices 0 to 99 are zero
    QCOMPARE(loaded->ImageHighestAddress, 0xFFFF);
}

QTEST_APPLESS_MAIN(IntelHexWriterTest)
#include "tst_IntelHexWriter.moc"
