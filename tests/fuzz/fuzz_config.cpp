// The Config.txt item reader and the start-up conversions on arbitrary bytes.
//
// Input: a flags byte (bit 0: Config.txt cannot be read; bit 1: the stored
// "ComPort" is a 32-bit number value; bit 2: nothing is stored), a byte L,
// then the content of Config.txt, whose last L bytes are also the stored
// "ComPort" value.
//
// Checked: ItemReader always moves on and, for text without double quotes,
// gives exactly the pieces between delimiters; ParseByteText and
// ConvertComPortText agree with the number rules written out afresh below;
// Form_Load shows the window exactly when the file holds three items and
// three model bytes, and then sets every setting from them and the store.

#include <QRegularExpression>
#include <QStringList>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "Conversions.h"
#include "Fakes.h"
#include "FuzzInput.h"
#include "ItemReader.h"
#include "MainActions.h"

namespace {

const QString Folder = QStringLiteral("/program");

class RecordingView : public MainView {
public:
    void SetCaption(const QString& caption) override {
        Caption = caption;
        ++Captions;
    }
    void SetVersionLabel(const QString& text) override { VersionLabel = text; }
    void ShowSessionWindow() override { FUZZ_CHECK(false, "start-up shows no session window"); }
    void ShowPortDialog() override { FUZZ_CHECK(false, "start-up shows no port dialog"); }
    QString Caption;
    int Captions = 0;
    QString VersionLabel;
};

// A store that holds at most one "ComPort" value, whatever the key, and
// records every key it is asked for.
class OneValueStore : public KeyValueBackend {
public:
    bool SetStringValue(std::uint32_t, const std::string&, const std::string&,
                        const std::string&) override {
        FUZZ_CHECK(false, "start-up writes nothing to the store");
        return false;
    }
    Query QueryValue(std::uint32_t root, const std::string& keyPath, const std::string& valueName,
                     std::size_t bufferSize) override {
        Asked.push_back(keyPath);
        FUZZ_CHECK(root == HkeyLocalMachine && valueName == "ComPort", "unexpected query");
        Query q;
        if (Stored && Data.size() <= bufferSize) {
            q.Found = true;
            q.Type = Type;
            q.Data = Data;
        }
        return q;
    }
    bool Stored = false;
    std::uint32_t Type = RegTypeString;
    std::string Data;
    std::vector<std::string> Asked;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

QByteArray TrimBlanks(QByteArray s) {
    while (!s.isEmpty() && IsBlank(s.front())) {
        s.remove(0, 1);
    }
    while (!s.isEmpty() && IsBlank(s.back())) {
        s.chop(1);
    }
    return s;
}

// Items of text without double quotes: every line end becomes one LF, then
// the text is cut at every comma and LF; a delimiter at the very end starts
// no further item.
QList<QByteArray> UnquotedItems(QByteArray content) {
    if (content.isEmpty()) {
        return {};
    }
    content.replace("\r\n", "\n").replace('\r', '\n').replace(',', '\n');
    QList<QByteArray> pieces = content.split('\n');
    if (content.endsWith('\n')) {
        pieces.removeLast();
    }
    for (QByteArray& piece : pieces) {
        piece = TrimBlanks(piece);
    }
    return pieces;
}

QList<QByteArray> ReadAllItems(const QByteArray& content) {
    ItemReader reader(content);
    QList<QByteArray> items;
    QByteArray item;
    while (reader.ReadItem(item)) {
        items << item;
        FUZZ_CHECK(items.size() <= content.size(), "the reader does not move on");
    }
    FUZZ_CHECK(reader.AtEnd() && !reader.ReadItem(item), "reading past the end must fail");
    return items;
}

// Returns the items, which the check of start-up uses again.
QList<QByteArray> CheckItemReader(const QByteArray& content) {
    QList<QByteArray> items = ReadAllItems(content);
    for (const QByteArray& item : items) {
        FUZZ_CHECK(content.contains(item), "an item that is not part of the text");
    }
    if (!content.contains('"')) {
        FUZZ_CHECK(items == UnquotedItems(content), "items differ from the delimited pieces");
    }
    return items;
}

// A decimal whole number from 0 to 255, blanks around it allowed.
bool ExpectedByte(QStringView text, int& value) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first].isSpace()) {
        ++first;
    }
    while (last > first && text[last - 1].isSpace()) {
        --last;
    }
    if (first == last) {
        return false;
    }
    value = 0;
    for (qsizetype i = first; i < last; ++i) {
        if (text[i] < u'0' || text[i] > u'9') {
            return false;
        }
        value = std::min(value * 10 + (text[i].unicode() - u'0'), 1000);
    }
    return value <= 255;
}

