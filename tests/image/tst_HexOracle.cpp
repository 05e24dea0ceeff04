// Checks the reader and the writer against srec_cat (Debian's srecord), an
// independent Intel HEX implementation.

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <random>

#include "HexText.h"
#include "IntelHexReader.h"
#include "IntelHexWriter.h"

// The first index at which bytes and image differ, or -1.
static int FirstDifference(const QByteArray& bytes, const std::uint8_t* image) {
    const auto at = std::mismatch(bytes.begin(), bytes.end(), image,
                                  [](char a, std::uint8_t b) { return std::uint8_t(a) == b; });
    return at.first == bytes.end() ? -1 : int(at.first - bytes.begin());
}

class HexOracleTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void readerLoadsWhatSrecCatExtracts();
    void srecCatReadsTheSaveFile();

private:
    // Runs srec_cat with arguments in the temporary folder and returns the
    // binary file it wrote there.
    QByteArray SrecCat(const QByteArray& hexFile, const QStringList& arguments);

    QString SrecCatPath;
    QTemporaryDir Folder;
    std::mt19937 Random{1234};
};

void HexOracleTest::initTestCase() {
    SrecCatPath = QStandardPaths::findExecutable("srec_cat");
    if (SrecCatPath.isEmpty()) {
#ifdef FW_REQUIRE_SREC_CAT
        QFAIL("srec_cat is missing although this build requires it: run scripts/install-deps");
#else
        QSKIP("srec_cat is not installed (Debian package srecord): nothing to compare with");
#endif
    }
    QVERIFY(Folder.isValid());
}

QByteArray HexOracleTest::SrecCat(const QByteArray& hexFile, const QStringList& arguments) {
    QFile in(Folder.filePath("in.hex"));
    if (!in.open(QIODevice::WriteOnly) || in.write(hexFile) != hexFile.size()) {
        return {};
    }
    in.close();
    QFile::remove(Folder.filePath("out.bin"));
    QProcess process;
    process.setWorkingDirectory(Folder.path());
    process.start(SrecCatPath, QStringList{"in.hex", "-Intel"} + arguments +
                                   QStringList{"-o", "out.bin", "-Binary"});
    if (!process.waitForFinished(30000) || process.exitCode() != 0) {
        qWarning() << "srec_cat failed:" << process.readAllStandardError();
        return {};
    }
    QFile out(Folder.filePath("out.bin"));
    return out.open(QIODevice::ReadOnly) ? out.readAll() : QByteArray();
}

// Files with gaps, records out of order, lower and upper case, records of 0
// to 255 bytes, address records with a zero base, start address records, and
// an end-of-file record.
void HexOracleTest::readerLoadsWhatSrecCatExtracts() {
    auto below = [this](int n) { return static_cast<int>(Random() % n); };
    for (int round = 0; round < 10; ++round) {
        QList<QByteArray> lines{":020000040000FA", ":020000020000FC", ":0400000300001234B3",
                                ":040000050000800077"};
        for (int address = below(300); address < 0x10000; address += below(4) ? 0 : below(600)) {
            const int length = std::min(below(5) ? below(256) : below(33), 0x10000 - address);
            QByteArray data;
            for (int i = 0; i < length; ++i) {
                data.append(static_cast<char>(below(256)));
            }
            lines.append(DataRecord(address, data));
            address += length;
        }
        std::shuffle(lines.begin(), lines.end(), Random);
        for (QByteArray& line : lines) {
            if (below(2)) {
                line = line.toLower();
            }
        }
        lines.append(":00000001FF");

        auto state = std::make_unique<ProcessState>();
        state->FirmwareImage.fill(0xA5);
        IntelHexReader reader(*state);
        for (const QByteArray& line : lines) {
            QVERIFY2(reader.AnalyseHexLine(line), line.constData());
        }
        const QByteArray expected =
            SrecCat(lines.join("\r\n") + "\r\n", {"-fill", "0xA5", "0", "0x10000"});
        QCOMPARE(expected.size(), ImageSize);
        QCOMPARE(FirstDifference(expected, state->FirmwareImage.data()), -1);
    }
}

void HexOracleTest::srecCatReadsTheSaveFile() {
    auto state = std::make_unique<ProcessState>();
    for (int index = 0; index < ImageSize; ++index) {
        state->FirmwareImage[index] = (index / 77) % 4 == 0 ? 0 : Random() % 256;
    }
    // srec_cat takes the CR that begins each following line for garbage and
    // drops that line, so the LF CR line ends are turned into LF first.
    const QByteArray file = BuildSaveFile(*state).replace("\n\r", "\n");
    const QByteArray bytes =
        SrecCat(file, {"-fill", "0x00", "0x8000", "0x10000", "-offset", "-0x8000"});
    QCOMPARE(bytes.size(), 0x8000);
    QCOMPARE(FirstDifference(bytes, state->FirmwareImage.data()), -1);
}

QTEST_GUILESS_MAIN(HexOracleTest)
#include "tst_HexOracle.moc"
