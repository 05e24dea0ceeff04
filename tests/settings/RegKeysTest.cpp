#include <QTest>

#include "Fakes.h"
#include "RegKeys.h"

namespace {

const QString KeyPath = QStringLiteral("SoftWare\\Acme\\Update");
const QString Name = QStringLiteral("ComPort");

std::string Dword(std::uint32_t number) {
    std::string bytes(4, '\0');
    for (int b = 0; b < 4; ++b) {
        bytes[b] = static_cast<char>((number >> (8 * b)) & 0xFF);
    }
    return bytes;
}

}  // namespace

class RegKeysTest : public QObject {
    Q_OBJECT
private slots:
    void writeCreatesKeyAndStoresTextWithoutTerminator() {
        MemoryKeyValueBackend store;
        RegKeys keys(store);
        QVERIFY(keys.SetKeyValue(HkeyLocalMachine, KeyPath, Name, QStringLiteral("12")));

        const auto& stored = store.Keys.at(KeyPath.toStdString()).at(Name.toStdString());
        QCOMPARE(stored.Type, RegTypeString);
        QCOMPARE(stored.Data, std::string("12"));
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, Name), QStringLiteral("12"));
    }

    void readOfMissingKeyOrValueIsEmptyAndCreatesNothing() {
        MemoryKeyValueBackend store;
        RegKeys keys(store);
        QVERIFY(keys.GetKeyValue(HkeyLocalMachine, KeyPath, Name).isEmpty());
        QVERIFY(store.Keys.empty());

        store.Keys[KeyPath.toStdString()]["Other"] = {RegTypeString, "1"};
        QVERIFY(keys.GetKeyValue(HkeyLocalMachine, KeyPath, Name).isEmpty());
        QCOMPARE(store.Keys.size(), std::size_t(1));
        QCOMPARE(store.Keys.begin()->second.size(), std::size_t(1));
    }

    void readByType_data() {
        QTest::addColumn<uint>("type");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("expected");
        auto bytes = [](const std::string& s) {
            return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
        };
        QTest::newRow("string") << uint(RegTypeString) << QByteArray("5") << "5";
        QTest::newRow("expandable string, not expanded")
            << uint(RegTypeExpandString) << QByteArray("%PORT%5") << "%PORT%5";
        QTest::newRow("embedded NUL cuts") << uint(RegTypeString)
                                           << bytes(std::string("12\0"
                                                                "34",
                                                                5))
                                           << "12";
        QTest::newRow("empty string") << uint(RegTypeString) << QByteArray() << "";
        QTest::newRow("binary") << uint(RegTypeBinary) << QByteArray("5") << "";
        QTest::newRow("multi-string")
            << uint(RegTypeMultiString) << bytes(std::string("5\0\0", 3)) << "";
        QTest::newRow("none") << uint(RegTypeNone) << QByteArray("5") << "";
        QTest::newRow("number 258") << uint(RegTypeDword) << bytes(Dword(258)) << "&h102";
        QTest::newRow("number 26") << uint(RegTypeDword) << bytes(Dword(26)) << "&h1A";
        QTest::newRow("number 0") << uint(RegTypeDword) << bytes(Dword(0)) << "&h0";
        QTest::newRow("largest number")
            << uint(RegTypeDword) << bytes(Dword(0xFFFFFFFFu)) << "&hFFFFFFFF";
    }
    void readByType() {
        QFETCH(uint, type);
        QFETCH(QByteArray, data);
        QFETCH(QString, expected);
        MemoryKeyValueBackend store;
        store.Keys[KeyPath.toStdString()][Name.toStdString()] = {
            type, std::string(data.constData(), static_cast<std::size_t>(data.size()))};
        QCOMPARE(RegKeys(store).GetKeyValue(HkeyLocalMachine, KeyPath, Name), expected);
    }

    void valueMustLeaveRoomForTerminator() {
        MemoryKeyValueBackend store;
        RegKeys keys(store);
        const std::string fits(RegKeys::ReadBufferSize - 1, '7');
        store.Keys[KeyPath.toStdString()][Name.toStdString()] = {RegTypeString, fits};
        QCOMPARE(keys.GetKeyValue(HkeyLocalMachine, KeyPath, Name), QString::fromStdString(fits));

        const std::string full(RegKeys::ReadBufferSize, '7');
        store.Keys[KeyPath.toStdString()][Name.toStdString()] = {RegTypeString, full};
        QVERIFY(keys.GetKeyValue(HkeyLocalMachine, KeyPath, Name).isEmpty());

        store.Keys[KeyPath.toStdString()][Name.toStdString()] = {RegTypeString, full + "7"};
        QVERIFY(keys.GetKeyValue(HkeyLocalMachine, KeyPath, Name).isEmpty());
    }
};

QTEST_GUILESS_MAIN(RegKeysTest)
#include "RegKeysTest.moc"
