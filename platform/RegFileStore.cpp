#include "RegFileStore.h"

#include "HexDigit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>

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

// Leading UTF-8 byte order marks are no part of the first line; an editor
// that adds one to a file that already has one leaves two.
std::string WithoutByteOrderMarks(const std::string& content) {
    std::size_t start = 0;
    while (content.compare(start, 3, "\xEF\xBB\xBF") == 0) {
        start += 3;
    }
    return content.substr(start);
}

// A file descriptor closed when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : Fd(fd) {}
    ~FileDescriptor() { Reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return Fd; }
    bool Valid() const { return Fd >= 0; }
    void Reset(int fd = -1) {
        if (Fd >= 0) {
            close(Fd);
        }
        Fd = fd;
    }
    int Release() {
        const int fd = Fd;
        Fd = -1;
        return fd;
    }

private:
    int Fd;
};

enum class ReadOutcome { Read, Missing, Unusable };

// Reads the store file name in folder (or a path, with AT_FDCWD) whole. Only a
// regular file of at most MaxFileBytes is read: a FIFO, a device or a folder
// is never opened for reading, so that nothing can block or run without end.
// With followLinks false, a symbolic link is unusable too.
ReadOutcome ReadStoreFile(int folder, const std::string& name, bool followLinks,
                          std::string& content) {
    struct stat info {};
    if (fstatat(folder, name.c_str(), &info, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? ReadOutcome::Missing : ReadOutcome::Unusable;
    }
    if (!S_ISREG(info.st_mode) || info.st_size > off_t(RegFileStore::MaxFileBytes)) {
        return ReadOutcome::Unusable;
    }
    // The file may have been swapped for something else since: opened
    // without waiting for a writer and looked at again through the open file.
    FileDescriptor fd(
        openat(folder, name.c_str(),
               O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW)));
    if (!fd.Valid()) {
        return errno == ENOENT ? ReadOutcome::Missing : ReadOutcome::Unusable;
    }
    if (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return ReadOutcome::Unusable;
    }
    content.clear();
    char buffer[65536];
    while (true) {
        const ssize_t n = read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return ReadOutcome::Unusable;
        }
        if (n == 0) {
            return ReadOutcome::Read;
        }
        content.append(buffer, static_cast<std::size_t>(n));
        if (content.size() > RegFileStore::MaxFileBytes) {
            return ReadOutcome::Unusable;  // grew while it was read
        }
    }
}

