#include <QTest>
#include <cstring>
#include <random>

#include "HexText.h"
#include "IntelHexReader.h"

using Stores = QList<QPair<int, QByteArray>>;

namespace {

constexpr std::uint8_t Background = 0xEE;
constexpr int OldLowest = 0x1111;
constexpr int OldHighest = 0x2222;

QByteArray Bytes(int count, int first = 1) {
    QByteArray bytes;
    for (int i = 0; i < count; ++i) {
        bytes.append(static_cast<char>(first + i));
    }
    return bytes;
}

}  // namespace

class IntelHexReaderTest : public QObject {
    Q_OBJECT
private slots:
    void readOneByteAcceptsEitherCase();
    void linesChangeImageAndBoundsAsExpected_data();
    void linesChangeImageAndBoundsAsExpected();
    void randomAndMutatedLinesNeverReachOutsideTheirRecord();
};

void IntelHexReaderTest::readOneByteAcceptsEitherCase() {
    QCOMPARE(IntelHexReader::ReadOneByte("ff", 1), 255);
    QCOMPARE(IntelHexReader::ReadOneByte("FF", 1), 255);
    QCOMPARE(IntelHexReader::ReadOneByte("fF", 1), 255);
    QCOMPARE(IntelHexReader::ReadOneByte(":0a", 2), 10);
    QCOMPARE(IntelHexReader::ReadOneByte(":09", 4), 0);  // beyond the line
}

// Each row feeds its lines in order to a reader whose image holds a
// background byte and whose bounds hold old values, with FirstRecordPending
// set; it then checks every result, the bounds, FirstRecordPending and the
// whole image.
void IntelHexReaderTest::linesChangeImageAndBoundsAsExpected_data() {
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<QList<bool>>("results");
    QTest::addColumn<int>("lowest");
    QTest::addColumn<int>("highest");
    QTest::addColumn<bool>("pending");
    QTest::addColumn<Stores>("stored");

    const QByteArray example = ":04813C000200FF1A24";
    const Stores exampleStored{{0x813C, QByteArray::fromHex("0200FF1A")}};

    QTest::newRow("lines that are not records")
        << QList<QByteArray>{"", " " + example, "firmware 1.03"} << QList<bool>{true, true, true}
        << OldLowest << OldHighest << true << Stores{};
    QTest::newRow("zero-length records are accepted unchecked and reading goes on")
        << QList<QByteArray>{":00000001FF", ":00FFFF01AB", ":00", ":00zz", example}
        << QList<bool>{true, true, true, true, true} << 0x813C << 0x813F << false << exampleStored;
    QTest::newRow("first record sets both bounds from itself alone")
        << QList<QByteArray>{DataRecord(0x8000, Bytes(16))} << QList<bool>{true} << 0x8000 << 0x800F
        << false << Stores{{0x8000, Bytes(16)}};
    // The highest address rises to a record's last address only when the
    // record starts above it; one that starts at or below it leaves it, even
    // when it ends beyond it (the same lines are a seed of fuzz_hexline).
    QTest::newRow("later records lower the lowest, raise the highest only from above")
        << QList<QByteArray>{DataRecord(0x8000, Bytes(16)), DataRecord(0x9000, Bytes(2)),
                             DataRecord(0x7000, Bytes(4, 0x40)), DataRecord(0x9001, Bytes(4, 0x50)),
                             DataRecord(0x8FF0, Bytes(32, 0x60))}
        << QList<bool>{true, true, true, true, true} << 0x7000 << 0x9001 << false
        << Stores{{0x8000, Bytes(16)},
                  {0x9000, Bytes(2)},
                  {0x7000, Bytes(4, 0x40)},
                  {0x9001, Bytes(4, 0x50)},
                  {0x8FF0, Bytes(32, 0x60)}};
    QTest::newRow("wrong check byte: false, yet bytes stored and bounds moved")
        << QList<QByteArray>{":04813C000200FF1A25"} << QList<bool>{false} << 0x813C << 0x813F
        << false << exampleStored;
    QTest::newRow("lower case, and characters after the check byte are ignored")
        << QList<QByteArray>{":04813c000200ff1a24 \r\n", ":04813C000200Ff1A24xyz"}
        << QList<bool>{true, true} << 0x813C << 0x813F << false << exampleStored;
    QTest::newRow("record of 255 bytes is read whole")
        << QList<QByteArray>{DataRecord(0x0100, Bytes(255))} << QList<bool>{true} << 0x0100
        << 0x01FE << false << Stores{{0x0100, Bytes(255)}};
    QTest::newRow("record ending at the last address")
        << QList<QByteArray>{":01FFFF005AA7"} << QList<bool>{true} << 0xFFFF << 0xFFFF << false
        << Stores{{0xFFFF, QByteArray("\x5A")}};
    QTest::newRow("address records with zero base and start records store nothing")
        << QList<QByteArray>{":020000040000FA", ":020000020000FC", ":0400000300000000F9",
                             ":040000050000800077", ":0100000100FE"}
        << QList<bool>{true, true, true, true, true} << OldLowest << OldHighest << true << Stores{};

    // Each of these is rejected and changes nothing at all.
    const QList<QByteArray> rejected{
        ":",
        ":0",
        ":G4813C000200FF1A24",
        ":04813G000200FF1A24",
        ":04813C0G0200FF1A24",
        ":04813C000200FX1A24",
        ":04813C000200FF1A2 ",
        ":04813C000200FF1A2",
        ":04813C000200FF",
        DataRecord(0xFFFF, Bytes(2)),
        DataRecord(0xFF02, Bytes(255)),
        HexRecord(6, 0, Bytes(2)),
        HexRecord(0xFF, 0, Bytes(2)),
        ":020000021000EC",  // non-zero segment base
        ":020000040001F9",  // non-zero upper linear address
        ":020000040000FB",
        ":0400000500008000FF",
        ":0100000100FF",  // wrong check bytes
    };
    for (const QByteArray& line : rejected) {
        QTest::newRow("rejected " + line) << QList<QByteArray>{line} << QList<bool>{false}
                                          << OldLowest << OldHighest << true << Stores{};
    }
}

