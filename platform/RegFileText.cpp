// The content rules of a .reg store file, free of files: value lines, the
// sections of keys, line ends and encodings.

#include <algorithm>
#include <cstdint>
#include <sstream>

#include "HexDigit.h"
#include "RegFileStore.h"

namespace {

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

void SkipBlanks(const std::string& s, std::size_t& i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) {
        ++i;
    }
}

// Reads a double-quoted text starting at s[i] == '"', with \\ and \" escapes.
bool ReadQuoted(const std::string& s, std::size_t& i, std::string& out) {
    if (i >= s.size() || s[i] != '"') {
        return false;
    }
    ++i;
    out.clear();
    while (i < s.size()) {
        const char c = s[i++];
        if (c == '"') {
            return true;
        }
        if (c == '\\') {
            if (i >= s.size() || (s[i] != '\\' && s[i] != '"')) {
                return false;
            }
            out.push_back(s[i++]);
        } else {
            out.push_back(c);
        }
    }
    return false;  // no closing quote
}

bool ReadHexBytes(const std::string& s, std::size_t i, std::string& out) {
    out.clear();
    SkipBlanks(s, i);
    if (i == s.size()) {
        return true;  // no data bytes
    }
    while (true) {
        SkipBlanks(s, i);
        if (i + 2 > s.size()) {
            return false;
        }
        const int hi = HexDigitValue(s[i]);
        const int lo = HexDigitValue(s[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        SkipBlanks(s, i);
        if (i == s.size()) {
            return true;
        }
        if (s[i] != ',') {
            return false;
        }
        ++i;
        SkipBlanks(s, i);
        if (i == s.size()) {
            return true;  // a trailing comma
        }
    }
}

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

// Reads the head of a value line from s[i] on: "Name"= (or @= for the
// default value, whose name is empty) with the blanks around it; i is then
// where the data begins.
bool ReadValueHead(const std::string& s, std::size_t& i, std::string& name) {
    SkipBlanks(s, i);
    if (i < s.size() && s[i] == '@') {
        ++i;
    } else if (!ReadQuoted(s, i, name)) {
        return false;
    }
    SkipBlanks(s, i);
    if (i >= s.size() || s[i] != '=') {
        return false;
    }
    ++i;
    SkipBlanks(s, i);
    return true;
}

// regedit wraps the long hex data of a value line after a comma with a
// trailing backslash; any other line that ends with a backslash (a comment, a
// string value) stands alone. Whether a line opens such a value is decided
// once, on its first line.
bool OpensHexValue(const std::string& line) {
    std::size_t i = 0;
    std::string name;
    return ReadValueHead(line, i, name) &&
           (line.compare(i, 4, "hex:") == 0 || line.compare(i, 4, "hex(") == 0);
}

// One logical entry of a store file: a value line with its continuation
// lines, or any other line kept as it is.
struct Entry {
    std::string Text;
    bool HexValue = false;

    // A wrapped hex value whose last line still asks for a continuation: a
    // line written after it would be taken as part of it.
    bool Dangling() const { return HexValue && !Text.empty() && Text.back() == '\\'; }
    bool Blank() const { return Text.find_first_not_of(" \t") == std::string::npos; }
    bool Header() const {
        std::size_t i = 0;
        SkipBlanks(Text, i);
        return i < Text.size() && Text[i] == '[';
    }
};

std::vector<Entry> SplitEntries(const std::string& text) {
    std::vector<Entry> entries;
    bool continued = false;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::size_t last = end;
        // Every CR before the LF belongs to the line end (a file converted to
        // CR LF twice has two), so that a rewrite reads the same.
        while (last > start && text[last - 1] == '\r') {
            --last;
        }
        const std::string line = text.substr(start, last - start);
        start = end + 1;
        // A header always opens a section: hex data never starts with "[",
        // and a value whose last line asks for more must not swallow the
        // next key's header (and with it the key's values).
        if (continued && !Entry{line}.Header()) {
            entries.back().Text += "\n" + line;
        } else {
            entries.push_back(Entry{line, OpensHexValue(line)});
        }
        continued = entries.back().Dangling();
    }
    return entries;
}

std::string JoinContinuations(const std::string& entry) {
    std::string joined;
    std::istringstream in(entry);
    std::string part;
    bool first = true;
    while (std::getline(in, part, '\n')) {
        if (!first && !joined.empty() && joined.back() == '\\') {
            joined.pop_back();
        }
        joined += part;
        first = false;
    }
    return joined;
}

std::string HeaderOf(const std::string& keyPath) {
    return "[HKEY_LOCAL_MACHINE\\" + keyPath + "]";
}

// Whether a header line opens the section of the key.
bool NamesKey(const std::string& header, const std::string& keyPath) {
    const std::size_t first = header.find_first_not_of(" \t");
    const std::size_t last = header.find_last_not_of(" \t");
    return first != std::string::npos &&
           EqualsIgnoringAsciiCase(header.substr(first, last - first + 1), HeaderOf(keyPath));
}

void AppendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void AppendUtf16Le(std::string& out, std::uint32_t c) {
    auto unit = [&out](std::uint32_t u) {
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>(u >> 8));
    };
    if (c < 0x10000) {
        unit(c);
    } else {
        unit(0xD800 + ((c - 0x10000) >> 10));
        unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
}

// UTF-16LE from bytes[from] on as UTF-8; false when it is not well formed (an
// odd byte count, a surrogate without its pair).
bool Utf16LeToUtf8(const std::string& bytes, std::size_t from, std::string& out) {
    if ((bytes.size() - from) % 2 != 0) {
        return false;
    }
    auto unit = [&bytes](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8));
    };
    out.clear();
    for (std::size_t i = from; i < bytes.size(); i += 2) {
        std::uint32_t c = unit(i);
        if (c >= 0xDC00 && c < 0xE000) {
            return false;
        }
        if (c >= 0xD800 && c < 0xDC00) {
            i += 2;
            if (i >= bytes.size() || unit(i) < 0xDC00 || unit(i) >= 0xE000) {
                return false;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i) - 0xDC00);
        }
        AppendUtf8(out, c);
    }
    return true;
}

