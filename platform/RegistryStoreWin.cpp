// The per-machine key-value store on Windows: the registry, through the
// ANSI registry functions of advapi32. Plain C++ over the Win32 API.

#ifdef _WIN32

#include <windows.h>

#include <vector>

#include "KeyValueBackend.h"

namespace {

// Both go to the registry's 32-bit view, where a 32-bit program of this kind
// keeps its key on 64-bit Windows (HKLM\SOFTWARE\WOW6432Node\...): a port
// that such a program stored carries over, and this 64-bit program and it
// see the same value.
constexpr REGSAM View = KEY_WOW64_32KEY;
// Writing: query, set, create subkey, enumerate subkeys, notify, create
// link, read control.
constexpr REGSAM WriteAccess = 0x2003F | View;
// Reading asks for read rights only (KEY_READ): a standard user has no write
// rights under HKEY_LOCAL_MACHINE, and asking for them there would fail the
// read of a value that an administrator stored.
constexpr REGSAM ReadAccess = KEY_READ | View;

HKEY RootHandle(std::uint32_t root) {
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(root)));
}

class RegistryStore : public KeyValueBackend {
public:
    bool SetStringValue(std::uint32_t root, const std::string& keyPath,
                        const std::string& valueName, const std::string& data) override {
        SECURITY_ATTRIBUTES security{};
        security.nLength = sizeof(security);
        security.lpSecurityDescriptor = nullptr;  // default security
        security.bInheritHandle = TRUE;
        char keyClass[] = "1";
        HKEY key = nullptr;
        DWORD disposition = 0;
        if (RegCreateKeyExA(RootHandle(root), keyPath.c_str(), 0, keyClass, REG_OPTION_NON_VOLATILE,
                            WriteAccess, &security, &key, &disposition) != ERROR_SUCCESS) {
            return false;
        }
        const LONG stored = RegSetValueExA(key, valueName.c_str(), 0, REG_SZ,
                                           reinterpret_cast<const BYTE*>(data.data()),
                                           static_cast<DWORD>(data.size()));
        RegCloseKey(key);
        return stored == ERROR_SUCCESS;
    }

    Query QueryValue(std::uint32_t root, const std::string& keyPath, const std::string& valueName,
                     std::size_t bufferSize) override {
        Query result;
        HKEY key = nullptr;
        if (RegOpenKeyExA(RootHandle(root), keyPath.c_str(), 0, ReadAccess, &key) !=
            ERROR_SUCCESS) {
            return result;
        }
        std::vector<BYTE> buffer(bufferSize, 0);
        DWORD size = static_cast<DWORD>(bufferSize);
        DWORD type = 0;
        const LONG read =
            RegQueryValueExA(key, valueName.c_str(), nullptr, &type, buffer.data(), &size);
        RegCloseKey(key);
        if (read != ERROR_SUCCESS) {
            return result;
        }
        result.Found = true;
        result.Type = type;
        result.Data.assign(reinterpret_cast<const char*>(buffer.data()), size);
        return result;
    }
};

}  // namespace

std::unique_ptr<KeyValueBackend> MakeSystemKeyValueBackend() {
    return std::make_unique<RegistryStore>();
}

#endif  // _WIN32