void CheckParseByteText(QStringView text) {
    std::uint8_t out = 77;
    int value = 0;
    const bool expected = ExpectedByte(text, value);
    const bool got = ParseByteText(text, out);
    FUZZ_CHECK(got == expected, "ParseByteText(\"%s\") gives %d", qPrintable(text.toString()), got);
    FUZZ_CHECK(got ? out == value : out == 77, "ParseByteText(\"%s\") stores %d",
               qPrintable(text.toString()), out);
}

// The stored port text as a number: blanks, tabs and LFs dropped; "&h" and
// hexadecimal digits, or the longest leading decimal number (0 if none);
// rounded half to even; empty when it does not fit 16 bits.
std::optional<int> ExpectedPort(const QString& text) {
    QString s = text;
    s.remove(u' ').remove(u'\t').remove(u'\n');
    double number = 0;
    if (s.startsWith(QStringLiteral("&h"), Qt::CaseInsensitive)) {
        for (qsizetype i = 2; i < s.size(); ++i) {
            const int digit = QStringLiteral("0123456789abcdef").indexOf(s[i].toLower());
            if (digit < 0 || s[i].unicode() > 127) {
                break;
            }
            number = number * 16 + digit;
        }
    } else {
        static const QRegularExpression leading(
            QStringLiteral("^[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eEdD][+-]?[0-9]+)?"));
        const QRegularExpressionMatch m = leading.match(s);
        if (m.hasMatch()) {
            QByteArray latin = m.captured(0).toLatin1();
            latin.replace('d', 'e').replace('D', 'e');
            number = std::strtod(latin.constData(), nullptr);
        }
    }
    if (!std::isfinite(number)) {
        return std::nullopt;
    }
    const double rounded = std::nearbyint(number);
    if (rounded < -32768.0 || rounded > 32767.0) {
        return std::nullopt;
    }
    return static_cast<int>(rounded);
}

void CheckConvertComPortText(const QString& text) {
    std::int16_t out = 777;
    const bool got = ConvertComPortText(text, out);
    const std::optional<int> expected = ExpectedPort(text);
    FUZZ_CHECK(got == expected.has_value(), "ConvertComPortText(\"%s\") gives %d", qPrintable(text),
               got);
    FUZZ_CHECK(got ? out == *expected : out == 777, "ConvertComPortText(\"%s\") stores %d",
               qPrintable(text), out);
}

// What RegKeys makes of the stored value.
QString StoredText(const OneValueStore& store) {
    if (!store.Stored || store.Data.size() >= 1024) {
        return {};
    }
    if (store.Type == RegTypeDword) {
        std::uint32_t n = 0;
        for (int b = 3; b >= 0; --b) {
            n = (n << 8) |
                static_cast<unsigned char>(b < int(store.Data.size()) ? store.Data[b] : 0);
        }
        return QStringLiteral("&h") + QString::number(n, 16).toUpper();
    }
    return QString::fromLocal8Bit(QByteArray(store.Data.c_str()));
}

