#pragma once

// The per-machine key-value store on systems without a registry. The key
// path SoftWare\Vendor\Update below root folder R is the file
// R/SoftWare/Vendor/Update.reg; each value is one line in regedit syntax:
//   "Name"="text"            string (type 1)
//   "Name"=dword:0000001a    32-bit number (type 4)
//   "Name"=hex:01,02         binary (type 3)
//   "Name"=hex(N):xx,xx,...  type N given in hexadecimal, raw bytes
// Lines that are not values (blank, ";" comments, "[...]" headers, the
// "Windows Registry Editor" banner) are kept as they are. A malformed line
// reads as a missing value. A value name with a NUL or a line break cannot be
// written.
//
// Only a regular file of at most MaxFileBytes is read; anything else there (a
// FIFO, a device, a folder) reads as a missing value and is never replaced.
// A write replaces the file atomically and durably, keeping its mode, and
// never follows a symbolic link below the root: a linked folder or key file
// makes the write fail.

#include <map>
#include <string>
#include <vector>

#include "KeyValueBackend.h"

class RegFileStore : public KeyValueBackend {
public:
    explicit RegFileStore(std::string rootFolder);

    bool SetStringValue(std::uint32_t root, const std::string& keyPath,
                        const std::string& valueName, const std::string& data) override;
    Query QueryValue(std::uint32_t root, const std::string& keyPath, const std::string& valueName,
                     std::size_t bufferSize) override;

    // No store file is near this size; a larger one is not read.
    static constexpr std::size_t MaxFileBytes = 4 * 1024 * 1024;

    // The file that holds a key, or empty when the root is not the
    // per-machine root or the key path is not a safe relative path (empty
    // components, "." or "..", slashes or NUL characters).
    std::string KeyFile(std::uint32_t root, const std::string& keyPath) const;

    // The rules of a store file's content, free of files. FindValue reads a
    // value as QueryValue does; WithStringValue gives the content after
    // storing a string value (exists false: there is no file yet), false when
    // the value cannot be written.
    static Query FindValue(const std::string& content, const std::string& valueName,
                           std::size_t bufferSize);
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

    std::string RootFolder;
};
