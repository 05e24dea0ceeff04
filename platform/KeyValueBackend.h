#pragma once

// The per-machine key-value store behind the settings: the registry on
// Windows, a folder of .reg files elsewhere. Plain C++ so that the Windows
// backend builds without Qt. Keys are addressed by a root handle, a key path
// with backslash-separated components and a value name; texts are bytes in the
// system's 8-bit code page.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

inline constexpr std::uint32_t HkeyLocalMachine = 0x80000002u;

inline constexpr std::uint32_t RegTypeNone = 0;
inline constexpr std::uint32_t RegTypeString = 1;
inline constexpr std::uint32_t RegTypeExpandString = 2;
inline constexpr std::uint32_t RegTypeBinary = 3;
inline constexpr std::uint32_t RegTypeDword = 4;
inline constexpr std::uint32_t RegTypeMultiString = 7;

class KeyValueBackend {
public:
    struct Query {
        bool Found = false;  // false: no key, no value, or data larger than the buffer
        std::uint32_t Type = RegTypeNone;
        std::string Data;  // the stored bytes, at most the buffer size
    };

    virtual ~KeyValueBackend() = default;

    // Creates the key and every missing key above it (or opens it), then
    // stores data as a string value (type 1) of exactly data.size() bytes, no
    // terminator. True only when both steps succeeded.
    virtual bool SetStringValue(std::uint32_t root, const std::string& keyPath,
                                const std::string& valueName, const std::string& data) = 0;

    // Opens the key without creating anything and reads one value into a
    // buffer of bufferSize bytes.
    virtual Query QueryValue(std::uint32_t root, const std::string& keyPath,
                             const std::string& valueName, std::size_t bufferSize) = 0;
};

// The store of this machine: the registry on Windows; elsewhere the .reg file
// store below the per-machine store root, which reads from the former root
// too what it does not hold itself.
std::unique_ptr<KeyValueBackend> MakeSystemKeyValueBackend();

// Elsewhere than Windows, the per-machine store root is a folder of the
// machine, whoever runs the program and whatever their desktop: the package
// makes it (root, group dialout, mode 2775) so that operators store the port
// without root. $FWLOADER_STORE_ROOT names another one (tests, the simulated
// device, the demo); unset or empty, the default holds.
inline constexpr const char* DefaultStoreRoot = "/var/lib/fwloader";
std::string PerMachineStoreRoot();

// Where earlier versions kept the store (and the COM links): read, never
// written, while the default root is used; empty when $FWLOADER_STORE_ROOT
// names the root.
inline constexpr const char* FormerDefaultRoot = "/etc/xdg";
std::string FormerStoreRoot();
