// The .reg settings file's content rules (RegFileStore::FindValue and
// WithStringValue), in memory, on a key file that holds arbitrary bytes.
//
// Input: a selector byte, a byte V and a byte N, then the file content. The
// value written is the last V bytes of the content; the name written is the N
// bytes before them when N > 0, else one of the names found in the file or
// "ComPort", chosen by the selector.
//
// Checked: a read gives the same value whatever the buffer, as long as the
// value fits; after WithStringValue the value written reads back exactly, as a
// string, and every other value of the key reads as before; only a name that
// cannot stand on one line is refused (in a UTF-16 file also what UTF-16
// cannot hold); writing the same value again changes
// nothing; a value written to a key without a file reads back too.

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "RegFileStore.h"

namespace {

const std::string KeyPath = "SoftWare\\Vendor\\Update";

bool SameName(const std::string& a, const std::string& b) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [&lower](char x, char y) { return lower(x) == lower(y); });
}

bool SameQuery(const KeyValueBackend::Query& a, const KeyValueBackend::Query& b) {
    return a.Found == b.Found && (!a.Found || (a.Type == b.Type && a.Data == b.Data));
}

std::string Printable(const std::string& s) {
    std::string out;
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F && c != '\\') {
            out.push_back(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
            out += escaped;
        }
    }
    return out;
}

constexpr std::size_t Unlimited = 1 << 30;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const std::uint8_t selector = input.Byte();
    const std::size_t valueLength = input.Byte();
    const std::size_t nameLength = input.Byte();
    const std::string content = input.Rest().toStdString();
    const std::string value =
        content.substr(content.size() - std::min(valueLength, content.size()));
    const std::string beforeValue = content.substr(0, content.size() - value.size());
    const std::string slicedName =
        beforeValue.substr(beforeValue.size() - std::min(nameLength, beforeValue.size()));

    // The names to watch: some fixed ones and those of the file's own lines.
    std::vector<std::string> names{"ComPort", "comport", "Other", ""};
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line) && names.size() < 20) {
        RegFileStore::Value v;
        if (RegFileStore::ParseValueLine(line, v)) {
            names.push_back(v.Name);
        }
    }
    std::string name = names[selector % names.size()];
    if (nameLength > 0) {
        name = slicedName;
        names.push_back(name);
    }

    std::vector<KeyValueBackend::Query> before;
    for (const std::string& n : names) {
        const auto all = RegFileStore::FindValue(content, KeyPath, n, Unlimited);
        const auto limited = RegFileStore::FindValue(content, KeyPath, n, 1024);
        FUZZ_CHECK(all.Found || !limited.Found, "a small buffer finds what a large one does not");
        FUZZ_CHECK(limited.Found == (all.Found && all.Data.size() <= 1024) &&
                       (!limited.Found || SameQuery(all, limited)),
                   "value \"%s\" reads differently through a 1024-byte buffer",
                   Printable(n).c_str());
        before.push_back(all);
    }

    std::string written;
    const bool stored = RegFileStore::WithStringValue(content, true, KeyPath, name, value, written);
    if (!stored) {
        // A UTF-16 file is also left alone when it does not decode, or when
        // the name or value is no UTF-8 text that it could hold.
        const bool wide = content.compare(0, 2, "\xFF\xFE") == 0;
        FUZZ_CHECK(wide || name.find_first_of(std::string("\0\r\n", 3)) != std::string::npos,
                   "writing \"%s\" was refused", Printable(name).c_str());
        return 0;
    }
    const auto back = RegFileStore::FindValue(written, KeyPath, name, Unlimited);
    FUZZ_CHECK(back.Found && back.Type == RegTypeString && back.Data == value,
               "\"%s\"=\"%s\" reads back as %d/%u/\"%s\"", Printable(name).c_str(),
               Printable(value).c_str(), back.Found, back.Type, Printable(back.Data).c_str());
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (SameName(names[k], name)) {
            continue;
        }
        const auto after = RegFileStore::FindValue(written, KeyPath, names[k], Unlimited);
        FUZZ_CHECK(SameQuery(before[k], after),
                   "writing \"%s\" changed \"%s\" from %d/\"%s\" to %d/\"%s\"",
                   Printable(name).c_str(), Printable(names[k]).c_str(), before[k].Found,
                   Printable(before[k].Data).c_str(), after.Found, Printable(after.Data).c_str());
    }
    std::string again;
    FUZZ_CHECK(RegFileStore::WithStringValue(written, true, KeyPath, name, value, again) &&
                   again == written,
               "writing the same value again changed the file");

    std::string fresh;
    FUZZ_CHECK(RegFileStore::WithStringValue(std::string(), false, KeyPath, name, value, fresh) &&
                   SameQuery(RegFileStore::FindValue(fresh, KeyPath, name, Unlimited), back),
               "\"%s\" written to a new key file does not read back", Printable(name).c_str());
    return 0;
}
