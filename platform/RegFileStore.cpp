#include "RegFileStore.h"

#include "HexDigit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

constexpr std::size_t MaxStoreFileBytes = 4 * 1024 * 1024;

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

// regedit wraps the long hex data of a value line after a comma with a
// trailing backslash; any other line that ends with a backslash (a comment, a
// string value) stands alone.
bool ContinuesOnNextLine(const std::string& entry) {
    if (entry.empty() || entry.back() != '\\') {
        return false;
    }
    std::size_t i = 0;
    SkipBlanks(entry, i);
    std::string name;
    if (i < entry.size() && entry[i] == '@') {
        ++i;
    } else if (!ReadQuoted(entry, i, name)) {
        return false;
    }
    SkipBlanks(entry, i);
    if (i >= entry.size() || entry[i] != '=') {
        return false;
    }
    ++i;
    SkipBlanks(entry, i);
    return entry.compare(i, 4, "hex:") == 0 || entry.compare(i, 4, "hex(") == 0;
}

// A .reg file split into logical entries: a value line with its
// continuation lines, or any other line kept as it is.
std::vector<std::string> SplitLogicalLines(const std::string& content) {
    std::vector<std::string> physical;
    std::string line;
    std::istringstream in(content);
    while (std::getline(in, line)) {
        // Every CR before the LF belongs to the line end (a file converted to
        // CR LF twice has two), so that a rewrite, which ends lines with LF,
        // reads the same.
        while (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        physical.push_back(line);
    }
    std::vector<std::string> logical;
    for (std::size_t k = 0; k < physical.size(); ++k) {
        std::string entry = physical[k];
        while (ContinuesOnNextLine(entry) && k + 1 < physical.size()) {
            entry += "\n" + physical[++k];
        }
        logical.push_back(entry);
    }
    return logical;
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

bool ReadWholeFile(const std::string& path, std::string& content, bool& exists) {
    std::error_code ec;
    exists = std::filesystem::exists(path, ec);
    if (!exists) {
        return !ec;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    content = buffer.str();
    if (content.size() > MaxStoreFileBytes) {
        return false;
    }
    // A UTF-8 byte order mark is no part of the first line; an editor that
    // adds one to a file that already has one leaves two.
    while (content.rfind("\xEF\xBB\xBF", 0) == 0) {
        content.erase(0, 3);
    }
    return !in.bad();
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
    const std::filesystem::path target(path);
    std::string pattern =
        (target.parent_path() / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        return false;
    }
    bool ok = fchmod(fd, 0644) == 0;
    std::size_t written = 0;
    while (ok && written < content.size()) {
        const ssize_t n = write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        if (ok) {
            written += static_cast<std::size_t>(n);
        }
    }
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    ok = ok && std::rename(pattern.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(pattern.c_str());
    }
    return ok;
}

}  // namespace

RegFileStore::RegFileStore(std::string rootFolder) : RootFolder(std::move(rootFolder)) {}

std::string RegFileStore::KeyFile(std::uint32_t root, const std::string& keyPath) const {
    if (root != HkeyLocalMachine || RootFolder.empty()) {
        return {};
    }
    std::vector<std::string> components;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = keyPath.find('\\', start);
        components.push_back(keyPath.substr(start, end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    std::filesystem::path file(RootFolder);
    for (std::size_t k = 0; k < components.size(); ++k) {
        const std::string& c = components[k];
        if (c.empty() || c == "." || c == ".." || c.find('/') != std::string::npos ||
            c.find('\0') != std::string::npos) {
            return {};
        }
        file /= (k + 1 == components.size()) ? c + ".reg" : c;
    }
    return file.string();
}

bool RegFileStore::ParseValueLine(const std::string& line, Value& out) {
    const std::string s = JoinContinuations(line);
    std::size_t i = 0;
    SkipBlanks(s, i);
    Value v;
    if (i < s.size() && s[i] == '@') {
        ++i;
    } else if (!ReadQuoted(s, i, v.Name)) {
        return false;
    }
    SkipBlanks(s, i);
    if (i >= s.size() || s[i] != '=') {
        return false;
    }
    ++i;
    SkipBlanks(s, i);
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

bool RegFileStore::SetStringValue(std::uint32_t root, const std::string& keyPath,
                                  const std::string& valueName, const std::string& data) {
    const std::string file = KeyFile(root, keyPath);
    // A value line holds its name in quotes on one line: a name with a NUL or
    // a line break cannot be written so that it reads back.
    if (file.empty() || valueName.find_first_of(std::string("\0\r\n", 3)) != std::string::npos) {
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
    if (ec) {
        return false;
    }
    std::string content;
    bool exists = false;
    if (!ReadWholeFile(file, content, exists)) {
        return false;  // an existing store file that cannot be read is left alone
    }
    std::vector<std::string> entries;
    if (exists) {
        entries = SplitLogicalLines(content);
    } else {
        std::string header = "[HKEY_LOCAL_MACHINE\\" + keyPath + "]";
        entries = {"Windows Registry Editor Version 5.00", "", header};
    }
    const std::string newLine = FormatStringValueLine(valueName, data);
    bool placed = false;
    std::vector<std::string> result;
    for (const std::string& entry : entries) {
        Value v;
        if (ParseValueLine(entry, v) && EqualsIgnoringAsciiCase(v.Name, valueName)) {
            if (!placed) {
                result.push_back(newLine);
                placed = true;
            }
            continue;
        }
        result.push_back(entry);
    }
    if (!placed) {
        // A wrapped hex line at the very end would take a line after it as its
        // continuation: the new value goes before it.
        auto at = result.end();
        if (!result.empty() && ContinuesOnNextLine(result.back())) {
            --at;
        }
        result.insert(at, newLine);
    }
    std::string out;
    for (const std::string& entry : result) {
        out += entry + "\n";
    }
    return WriteFileAtomically(file, out);
}

KeyValueBackend::Query RegFileStore::QueryValue(std::uint32_t root, const std::string& keyPath,
                                                const std::string& valueName,
                                                std::size_t bufferSize) {
    Query result;
    const std::string file = KeyFile(root, keyPath);
    if (file.empty()) {
        return result;
    }
    std::string content;
    bool exists = false;
    if (!ReadWholeFile(file, content, exists) || !exists) {
        return result;
    }
    for (const std::string& entry : SplitLogicalLines(content)) {
        Value v;
        if (ParseValueLine(entry, v) && EqualsIgnoringAsciiCase(v.Name, valueName)) {
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

#ifndef _WIN32
std::unique_ptr<KeyValueBackend> MakeSystemKeyValueBackend() {
    return std::make_unique<RegFileStore>(PerMachineStoreRoot());
}
#endif

std::string PerMachineStoreRoot() {
    const char* dirs = std::getenv("XDG_CONFIG_DIRS");
    std::string first = dirs ? std::string(dirs) : std::string();
    first = first.substr(0, first.find(':'));
    return first.empty() ? std::string("/etc/xdg") : first;
}