// UTF-8 as UTF-16LE; false when it is not well formed (overlong forms,
// surrogates and code points beyond U+10FFFF included).
bool Utf8ToUtf16Le(const std::string& text, std::string& out) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80   ? 1
                           : lead < 0xC2 ? 0
                           : lead < 0xE0 ? 2
                           : lead < 0xF0 ? 3
                           : lead < 0xF5 ? 4
                                         : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        std::uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (next & 0x3F);
        }
        static const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
            return false;
        }
        AppendUtf16Le(out, c);
        i += static_cast<std::size_t>(length);
    }
    return true;
}

// The text of a store file: a UTF-16LE file with its mark as UTF-8 (wide
// true), any other as it is; leading UTF-8 byte order marks are no part of
// the first line (an editor that adds one to a file that has one leaves two).
// False when a UTF-16LE file is not well formed.
bool DecodeContent(const std::string& content, std::string& text, bool& wide) {
    wide = content.compare(0, 2, "\xFF\xFE") == 0;
    if (wide) {
        if (!Utf16LeToUtf8(content, 2, text)) {
            return false;
        }
    } else {
        text = content;
    }
    std::size_t start = 0;
    while (text.compare(start, 3, "\xEF\xBB\xBF") == 0) {
        start += 3;
    }
    text.erase(0, start);
    return true;
}

}  // namespace

bool RegFileStore::ParseValueLine(const std::string& line, Value& out) {
    const std::string s = JoinContinuations(line);
    std::size_t i = 0;
    Value v;
    if (!ReadValueHead(s, i, v.Name)) {
        return false;
    }
    const std::string rest = s.substr(i);
    if (!rest.empty() && rest[0] == '"') {
        std::size_t j = 0;
        if (!ReadQuoted(rest, j, v.Data)) {
            return false;
        }
        SkipBlanks(rest, j);
        if (j != rest.size()) {
            return false;
        }
        v.Type = RegTypeString;
    } else if (rest.rfind("dword:", 0) == 0) {
        std::size_t j = 6;
        std::uint32_t number = 0;
        int digits = 0;
        while (j < rest.size() && HexDigitValue(rest[j]) >= 0) {
            number = number * 16 + static_cast<std::uint32_t>(HexDigitValue(rest[j]));
            ++j;
            ++digits;
        }
        SkipBlanks(rest, j);
        if (digits < 1 || digits > 8 || j != rest.size()) {
            return false;
        }
        v.Type = RegTypeDword;
        for (int b = 0; b < 4; ++b) {
            v.Data.push_back(static_cast<char>((number >> (8 * b)) & 0xFF));
        }
    } else if (rest.rfind("hex:", 0) == 0) {
        v.Type = RegTypeBinary;
        if (!ReadHexBytes(rest, 4, v.Data)) {
            return false;
        }
    } else if (rest.rfind("hex(", 0) == 0) {
        std::size_t j = 4;
        std::uint64_t type = 0;
        int digits = 0;
        while (j < rest.size() && HexDigitValue(rest[j]) >= 0) {
            type = type * 16 + static_cast<std::uint64_t>(HexDigitValue(rest[j]));
            ++j;
            ++digits;
        }
        if (digits < 1 || digits > 8 || rest.compare(j, 2, "):") != 0) {
            return false;
        }
        v.Type = static_cast<std::uint32_t>(type);
        if (!ReadHexBytes(rest, j + 2, v.Data)) {
            return false;
        }
    } else {
        return false;
    }
    out = std::move(v);
    return true;
}

