#pragma once

// The per-machine key-value store on systems without a registry. The key
// path SoftWare\Vendor\Update below root folder R is the file
// R/SoftWare/Vendor/Update.reg; each value is one line in regedit syntax:
//   "Name"="text"            string (type 1)
//   "Name"=dword:0000001a    32-bit number (type 4)
//   "Name"=hex:01,02         binary (type 3)
//   "Name"=hex(N):xx,xx,...  type N given in hexadecimal, raw bytes
// A key's values are those under its own header, [HKEY_LOCAL_MACHINE\<key
// path>] (any case), and those before the first header of the file; values
// under the header of another key are neither read nor changed. Lines that
// are not values (blank, ";" comments, headers, the "Windows Registry Editor"
// banner) are kept as they are. A malformed line reads as a missing value. A
// file in UTF-16LE with its byte order mark (as the registry editor saves it)
// is read as text and written back in UTF-16LE. A value name with a NUL or a
// line break, and a key path with a byte below 0x20, cannot be written.
//
// Only a regular file of at most MaxFileBytes is read; anything else there (a
// FIFO, a device, a folder) reads as a missing value and is never replaced.
// A write replaces the file atomically and durably, keeping its permission
// bits (read and write only), and never follows a symbolic link below the
// root: a linked folder or key file makes the write fail. Writers take the
// store's lock file in the root first; when another writer holds it for more
// than LockWaitMs, the write fails as a lack of rights does. New folders are
// 0755, or 2775 in a group store (a root with the set-group-ID bit, whose
// group's members all write the store).

#include <map>
#include <string>
#include <vector>

#include "KeyValueBackend.h"

class RegFileStore : public KeyValueBackend {
public:
    // formerRootFolder, when not empty, is read for a value that the store
    // below rootFolder does not hold; it is never written.
    explicit RegFileStore(std::string rootFolder, std::string formerRootFolder = {});

    bool SetStringValue(std::uint32_t root, const std::string& keyPath,
                        const std::string& valueName, const std::string& data) override;
    Query QueryValue(std::uint32_t root, const std::string& keyPath, const std::string& valueName,
                     std::size_t bufferSize) override;

    // No store file is near this size; a larger one is not read.
    static constexpr std::size_t MaxFileBytes = 4 * 1024 * 1024;
    // The lock file of the store's writers, in the root folder.
    static constexpr const char* LockFileName = ".store.lock";
    static constexpr int LockWaitMs = 2000;

    // The file that holds a key below the root, or empty when the root is not
    // the per-machine root or the key path is not a safe relative path (empty
    // components, "." or "..", slashes, bytes below 0x20).
    std::string KeyFile(std::uint32_t root, const std::string& keyPath) const;

    // The rules of a store file's content, free of files. FindValue reads a
    // value of the key as QueryValue does; WithStringValue gives the content
    // after storing a string value (exists false: there is no file yet),
    // false when the value cannot be written.
    static Query FindValue(const std::string& content, const std::string& keyPath,
                           const std::string& valueName, std::size_t bufferSize);
    static bool WithStringValue(const std::string& content, bool exists, const std::string& keyPath,
                                const std::string& valueName, const std::string& data,
                                std::string& out);

    // One parsed value line of a .reg file.
    struct Value {
        std::string Name;
        std::uint32_t Type = RegTypeNone;
        std::string Data;
    };
    // Parses one logical line; false when it is not a well-formed value line.
    static bool ParseValueLine(const std::string& line, Value& out);
    static std::string FormatStringValueLine(const std::string& name, const std::string& data);

private:
    // The folders below the root and the file name of a key; false as for KeyFile.
    bool KeyComponents(std::uint32_t root, const std::string& keyPath,
                       std::vector<std::string>& folders, std::string& fileName) const;
    static Query QueryIn(const std::string& file, const std::string& keyPath,
                         const std::string& valueName, std::size_t bufferSize);

    std::string RootFolder;
    std::string FormerRootFolder;
};
