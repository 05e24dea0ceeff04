// The files of the .reg store: reading a key file safely, the writers' lock,
// the key folders, and replacing a key file whole.

#include "RegFileStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

// A file descriptor closed when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : Fd(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : Fd(other.Release()) {}
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

// Reads the store file name in folder (or a path, with AT_FDCWD) whole, and
// the status of the file that was read. Only a regular file of at most
// MaxFileBytes is read: a FIFO, a device or a folder is never opened for
// reading, so that nothing can block or run without end. With followLinks
// false, a symbolic link is unusable too.
ReadOutcome ReadStoreFile(int folder, const std::string& name, bool followLinks,
                          std::string& content, struct stat& info) {
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

// Opens the root folder, creating it and the folders above it when missing.
// The root is the machine's configuration, so links on its way are followed.
FileDescriptor OpenRootFolder(const std::string& root) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    FileDescriptor folder(open(root.c_str(), flags));
    if (!folder.Valid() && errno == ENOENT) {
        for (std::size_t end = root.find('/', 1);; end = root.find('/', end + 1)) {
            const std::string path = root.substr(0, end);
            // 0755 whatever the umask: readable by all, writable by its owner.
            if (!path.empty() && mkdir(path.c_str(), 0755) == 0) {
                chmod(path.c_str(), 0755);
            }
            if (end == std::string::npos) {
                break;
            }
        }
        folder.Reset(open(root.c_str(), flags));
    }
    return folder;
}

// Opens the folder name in parent, creating it with the given mode (whatever
// the umask) when it is missing. A symbolic link, or anything but a folder,
// is refused: a write never leaves the root through a link, whoever placed it.
int OpenKeyFolder(int parent, const std::string& name, mode_t mode) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(parent, name.c_str(), flags);
    if (fd >= 0 || errno != ENOENT) {
        return fd;
    }
    const bool made = mkdirat(parent, name.c_str(), mode) == 0;
    if (!made && errno != EEXIST) {
        return -1;
    }
    fd = openat(parent, name.c_str(), flags);
    if (fd >= 0 && made) {
        fchmod(fd, mode);
    }
    return fd;
}

// Takes the store's write lock: the lock file in the root, never through a
// link, opened for writing, which only writers of the store may (a new one is
// made 0660 whatever the umask). Taken without blocking, so that nobody can
// hold a writer up for ever; a writer that still holds it after the wait
// makes this write fail.
FileDescriptor LockStore(int root) {
    const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    FileDescriptor lock(openat(root, RegFileStore::LockFileName, flags | O_CREAT | O_EXCL, 0660));
    if (lock.Valid()) {
        fchmod(lock.Get(), 0660);
    } else if (errno == EEXIST) {
        lock.Reset(openat(root, RegFileStore::LockFileName, flags));
    }
    struct stat info {};
    if (!lock.Valid() || fstat(lock.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return FileDescriptor();
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(RegFileStore::LockWaitMs);
    while (flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) ||
            std::chrono::steady_clock::now() >= deadline) {
            return FileDescriptor();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return lock;
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
// file keeps the read and write bits (and, where allowed, the owner) of the
// one it replaces; a new key file is 0644.
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
    bool ok = fchmod(fd, replaced != nullptr ? (replaced->st_mode & 0666) : 0644) == 0;
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

RegFileStore::RegFileStore(std::string rootFolder, std::string formerRootFolder)
    : RootFolder(std::move(rootFolder)), FormerRootFolder(std::move(formerRootFolder)) {}

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
    // Control characters would reach file names and the key's header line.
    const auto unsafe = [](char c) { return c == '/' || static_cast<unsigned char>(c) < 0x20; };
    for (const std::string& c : components) {
        if (c.empty() || c == "." || c == ".." || std::any_of(c.begin(), c.end(), unsafe)) {
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

bool RegFileStore::SetStringValue(std::uint32_t root, const std::string& keyPath,
                                  const std::string& valueName, const std::string& data) {
    std::vector<std::string> folders;
    std::string fileName;
    if (!KeyComponents(root, keyPath, folders, fileName)) {
        return false;
    }
    const FileDescriptor rootFolder = OpenRootFolder(RootFolder);
    // One writer at a time: the lock also makes any temporary file found
    // below a leftover of a write that was cut off, not one still being written.
    const FileDescriptor lock = rootFolder.Valid() ? LockStore(rootFolder.Get()) : FileDescriptor();
    struct stat rootInfo {};
    if (!lock.Valid() || fstat(rootFolder.Get(), &rootInfo) != 0) {
        return false;
    }
    const mode_t folderMode = (rootInfo.st_mode & S_ISGID) != 0 ? 02775 : 0755;
    FileDescriptor folder(fcntl(rootFolder.Get(), F_DUPFD_CLOEXEC, 0));
    for (const std::string& name : folders) {
        if (!folder.Valid()) {
            return false;
        }
        folder.Reset(OpenKeyFolder(folder.Get(), name, folderMode));
    }
    if (!folder.Valid()) {
        return false;
    }
    RemoveStaleTemporaryFiles(folder.Get(), "." + fileName + ".tmp");

    std::string content;
    struct stat replaced {};
    const ReadOutcome read = ReadStoreFile(folder.Get(), fileName, false, content, replaced);
    if (read == ReadOutcome::Unusable) {
        return false;  // a link, a file that cannot be read, or no regular file: left alone
    }
    const bool exists = read == ReadOutcome::Read;
    std::string out;
    if (!WithStringValue(content, exists, keyPath, valueName, data, out)) {
        return false;
    }
    return ReplaceFile(folder.Get(), fileName, out, exists ? &replaced : nullptr);
}

KeyValueBackend::Query RegFileStore::QueryIn(const std::string& file, const std::string& keyPath,
                                             const std::string& valueName, std::size_t bufferSize) {
    std::string content;
    struct stat info {};
    if (file.empty() || ReadStoreFile(AT_FDCWD, file, true, content, info) != ReadOutcome::Read) {
        return Query{};
    }
    return FindValue(content, keyPath, valueName, bufferSize);
}

KeyValueBackend::Query RegFileStore::QueryValue(std::uint32_t root, const std::string& keyPath,
                                                const std::string& valueName,
                                                std::size_t bufferSize) {
    Query found = QueryIn(KeyFile(root, keyPath), keyPath, valueName, bufferSize);
    if (!found.Found && !FormerRootFolder.empty()) {
        found = QueryIn(RegFileStore(FormerRootFolder).KeyFile(root, keyPath), keyPath, valueName,
                        bufferSize);
    }
    return found;
}

#ifndef _WIN32
std::unique_ptr<KeyValueBackend> MakeSystemKeyValueBackend() {
    return std::make_unique<RegFileStore>(PerMachineStoreRoot(), FormerStoreRoot());
}
#endif

std::string PerMachineStoreRoot() {
    const char* named = std::getenv("FWLOADER_STORE_ROOT");
    return named != nullptr && named[0] != '\0' ? std::string(named) : DefaultStoreRoot;
}

std::string FormerStoreRoot() {
    const char* named = std::getenv("FWLOADER_STORE_ROOT");
    return named != nullptr && named[0] != '\0' ? std::string() : std::string(FormerDefaultRoot);
}