void IntelHexReaderTest::linesChangeImageAndBoundsAsExpected() {
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QList<bool>, results);
    QFETCH(Stores, stored);

    ProcessState state;
    state.FirmwareImage.fill(Background);
    state.ImageLowestAddress = OldLowest;
    state.ImageHighestAddress = OldHighest;
    IntelHexReader reader(state);
    QList<bool> got;
    for (const QByteArray& line : lines) {
        got.append(reader.AnalyseHexLine(line));
    }

    QCOMPARE(got, results);
    QTEST(int(state.ImageLowestAddress), "lowest");
    QTEST(int(state.ImageHighestAddress), "highest");
    QTEST(reader.FirstRecordPending, "pending");
    auto expected = std::make_unique<std::array<std::uint8_t, ImageSize>>();
    expected->fill(Background);
    for (const auto& [address, bytes] : stored) {
        std::memcpy(expected->data() + address, bytes.constData(), bytes.size());
    }
    for (int address = 0; address < ImageSize; ++address) {
        if (state.FirmwareImage[address] != (*expected)[address]) {
            QFAIL(qPrintable(QStringLiteral("image byte 0x%1 is %2, not %3")
                                 .arg(address, 4, 16)
                                 .arg(state.FirmwareImage[address])
                                 .arg((*expected)[address])));
        }
    }
}

// Lines made at random and by mutating good records: only a well-formed data
// record may change anything, and then only its own bytes and the bounds.
void IntelHexReaderTest::randomAndMutatedLinesNeverReachOutsideTheirRecord() {
    std::mt19937 random(20240607);
    auto below = [&random](int n) { return static_cast<int>(random() % n); };
    const QByteArray alphabet = "0123456789ABCDEFabcdef:G /\r\n\x7F\xFF";

    ProcessState state;
    for (auto& byte : state.FirmwareImage) {
        byte = static_cast<std::uint8_t>(below(256));
    }
    IntelHexReader reader(state);
    auto before = std::make_unique<ProcessState>();

    for (int round = 0; round < 20000; ++round) {
        QByteArray data;
        for (int i = 0, n = below(4) == 0 ? below(256) : below(33); i < n; ++i) {
            data.append(static_cast<char>(below(256)));
        }
        QByteArray line = HexRecord(below(8) == 0 ? below(8) : 0, below(0x10000), data,
                                    below(4) == 0 ? below(256) : 0);
        switch (below(5)) {
            case 0:  // a character replaced
                line[below(line.size())] = alphabet[below(alphabet.size())];
                break;
            case 1:  // cut short
                line.truncate(below(line.size()));
                break;
            case 2:  // lower case
                line = line.toLower();
                break;
            case 3:  // random text
                line.resize(below(80));
                for (char& c : line) {
                    c = alphabet[below(alphabet.size())];
                }
                break;
            default:
                break;
        }
        reader.FirstRecordPending = below(2) == 0;
        *before = state;
        const bool pendingBefore = reader.FirstRecordPending;
        const bool result = reader.AnalyseHexLine(line);

        // Is it a well-formed data record? Then take its address and bytes.
        auto hexText = [&line](int from, int count) {
            bool hex = line.size() >= from + count;
            for (int i = from; hex && i < from + count; ++i) {
                hex = std::isxdigit(static_cast<unsigned char>(line[i])) != 0;
            }
            return hex;
        };
        const int length =
            line.startsWith(':') && hexText(1, 2) ? line.mid(1, 2).toInt(nullptr, 16) : 0;
        const QByteArray bytes = length > 0 && hexText(1, 2 * (5 + length))
                                     ? QByteArray::fromHex(line.mid(1, 2 * (5 + length)))
                                     : QByteArray();
        const int address = bytes.isEmpty() ? 0
                                            : static_cast<unsigned char>(bytes[1]) * 256 +
                                                  static_cast<unsigned char>(bytes[2]);
        const bool wellFormed = !bytes.isEmpty() && bytes[3] == 0 && address + length <= ImageSize;

        if (!wellFormed) {
            QVERIFY2(state.FirmwareImage == before->FirmwareImage, line.constData());
            QVERIFY2(state.ImageLowestAddress == before->ImageLowestAddress, line.constData());
            QVERIFY2(state.ImageHighestAddress == before->ImageHighestAddress, line.constData());
            QVERIFY2(reader.FirstRecordPending == pendingBefore, line.constData());
            continue;
        }
        int sum = 0;
        for (int i = 0; i < 5 + length; ++i) {
            sum += static_cast<unsigned char>(bytes[i]);
        }
        QVERIFY2(result == (sum % 256 == 0), line.constData());
        QVERIFY2(
            std::memcmp(state.FirmwareImage.data() + address, bytes.constData() + 4, length) == 0,
            line.constData());
        QVERIFY2(
            std::memcmp(state.FirmwareImage.data(), before->FirmwareImage.data(), address) == 0 &&
                std::memcmp(state.FirmwareImage.data() + address + length,
                            before->FirmwareImage.data() + address + length,
                            ImageSize - address - length) == 0,
            line.constData());
        QVERIFY(!reader.FirstRecordPending);
    }
}

QTEST_APPLESS_MAIN(IntelHexReaderTest)
#include "tst_IntelHexReader.moc"
