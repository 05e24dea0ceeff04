// The registry backend of the Windows build, run under Wine: values set and
// read back, the value types, the read buffer's limit, reads that never
// create a key, and reads that ask for no write rights. Plain C++ over the
// Win32 API, as the backend itself; the checks are on what the backend
// returns, which RegKeys then turns into text.
//
// Where Wine behaves differently from Windows, the check accepts both, and
// says so: the program's behaviour depends on neither.

#include <windows.h>

#include <aclapi.h>

#include <cstdio>
#include <string>

#include "KeyValueBackend.h"

namespace {

int Passed = 0;
int Failed = 0;

void Check(bool condition, const char* what) {
    if (condition) {
        ++Passed;
    } else {
        ++Failed;
        std::printf("FAIL: %s\n", what);
    }
}

const char* const TestRoot = "SoftWare\\fwloader-test";
const std::string KeyPath = std::string(TestRoot) + "\\Vendor\\Update";

// The program's keys live in the registry's 32-bit view.
HKEY Open(const std::string& path, REGSAM access, REGSAM view = KEY_WOW64_32KEY) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access | view, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

bool KeyExists(const std::string& path, REGSAM view = KEY_WOW64_32KEY) {
    HKEY key = Open(path, KEY_READ, view);
    if (!key) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// In both views: a run of a backend that wrote to the wrong one leaves its
// keys there.
void RemoveTestKeys() {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        if (HKEY software = Open("SoftWare", KEY_ALL_ACCESS, view)) {
            RegDeleteTreeA(software, "fwloader-test");
            RegCloseKey(software);
        }
    }
}

bool SetRaw(const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = Open(KeyPath, KEY_SET_VALUE);
    if (!key) {
        return false;
    }
    const LONG set = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    return set == ERROR_SUCCESS;
}

// The text of a string read back: up to its first NUL, as RegKeys cuts it.
std::string Text(const KeyValueBackend::Query& query) {
    return query.Data.substr(0, query.Data.find('\0'));
}

// Windows stores a REG_SZ given without terminator as exactly those bytes.
// Wine's RegSetValueExA counts a terminator that the data does not have, so
// the value reads back one NUL longer. Both read as the same text.
bool SameString(const KeyValueBackend::Query& query, const std::string& text) {
    return query.Found && Text(query) == text &&
           (query.Data == text || query.Data == text + std::string(1, '\0'));
}

// Replaces the key's access list by one entry: everyone is granted rights.
bool GrantOnlyToEveryone(const std::string& path, DWORD rights) {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
        return false;
    }
    EXPLICIT_ACCESSA entry{};
    entry.grfAccessPermissions = rights;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPSTR>(everyone);
    PACL acl = nullptr;
    HKEY key = Open(path, WRITE_DAC);
    bool ok = key && SetEntriesInAclA(1, &entry, nullptr, &acl) == ERROR_SUCCESS;
    if (ok) {
        ok = SetSecurityInfo(key, SE_REGISTRY_KEY,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr, nullptr, acl, nullptr) == ERROR_SUCCESS;
        LocalFree(acl);
    }
    if (key) {
        RegCloseKey(key);
    }
    FreeSid(everyone);
    return ok;
}

}  // namespace

