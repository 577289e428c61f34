// The catalog of bad input: broken, hostile or oversized package files and
// files or folders that cannot be used, each with what the whole pass must
// make of it. The bad-input suite holds every outcome to it; the pass
// differential test runs each case through the current and the reference pass.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "platform/memory/memory_platform.h"
#include "tests/unit/two_profile_machine.h"

namespace km {
namespace bad_input {

using namespace machine;
using namespace std::string_literals;  // "...\0..."s keeps NUL bytes

inline const std::string kSoftware = "HKEY_LOCAL_MACHINE\\SOFTWARE";
inline const std::string kCurrentUser = "HKEY_CURRENT_USER";

inline std::string Fields(std::initializer_list<std::string> fields) {
    std::string line;
    bool first = true;
    for (const std::string& field : fields) {
        if (!first) line += "*@*";
        line += field;
        first = false;
    }
    return line;
}

// A value line for HKLM\SOFTWARE\Vendor with a separator after the data.
inline std::string VendorLine(const std::string& name, const std::string& type,
                              const std::string& data, const std::string& rest = "") {
    return Fields({"1", kSoftware, "Vendor", "", name, type, "All Users", data, rest}) + "\r\n";
}

inline std::string Utf16Le(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

inline std::string RandomBytes(std::size_t size) {
    std::mt19937 engine(20240305);  // fixed: the same bytes on every run
    std::string bytes(size, '\0');
    for (char& b : bytes) b = char(engine() & 0xFF);
    return bytes;
}

inline std::string Hex(const std::string& bytes) {
    std::string out;
    for (unsigned char b : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

inline std::string Repeat(const std::string& text, std::size_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += text;
    return out;
}

inline const std::string kName300(300, 'n');
// 293 characters in two names the registry can hold (each at most 255).
inline const std::string kKeyPart(146, 'k');
inline const std::string kKey293 = kKeyPart + "\\" + kKeyPart;
inline const std::string kBinary300(300, 'b');

enum class LogOutcome {
    StartEntries,            // "Version" and "DAT" only
    StartAndNothingApplied,  // the read error's entry after them
    Lost,                    // the log could not be written
};

struct Case {
    const char* name;
    std::function<std::string()> package;  // built when the case runs
    std::function<void(MemoryPlatform&)> arrange;
    long records;             // lines read from the package; -1: not counted
    bool registryWrites;      // whether any key or value may be written at all
    std::string vendor;       // HKLM\SOFTWARE\Vendor afterwards
    std::string adminVendor;  // HKU\<Administrator>\Vendor afterwards
    LogOutcome log;
};

inline void SeedVendor(MemoryPlatform& sys) {
    sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor", u"D", kRegDword, {9, 0, 0, 0});
}

inline const std::string kValueX = "{Name=1:78000000}";

inline std::vector<Case> Catalog() {
    const auto none = [](MemoryPlatform&) {};
    const std::string good = VendorLine("Name", "REG_SZ", "x");
    return {
        // ---- Bytes that are no package ----
        {"random bytes", [] { return RandomBytes(1 << 16); }, none, -1, false, "absent", "absent",
         LogOutcome::StartEntries},
        {"NUL bytes only", [] { return std::string(4096, '\0'); }, none, 1, false, "absent",
         "absent", LogOutcome::StartEntries},
        {"NUL inside the value data is kept", [] { return VendorLine("Name", "REG_SZ", "a\0b"s); },
         none, 1, true, "{Name=1:6100000062000000}", "absent", LogOutcome::StartEntries},
        {"invalid UTF-8: one U+FFFD per bad sequence",
         [] { return VendorLine("Name", "REG_SZ", "x\xC3(\xC0\xAF\xE2\x82y"); }, none, 1, true,
         "{Name=1:7800fdff2800fdfffdfffdff79000000}", "absent", LogOutcome::StartEntries},
        // Read as UTF-8, NUL units split every separator: nothing is named.
        {"UTF-16 without byte-order mark", [good] { return Utf16Le(good); }, none, 2, false,
         "absent", "absent", LogOutcome::StartEntries},
        {"UTF-16 byte-order mark alone", [] { return "\xFF\xFE"s; }, none, 0, false, "absent",
         "absent", LogOutcome::StartEntries},
        {"UTF-8 byte-order mark alone", [] { return "\xEF\xBB\xBF"s; }, none, 0, false, "absent",
         "absent", LogOutcome::StartEntries},
        {"odd-length UTF-16: the last byte is no unit",
         [good] { return "\xFF\xFE"s + Utf16Le(good) + "A"; }, none, 1, true, kValueX, "absent",
         LogOutcome::StartEntries},
        // CR alone ends no line: the first record's data ends at its separator.
        {"CR-only line ends",
         [] {
             return Fields(
                        {"1", kSoftware, "Vendor", "", "Name", "REG_SZ", "All Users", "x", "\r"}) +
                    Fields({"1", kSoftware, "Vendor", "", "B", "REG_SZ", "All Users", "y", "\r"});
         },
         none, 1, true, kValueX, "absent", LogOutcome::StartEntries},
        {"a 100 MB line, its record still found behind it",
         [good] {
             std::string line(100u << 20, 'a');
             line.append("*@*").append(good, 4, std::string::npos);
             return line;
         },
         none, 1, true, kValueX, "absent", LogOutcome::StartEntries},
        {"a million empty lines", [] { return std::string(1000000, '\n'); }, none, 1000000, false,
         "absent", "absent", LogOutcome::StartEntries},
        {"lines of separators only",
         [] { return "*@*\n*@**@*\r\n" + Repeat("*@*", 9) + "\n" + Repeat("*@*", 1000) + "\n"; },
         none, 4, false, "absent", "absent", LogOutcome::StartEntries},

        // ---- Fields over their capacity: kept whole, never cut ----
        {"key over capacity",
         [] {
             return Fields({"1", kSoftware, "Vendor\\" + kKey293, "", "Name", "REG_SZ", "All Users",
                            "x", ""});
         },
         none, 1, true, "{" + kKeyPart + "{" + kKeyPart + kValueX + "}}", "absent", LogOutcome::StartEntries},
        {"value name over capacity", [] { return VendorLine(kName300, "REG_SZ", "x"); }, none, 1,
         true, "{" + kName300 + "=1:78000000}", "absent", LogOutcome::StartEntries},
        // A longer type is no type: the key is made, no value is set.
        {"type over capacity",
         [] { return VendorLine("Name", "REG_SZ" + std::string(34, 'x'), "x"); }, none, 1, true,
         "{}", "absent", LogOutcome::StartEntries},
        {"target over capacity matches nobody",
         [] {
             return ValueLine(kCurrentUser, "Vendor", "Name", "REG_SZ", "x",
                              "All Users" + std::string(21, ' '));
         },
         none, 1, false, "absent", "absent", LogOutcome::StartEntries},
        {"key-only field over capacity is a value line",
         [] {
             return Fields({"1", kSoftware, "Vendor", "True" + std::string(36, ' '), "Name",
                            "REG_SZ", "All Users", "x", ""});
         },
         none, 1, true, kValueX, "absent", LogOutcome::StartEntries},
        {"binary over capacity", [] { return VendorLine("Name", "REG_BINARY", kBinary300); }, none,
         1, true, "{Name=3:" + Hex(kBinary300) + "}", "absent", LogOutcome::StartEntries},

        // ---- Numbers: short ones set nothing, a removal still deletes ----
        {"DWORD short", [] { return VendorLine("D", "REG_DWORD", "0x1"); }, SeedVendor, 1, true,
         "{D=4:09000000}", "absent", LogOutcome::StartEntries},
        {"DWORD short, removal", [] { return VendorLine("D", "REG_DWORD", "0x1", "DELETE_REG"); },
         SeedVendor, 1, true, "{}", "absent", LogOutcome::StartEntries},
        {"DWORD long reads its first eight digits",
         [] { return VendorLine("D", "REG_DWORD", "0x000000001"); }, none, 1, true,
         "{D=4:00000000}", "absent", LogOutcome::StartEntries},
        {"DWORD non-hex counts as the digit formula says",
         [] { return VendorLine("D", "REG_DWORD", "0x0000000G"); }, none, 1, true, "{D=4:f0ffffff}",
         "absent", LogOutcome::StartEntries},
        {"DWORD prefix never read", [] { return VendorLine("D", "REG_DWORD", "zz0000000A"); }, none,
         1, true, "{D=4:0a000000}", "absent", LogOutcome::StartEntries},
        {"QWORD short", [] { return VendorLine("Q", "REG_QWORD", "0x0000000A"); }, none, 1, true,
         "{}", "absent", LogOutcome::StartEntries},
        {"QWORD long", [] { return VendorLine("Q", "REG_QWORD", "0x00000000000000012"); }, none, 1,
         true, "{Q=11:0100000000000000}", "absent", LogOutcome::StartEntries},
        {"QWORD non-hex", [] { return VendorLine("Q", "REG_QWORD", "0x" + std::string(16, 'z')); },
         none, 1, true, "{Q=11:5355555555555555}", "absent", LogOutcome::StartEntries},
        {"binary above U+00FF sets nothing",
         [] { return VendorLine("D", "REG_BINARY", "01\xC4\x80"); }, SeedVendor, 1, true,
         "{D=4:09000000}", "absent", LogOutcome::StartEntries},
        {"binary above U+00FF, removal",
         [] { return VendorLine("D", "REG_BINARY", "01\xC4\x80", "DELETE_REG"); }, SeedVendor, 1,
         true, "{}", "absent", LogOutcome::StartEntries},

        // ---- Unknown names ----
        // Any other root is a per-user one: it reaches every profile.
        {"unknown root",
         [] { return ValueLine("HKEY_CURRENT_CONFIG", "Vendor", "Name", "REG_SZ", "x"); }, none, 1,
         true, "absent", kValueX, LogOutcome::StartEntries},
        {"unknown type",
         [] { return VendorLine("Name", "REG_NONE", "x") + VendorLine("N2", "REG_LINK", "y"); },
         none, 2, true, "{}", "absent", LogOutcome::StartEntries},

        // ---- Files and folders ----
        // Named on the command line, seen by the shell, gone before the read (a share dropped).
        {"named package gone before the read", [] { return std::string(); },
         [](MemoryPlatform& s) { s.files.erase(kDataPath); }, 0, false, "absent", "absent",
         LogOutcome::StartAndNothingApplied},
        {"empty package file", [] { return std::string(); }, none, 0, false, "absent", "absent",
         LogOutcome::StartEntries},
        // There but not to be opened: not applied, and said so (exit code 3).
        {"unreadable package file", [good] { return good; },
         [](MemoryPlatform& s) { s.unreadableFiles.insert(kDataPath); }, 0, false, "absent",
         "absent", LogOutcome::StartAndNothingApplied},
        {"locked package file", [good] { return good; },
         [](MemoryPlatform& s) { s.lockedFiles.insert(kDataPath); }, 0, false, "absent", "absent",
         LogOutcome::StartAndNothingApplied},
        {"a folder as the package", [] { return std::string(); },
         [](MemoryPlatform& s) {
             s.files.erase(kDataPath);
             s.folders.insert(kDataPath);
         },
         0, false, "absent", "absent", LogOutcome::StartAndNothingApplied},
        {"read error part way", [good] { return good + good; },
         [good](MemoryPlatform& s) { s.readErrorAfter[kDataPath] = good.size() + 3; }, 1, false,
         "absent", "absent", LogOutcome::StartAndNothingApplied},
        {"log folder missing", [good] { return good; },
         [](MemoryPlatform& s) { s.folders.erase(kLogFolder); }, 1, true, kValueX, "absent",
         LogOutcome::Lost},
        {"log cannot be written", [good] { return good; },
         [](MemoryPlatform& s) { s.lockedFiles.insert(kLogPath); }, 1, true, kValueX, "absent",
         LogOutcome::Lost},
    };
}

}  // namespace bad_input
}  // namespace km
