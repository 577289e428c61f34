// Registry changes written as package lines: what is written applies to the
// very bytes, what cannot be is refused with its reason.
#include <gtest/gtest.h>

#include <random>

#include "engine/update_pass.h"
#include "pack/package_line.h"
#include "platform/text.h"
#include "tests/unit/test_values.h"

namespace km::pack {
namespace {

using namespace std::string_literals;

Change Set(Place place, Text key, Text name, std::uint32_t type, Bytes data) {
    Change c;
    c.place = place;
    c.key = std::move(key);
    c.valueName = std::move(name);
    c.type = type;
    c.data = std::move(data);
    return c;
}

Change Kind(ChangeKind kind, Place place, Text key, Text name = Text()) {
    Change c;
    c.kind = kind;
    c.place = place;
    c.key = std::move(key);
    c.valueName = std::move(name);
    return c;
}

TEST(PackageLineTest, WrittenLinesAsTheAuthoringToolWritesThem) {
    struct Case {
        const char* name;
        Change change;
        std::string line;
    } cases[] = {
        {"REG_SZ", Set(Place::MachineSoftware, u"Vendor", u"Name", kRegSz, Utf16Bytes(u"Grüße")),
         "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*Vendor*@**@*Name*@*REG_SZ*@*All Users*@*Grüße*@*\r\n"},
        {"REG_DWORD, big digits first",
         Set(Place::MachineSystem, u"Vendor", u"N", kRegDword, {0x2A, 0, 0, 0x80}),
         "1*@*HKEY_LOCAL_MACHINE\\SYSTEM*@*Vendor*@**@*N*@*REG_DWORD*@*All Users*@*0x8000002A*@*\r\n"},
        {"REG_MULTI_SZ as the reader stores it", Set(Place::MachineSoftware, u"V", u"", kRegMultiSz,
                                                      Utf16Bytes(u"one\r\ntwo", false)),
         "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V*@**@**@*REG_MULTI_SZ*@*All Users*@*one*BreakLine*two*@*\r\n"},
        {"REG_BINARY, NUL and high bytes", Set(Place::ClassesRoot, u".x", u"B", kRegBinary, {0, 0xFF, 'a'}),
         "1*@*HKEY_CLASSES_ROOT*@*.x*@**@*B*@*REG_BINARY*@*All Users*@*\0\xC3\xBF" "a*@*\r\n"s},
        // The reader keeps a NUL in the data: the system's own zero-separated
        // form is carried as it is.
        {"REG_MULTI_SZ with zero separators",
         Set(Place::MachineSoftware, u"V", u"M", kRegMultiSz, Utf16Bytes(u"a\0b\0"s)),
         "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V*@**@*M*@*REG_MULTI_SZ*@*All Users*@*a\0b\0\0*@*\r\n"s},
        {"a classes key named like the prefix keeps it",
         Kind(ChangeKind::CreateKey, Place::ClassesRoot, u"Software\\Classes\\X"),
         "1*@*HKEY_CLASSES_ROOT*@*Software\\Classes\\Software\\Classes\\X*@*True*@**@**@*All Users*@**@*\r\n"},
        {"a user's classes", Kind(ChangeKind::RemoveValue, Place::UserClasses, u".x", u"V"),
         "1*@*HKEY_CURRENT_USER*@*Software\\Classes\\.x*@**@*V*@*REG_SZ*@*All Users*@**@*DELETE_REG\r\n"},
        {"key removal in a user's hive", Kind(ChangeKind::RemoveKey, Place::UserHive, u"Software\\V"),
         "1*@*HKEY_CURRENT_USER*@*Software\\V*@*True*@**@**@*All Users*@*DELETE_REG*@*\r\n"},
    };
    for (const Case& c : cases) {
        const LineResult r = WritePackageLine(c.change);
        EXPECT_TRUE(r.written) << c.name << ": " << r.reason;
        EXPECT_EQ(r.line, c.line) << c.name;
    }
}

TEST(PackageLineTest, WhatTheFormatCannotCarryIsRefusedWithItsReason) {
    struct Case {
        const char* name;
        Change change;
        const char* reason;  // a part of it
    } cases[] = {
        {"REG_MULTI_SZ with a lone line feed",
         Set(Place::MachineSoftware, u"V", u"M", kRegMultiSz, Utf16Bytes(u"a\nb", false)), "line break"},
        {"binary with a comma", Set(Place::MachineSoftware, u"V", u"B", kRegBinary, {1, ',', 2}), "comma"},
        {"binary with a line feed", Set(Place::MachineSoftware, u"V", u"B", kRegBinary, {1, '\n'}),
         "line break"},
        {"text with a line break", Set(Place::MachineSoftware, u"V", u"S", kRegSz, Utf16Bytes(u"a\r\nb")),
         "line break"},
        {"value name with the separator", Set(Place::MachineSoftware, u"V", u"a*@*b", kRegSz, Utf16Bytes(u"x")),
         "separator"},
        {"key running into the separator after it", Kind(ChangeKind::CreateKey, Place::MachineSoftware, u"W*@"),
         "ends in *@"},
        {"data with the marker", Set(Place::MachineSoftware, u"V", u"S", kRegSz, Utf16Bytes(u"x delete_reg")),
         "removal marker"},
        {"key with the marker", Kind(ChangeKind::CreateKey, Place::MachineSoftware, u"DELETE_REG"),
         "removal marker"},
        {"REG_NONE", Set(Place::MachineSoftware, u"V", u"N", 0, {}), "no package name"},
        {"hex(100)", Set(Place::MachineSoftware, u"V", u"N", 0x100, {1}), "no package name"},
        {"string without its terminator",
         Set(Place::MachineSoftware, u"V", u"S", kRegSz, Utf16Bytes(u"ab", false)), "terminator"},
        {"string of odd size", Set(Place::MachineSoftware, u"V", u"S", kRegExpandSz, {'a', 0, 0}), "odd"},
        {"empty string value", Set(Place::MachineSoftware, u"V", u"S", kRegSz, {}), "terminator"},
        {"short REG_DWORD", Set(Place::MachineSoftware, u"V", u"D", kRegDword, {1, 2}), "exactly 4"},
        {"lone surrogate", Set(Place::MachineSoftware, u"V", u"S", kRegSz, Utf16Bytes(u"\xD800"s)),
         "surrogate"},
        {"NUL in a value name", Set(Place::MachineSoftware, u"V", u"a\0b"s, kRegSz, Utf16Bytes(u"x")),
         "NUL"},
        {"a user's own Software\\Classes subkey",
         Kind(ChangeKind::CreateKey, Place::UserHive, u"Software\\Classes\\X"), "classes hive"},
        // The registry follows the link in any letter case.
        {"the same in other letters", Kind(ChangeKind::CreateKey, Place::UserHive, u"SOFTWARE\\CLASSES\\X"),
         "classes hive"},
        {"a user's own Software\\Classes itself", Set(Place::UserHive, u"software\\classes", u"V", kRegSz,
                                                        Utf16Bytes(u"x")), "classes hive"},
        {"removal of a classes store", Kind(ChangeKind::RemoveKey, Place::MachineSoftware, u"Classes"),
         "never removes"},
        {"removal of a user's classes hive", Kind(ChangeKind::RemoveKey, Place::UserClasses, u""),
         "never removes"},
        {"empty key part", Kind(ChangeKind::CreateKey, Place::MachineSoftware, u"a\\\\b"), "empty part"},
    };
    for (const Case& c : cases) {
        const LineResult r = WritePackageLine(c.change);
        EXPECT_FALSE(r.written) << c.name << ": " << r.line;
        EXPECT_NE(r.reason.find(c.reason), std::string::npos) << c.name << ": " << r.reason;
    }
}

// Random values of every type, with the bytes the format finds hardest:
// each written line, applied by the real pass, stores exactly the value.
TEST(PackageLineTest, EveryWrittenValueIsStoredExactly) {
    std::mt19937 rng(20261207);
    const std::uint8_t hard[] = {0, ',', '\r', '\n', '*', '@', 'D', 'E', 0xFF, 0x7F, 0xD8, 0xDC, 'a'};
    const std::uint32_t types[] = {kRegSz, kRegExpandSz, kRegBinary, kRegDword, kRegMultiSz, kRegQword, 0, 5};
    int written = 0, refused = 0;
    for (int i = 0; i < 600; ++i) {
        Bytes data(rng() % 9);
        for (auto& b : data) b = rng() % 3 ? hard[rng() % sizeof hard] : std::uint8_t(rng());
        if (rng() % 2 && data.size() >= 2) data[data.size() - 1] = data[data.size() - 2] = 0;
        const char16_t* nameEnds[] = {u"*", u"*@", u"@"};  // the separator is "*@*"
        const Text name = u"V" + Widen(std::to_string(i)) + (rng() % 4 ? u"" : nameEnds[rng() % 3]);
        const Change change = Set(Place::MachineSoftware, u"Vendor", name, types[rng() % 8], data);
        const LineResult r = WritePackageLine(change);
        if (!r.written) {
            ++refused;
            EXPECT_FALSE(r.reason.empty());
            EXPECT_EQ(r.reason.find("read back"), std::string::npos) << "a refusal the rules missed";
            continue;
        }
        ++written;
        MemoryPlatform sys;
        RunState state;
        state.mode = DefaultPackage;
        state.isWow64 = 1;
        state.dataPath = u"C:\\p.reg.dat";
        sys.files[state.dataPath] = r.line;
        UpdateWorker(sys, state);
        const auto stored = sys.GetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor", change.valueName);
        ASSERT_TRUE(stored.has_value()) << r.line;
        EXPECT_EQ(stored->type, change.type) << r.line;
        EXPECT_EQ(stored->data, change.data) << r.line;
    }
    EXPECT_GT(written, 100);
    EXPECT_GT(refused, 100);
}

}  // namespace
}  // namespace km::pack