void CheckFormLoad(const QByteArray& content, const QList<QByteArray>& allItems, bool unreadable,
                   const OneValueStore& stored) {
    // One state for every input, its start-up values set afresh: a new one
    // would zero its 64 KiB image each time, which start-up never touches.
    static auto fresh = std::make_unique<ProcessState>();
    ProcessState& state = *fresh;
    state.ModelId = {};
    state.ComPortNumber = 0;
    state.AppTitle.clear();
    state.SettingsKeyPath.clear();
    state.EnglishUi = false;
    MemoryFileSystem files;
    const QString configPath = Folder + QStringLiteral("/Config.txt");
    files.Files[configPath] = content;
    if (unreadable) {
        files.Unreadable.insert(configPath);
    }
    OneValueStore store = stored;
    ScriptedMessageBoxes messages;
    ScriptedFileDialogs dialogs;
    RecordingView view;
    int reported = 0;
    MainServices services{state,
                          files,
                          store,
                          messages,
                          dialogs,
                          Folder,
                          [&reported](const QString&) { ++reported; }};
    MainActions actions(services, view);
    const bool shown = actions.Form_Load();

    // What the file allows.
    QList<QByteArray> items = unreadable ? QList<QByteArray>{} : allItems;
    bool usable = !unreadable && items.size() >= 3;
    items.resize(3);
    const QString model = QString::fromLocal8Bit(items[0]);
    const QStringList parts = model.split(u':');
    std::array<std::uint8_t, 3> modelId{};
    for (int k = 0; k < 3; ++k) {
        int value = 0;
        if (k < parts.size() && ExpectedByte(parts[k], value)) {
            modelId[k] = static_cast<std::uint8_t>(value);
        } else {
            usable = false;
        }
    }
    const QString title = QString::fromLocal8Bit(items[2]);
    const QString appTitle = title.isEmpty() ? QStringLiteral("Update") : title;
    const QString keyPath = QStringLiteral("SoftWare\\") + QString::fromLocal8Bit(items[1]) +
                            QStringLiteral("\\Update");

    FUZZ_CHECK(shown == usable, "Form_Load gives %d", shown);
    FUZZ_CHECK(state.AppTitle == appTitle && view.Caption == appTitle && view.Captions == 1,
               "title \"%s\"", qPrintable(state.AppTitle));
    FUZZ_CHECK(state.SettingsKeyPath == keyPath, "key path \"%s\"",
               qPrintable(state.SettingsKeyPath));
    if (!unreadable) {
        FUZZ_CHECK(state.ModelId == modelId, "model bytes %d %d %d", state.ModelId[0],
                   state.ModelId[1], state.ModelId[2]);
    }
    if (shown) {
        FUZZ_CHECK(store.Asked.size() == 1 && store.Asked[0] == keyPath.toLocal8Bit().toStdString(),
                   "the store is read once, under the settings key");
        const QString text = StoredText(store);
        std::int16_t port = 0;
        if (text.isEmpty()) {
            port = 1;
        } else {
            ConvertComPortText(text, port);
        }
        FUZZ_CHECK(state.ComPortNumber == port, "port %d, expected %d", state.ComPortNumber, port);
        FUZZ_CHECK(state.EnglishUi && view.VersionLabel == QStringLiteral("Version:1.0.0"),
                   "English texts and the version label");
        FUZZ_CHECK(messages.Log.isEmpty() && reported == 0 && actions.StartupProblem().isEmpty(),
                   "a usable Config.txt shows no message");
    } else {
        FUZZ_CHECK(store.Asked.empty() && state.ComPortNumber == 0 && !state.EnglishUi &&
                       view.VersionLabel.isEmpty(),
                   "nothing is done after an unusable Config.txt");
        FUZZ_CHECK(messages.Log.size() == 1 && reported == 1 &&
                       messages.Log[0].Text == actions.StartupProblem() &&
                       !actions.StartupProblem().isEmpty(),
                   "an unusable Config.txt is reported once");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const std::uint8_t flags = input.Byte();
    const std::size_t sliceLength = input.Byte();
    const QByteArray content = input.Rest();
    const QByteArray slice = content.right(static_cast<qsizetype>(sliceLength));

    const QList<QByteArray> items = CheckItemReader(content);
    const QString text = QString::fromLocal8Bit(content);
    CheckParseByteText(text);
    for (const QString& part : text.split(u':')) {
        CheckParseByteText(part);
    }
    CheckConvertComPortText(text);
    CheckConvertComPortText(QString::fromLocal8Bit(slice));
    CheckConvertComPortText(QString::fromLatin1(slice));

    OneValueStore store;
    store.Stored = (flags & 4) == 0;
    store.Type = (flags & 2) != 0 ? RegTypeDword : RegTypeString;
    store.Data = slice.toStdString();
    if (store.Type == RegTypeDword) {
        store.Data.resize(4, '\0');
    }
    CheckFormLoad(content, items, (flags & 1) != 0, store);
    return 0;
}