bool WriteAll(int fd, const std::string& content) {
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

// Opens the folder that holds a key file, one component after the other from
// the root, creating the missing ones. A component that is a symbolic link,
// or anything but a folder, is refused: a write never leaves the root
// through a link, whoever placed it.
FileDescriptor OpenKeyFolder(const std::string& root, const std::vector<std::string>& folders) {
    FileDescriptor current(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!current.Valid() && errno == ENOENT) {
        std::error_code ec;
        std::filesystem::create_directories(root, ec);
        current.Reset(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    for (const std::string& folder : folders) {
        if (!current.Valid()) {
            break;
        }
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = openat(current.Get(), folder.c_str(), flags);
        if (next < 0 && errno == ENOENT) {
            if (mkdirat(current.Get(), folder.c_str(), 0777) != 0 && errno != EEXIST) {
                return FileDescriptor();
            }
            next = openat(current.Get(), folder.c_str(), flags);
        }
        current.Reset(next);
    }
    return FileDescriptor(current.Release());
}

// Removes what an earlier write left behind when it was cut off between
// creating its temporary file and renaming it.
void RemoveStaleTemporaryFiles(int folder, const std::string& prefix) {
    const int listed = dup(folder);
    if (listed < 0) {
        return;
    }
    DIR* dir = fdopendir(listed);
    if (dir == nullptr) {
        close(listed);
        return;
    }
    std::vector<std::string> stale;
    while (const dirent* entry = readdir(dir)) {
        if (std::string(entry->d_name).rfind(prefix, 0) == 0) {
            stale.push_back(entry->d_name);
        }
    }
    closedir(dir);
    for (const std::string& name : stale) {
        unlinkat(folder, name.c_str(), 0);  // a folder of that name stays
    }
}

// Replaces the file name in folder by content: a temporary file beside it,
// written and synced, renamed over it, and the folder synced, so that the
// file is the old one or the new one whole, also after a power cut. The new
// file keeps the mode (and, where allowed, the owner) of the one it replaces.
bool ReplaceFile(int folder, const std::string& name, const std::string& content,
                 const struct stat* replaced) {
    const std::string temporary = "." + name + ".tmp";
    const int fd = openat(folder, temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    if (replaced != nullptr && (replaced->st_uid != geteuid() || replaced->st_gid != getegid())) {
        [[maybe_unused]] const int ignored = fchown(fd, replaced->st_uid, replaced->st_gid);
    }
    bool ok = fchmod(fd, replaced != nullptr ? (replaced->st_mode & 07777) : 0644) == 0;
    ok = ok && WriteAll(fd, content);
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && renameat(folder, temporary.c_str(), folder, name.c_str()) == 0;
    if (!ok) {
        unlinkat(folder, temporary.c_str(), 0);
        return false;
    }
    // The rename is part of the folder: synced too, or a crash may undo it.
    return fsync(folder) == 0;
}
}  // namespace

RegFileStore::RegFileStore(std::string rootFolder) : RootFolder(std::move(rootFolder)) {}

bool RegFileStore::KeyComponents(std::uint32_t root, const std::string& keyPath,
                                 std::vector<std::string>& folders, std::string& fileName) const {
    if (root != HkeyLocalMachine || RootFolder.empty()) {
        return false;
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
    for (const std::string& c : components) {
        if (c.empty() || c == "." || c == ".." || c.find('/') != std::string::npos ||
            c.find('\0') != std::string::npos) {
            return false;
        }
    }
    fileName = components.back() + ".reg";
    components.pop_back();
    folders = std::move(components);
    return true;
}

std::string RegFileStore::KeyFile(std::uint32_t root, const std::string& keyPath) const {
    std::vector<std::string> folders;
    std::string fileName;
    if (!KeyComponents(root, keyPath, folders, fileName)) {
        return {};
    }
    std::filesystem::path file(RootFolder);
    for (const std::string& folder : folders) {
        file /= folder;
    }
    return (file / fileName).string();
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

bool RegFileStore::WithStringValue(const std::string& content, bool exists,
                                   const std::string& keyPath, const std::string& valueName,
                                   const std::string& data, std::string& out) {
    // A value line holds its name in quotes on one line: a name with a NUL or
    // a line break cannot be written so that it reads back.
    if (valueName.find_first_of(std::string("\0\r\n", 3)) != std::string::npos) {
        return false;
    }
    std::vector<std::string> entries;
    if (exists) {
        entries = SplitLogicalLines(WithoutByteOrderMarks(content));
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
    out.clear();
    for (const std::string& entry : result) {
        out += entry + "\n";
    }
    // A file that would no longer be read is not written.
    return out.size() <= MaxFileBytes;
}

KeyValueBackend::Query RegFileStore::FindValue(const std::string& content,
                                               const std::string& valueName,
                                               std::size_t bufferSize) {
    Query result;
    for (const std::string& entry : SplitLogicalLines(WithoutByteOrderMarks(content))) {
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

bool RegFileStore::SetStringValue(std::uint32_t root, const std::string& keyPath,
                                  const std::string& valueName, const std::string& data) {
    std::vector<std::string> folders;
    std::string fileName;
    if (!KeyComponents(root, keyPath, folders, fileName)) {
        return false;
    }
    const FileDescriptor folder = OpenKeyFolder(RootFolder, folders);
    // One writer at a time: the lock makes any temporary file found below a
    // leftover of a write that was cut off, not one still being written.
    if (!folder.Valid() || flock(folder.Get(), LOCK_EX) != 0) {
        return false;
    }
    RemoveStaleTemporaryFiles(folder.Get(), "." + fileName + ".tmp");

    std::string content;
    const ReadOutcome read = ReadStoreFile(folder.Get(), fileName, false, content);
    if (read == ReadOutcome::Unusable) {
        return false;  // a link, a file that cannot be read, or no regular file: left alone
    }
    struct stat replaced {};
    const bool exists = read == ReadOutcome::Read;
    if (exists && fstatat(folder.Get(), fileName.c_str(), &replaced, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    std::string out;
    if (!WithStringValue(content, exists, keyPath, valueName, data, out)) {
        return false;
    }
    return ReplaceFile(folder.Get(), fileName, out, exists ? &replaced : nullptr);
}

KeyValueBackend::Query RegFileStore::QueryValue(std::uint32_t root, const std::string& keyPath,
                                                const std::string& valueName,
                                                std::size_t bufferSize) {
    const std::string file = KeyFile(root, keyPath);
    std::string content;
    if (file.empty() || ReadStoreFile(AT_FDCWD, file, true, content) != ReadOutcome::Read) {
        return Query{};
    }
    return FindValue(content, valueName, bufferSize);
}

#ifndef _WIN32
std::unique_ptr<KeyValueBackend> MakeSystemKeyValueBackend() {
    return std::make_unique<RegFileStore>(PerMachineStoreRoot());
}
#endif

std::string PerMachineStoreRoot() {
    // As for every XDG search path: entries are separated by ":", and one
    // that is not an absolute path is ignored.
    const char* dirs = std::getenv("XDG_CONFIG_DIRS");
    const std::string list = dirs ? std::string(dirs) : std::string();
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(':', start), list.size());
        if (end > start && list[start] == '/') {
            return list.substr(start, end - start);
        }
        start = end + 1;
    }
    return "/etc/xdg";
}