int main() {
    RemoveTestKeys();  // what an interrupted run left
    const auto store = MakeSystemKeyValueBackend();

    // A first run: nothing stored, and reading creates no key.
    Check(!store->QueryValue(HkeyLocalMachine, KeyPath, "ComPort", 1024).Found,
          "a missing key reads as missing");
    Check(!KeyExists(TestRoot), "a read does not create the key");

    // A write creates every missing key and stores the text without terminator.
    Check(store->SetStringValue(HkeyLocalMachine, KeyPath, "ComPort", "12"),
          "the first write succeeds");
    Check(KeyExists(std::string(TestRoot) + "\\Vendor"), "the write creates the keys above");
    Check(KeyExists("SoftWare\\WOW6432Node\\fwloader-test\\Vendor\\Update", KEY_WOW64_64KEY) &&
              !KeyExists(KeyPath, KEY_WOW64_64KEY),
          "the key is in the 32-bit view, where a 32-bit program keeps it");
    const auto twelve = store->QueryValue(HkeyLocalMachine, KeyPath, "ComPort", 1024);
    Check(twelve.Type == RegTypeString && SameString(twelve, "12"), "12 reads back as a string");
    Check(store->SetStringValue(HkeyLocalMachine, KeyPath, "ComPort", "3") &&
              SameString(store->QueryValue(HkeyLocalMachine, KeyPath, "comport", 1024), "3"),
          "a second write replaces the value; names are found without regard to case");
    Check(!store->QueryValue(HkeyLocalMachine, KeyPath, "Other", 1024).Found,
          "a missing value in an existing key reads as missing");

    // Values of every type, as an administrator may have stored them by hand.
    const DWORD number = 258;
    Check(SetRaw("Expand", REG_EXPAND_SZ, "5", 2) && SetRaw("Binary", REG_BINARY, "5", 1) &&
              SetRaw("Number", REG_DWORD, &number, 4) && SetRaw("Multi", REG_MULTI_SZ, "5\0\0", 3),
          "values of other types are stored");
    const auto expand = store->QueryValue(HkeyLocalMachine, KeyPath, "Expand", 1024);
    Check(expand.Type == RegTypeExpandString && Text(expand) == "5",
          "an expandable string reads as type 2");
    const auto binary = store->QueryValue(HkeyLocalMachine, KeyPath, "Binary", 1024);
    Check(binary.Type == RegTypeBinary && binary.Data == "5", "binary data reads as type 3");
    const auto dword = store->QueryValue(HkeyLocalMachine, KeyPath, "Number", 1024);
    Check(dword.Type == RegTypeDword && dword.Data == std::string("\x02\x01\x00\x00", 4),
          "a 32-bit number reads as type 4, its bytes low first");
    Check(store->QueryValue(HkeyLocalMachine, KeyPath, "Multi", 1024).Type == RegTypeMultiString,
          "a multi-string reads as type 7");
    Check(SetRaw("Embedded", REG_SZ,
                 "1\0"
                 "2",
                 3) &&
              Text(store->QueryValue(HkeyLocalMachine, KeyPath, "Embedded", 1024)) == "1",
          "a string with an embedded NUL reads up to it");

    // The read buffer: 1023 bytes of text fit; data beyond the buffer is not read.
    const std::string fits(1023, '7');
    Check(store->SetStringValue(HkeyLocalMachine, KeyPath, "Long", fits) &&
              SameString(store->QueryValue(HkeyLocalMachine, KeyPath, "Long", 1024), fits),
          "1023 bytes read back whole");
    Check(store->SetStringValue(HkeyLocalMachine, KeyPath, "Long", std::string(1100, '7')) &&
              !store->QueryValue(HkeyLocalMachine, KeyPath, "Long", 1024).Found,
          "1100 bytes do not fit the buffer and read as missing");

    // A standard user may read under HKEY_LOCAL_MACHINE but not write: a key
    // that grants reading only still gives its value.
    if (GrantOnlyToEveryone(KeyPath, KEY_READ)) {
        Check(SameString(store->QueryValue(HkeyLocalMachine, KeyPath, "ComPort", 1024), "3"),
              "a key that may only be read gives its value");
        Check(!store->SetStringValue(HkeyLocalMachine, KeyPath, "ComPort", "4"),
              "a key that may only be read refuses a write");
        Check(GrantOnlyToEveryone(KeyPath, KEY_ALL_ACCESS), "the key's access list is restored");
    } else {
        Check(false, "the key's access list can be set");
    }

    RemoveTestKeys();
    Check(!KeyExists(TestRoot), "the test keys are removed");
    std::printf("%d passed, %d failed\n", Passed, Failed);
    return Failed == 0 ? 0 : 1;
}