std::string RegFileStore::FormatStringValueLine(const std::string& name, const std::string& data) {
    const bool plain = std::none_of(data.begin(), data.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    std::string line = "\"" + Escape(name) + "\"=";
    if (plain) {
        return line + "\"" + Escape(data) + "\"";
    }
    // Control characters and NULs cannot stand inside quotes: raw bytes.
    line += "hex(1):";
    static const char* digits = "0123456789abcdef";
    for (std::size_t k = 0; k < data.size(); ++k) {
        const auto b = static_cast<unsigned char>(data[k]);
        if (k > 0) {
            line += ',';
        }
        line += digits[b >> 4];
        line += digits[b & 15];
    }
    return line;
}

bool RegFileStore::WithStringValue(const std::string& content, bool exists,
                                   const std::string& keyPath, const std::string& valueName,
                                   const std::string& data, std::string& out) {
    // A value line holds its name in quotes on one line: a name with a NUL or
    // a line break cannot be written so that it reads back.
    if (valueName.find_first_of(std::string("\0\r\n", 3)) != std::string::npos) {
        return false;
    }
    std::string text;
    bool wide = false;
    std::vector<Entry> entries;
    if (!exists) {
        entries = {{"Windows Registry Editor Version 5.00"}, {""}, {HeaderOf(keyPath)}};
    } else if (DecodeContent(content, text, wide)) {
        entries = SplitEntries(text);
    } else {
        return false;  // a UTF-16 file that does not decode is left as it is
    }
    const std::string newLine = FormatStringValueLine(valueName, data);
    // The value replaces the first line of its name in the key's own
    // sections (the lines before the first header among them); other lines of
    // its name there go. A new value goes after the last line of the key's
    // last section that holds anything; without such a section, a section of
    // its own is added at the end.
    bool own = true;
    bool anyHeader = false;
    bool ownHeader = false;
    bool placed = false;
    std::size_t insertAt = 0;
    std::vector<std::string> result;
    for (const Entry& entry : entries) {
        if (entry.Header()) {
            own = NamesKey(entry.Text, keyPath);
            anyHeader = true;
            ownHeader = ownHeader || own;
            result.push_back(entry.Text);
            if (own) {
                insertAt = result.size();
            }
            continue;
        }
        Value v;
        if (own && ParseValueLine(entry.Text, v) && EqualsIgnoringAsciiCase(v.Name, valueName)) {
            if (!placed) {
                result.push_back(newLine);
                placed = true;
            }
            continue;
        }
        result.push_back(entry.Text);
        // A wrapped hex value left open would take the new line as its
        // continuation: the new line goes before it.
        if (own && !entry.Blank() && !entry.Dangling()) {
            insertAt = result.size();
        }
    }
    if (!placed && anyHeader && !ownHeader) {
        // The blank line also closes a wrapped hex value left open at the end.
        result.insert(result.end(), {"", HeaderOf(keyPath), newLine});
    } else if (!placed) {
        result.insert(result.begin() + static_cast<std::ptrdiff_t>(insertAt), newLine);
    }
    // The registry editor ends the lines of its UTF-16 files with CR LF.
    const std::string lineEnd = wide ? "\r\n" : "\n";
    text.clear();
    for (const std::string& line : result) {
        text += line + lineEnd;
    }
    out.clear();
    if (wide) {
        out = "\xFF\xFE";
        if (!Utf8ToUtf16Le(text, out)) {
            return false;  // a name or value that UTF-16 cannot hold
        }
    } else {
        // A first line that begins with the bytes of the UTF-16 mark keeps
        // the UTF-8 mark before it, or the file would read as UTF-16.
        out = text.compare(0, 2, "\xFF\xFE") == 0 ? "\xEF\xBB\xBF" + text : std::move(text);
    }
    // A file that would no longer be read is not written.
    return out.size() <= MaxFileBytes;
}

KeyValueBackend::Query RegFileStore::FindValue(const std::string& content,
                                               const std::string& keyPath,
                                               const std::string& valueName,
                                               std::size_t bufferSize) {
    Query result;
    std::string text;
    bool wide = false;
    if (!DecodeContent(content, text, wide)) {
        return result;
    }
    bool own = true;
    for (const Entry& entry : SplitEntries(text)) {
        Value v;
        if (entry.Header()) {
            own = NamesKey(entry.Text, keyPath);
        } else if (own && ParseValueLine(entry.Text, v) &&
                   EqualsIgnoringAsciiCase(v.Name, valueName)) {
            result.Found = true;  // the last line of a name wins, as on import
            result.Type = v.Type;
            result.Data = v.Data;
        }
    }
    if (result.Found && result.Data.size() > bufferSize) {
        return Query{};
    }
    return result;
}
