#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "check/reg_file.h"
#include "check/snapshot.h"
#include "check/text_codec.h"
#include "platform/text.h"
#include "tests/unit/test_values.h"

namespace km::check {
namespace {

std::string FixtureBytes(const std::string& name) {
    std::string here = __FILE__;
    const std::string dir = here.substr(0, here.rfind("/unit/"));
    std::ifstream in(dir + "/fixtures/" + name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// A version 5 file as reg export writes it, from UTF-8 text.
std::string Version5(const std::string& utf8Body) {
    std::string text;
    for (char c : utf8Body) {
        if (c == '\n') text += '\r';
        text += c;
    }
    return "\xFF\xFE" + EncodeUtf16Le(DecodeUtf8(text).text);
}

RegFile MustParse(const std::string& bytes) {
    RegFileError error;
    auto file = ParseRegFile(bytes, &error);
    EXPECT_TRUE(file.has_value()) << error.line << ": " << error.message;
    return file.value_or(RegFile());
}

// Made by wine64's `reg export` from a key holding every value type.
TEST(CheckRegFileTest, WineExportRoundTripsThroughTheInMemoryRegistry) {
    const std::string exported = FixtureBytes("check_wine_export.reg");
    ASSERT_FALSE(exported.empty());
    MemoryPlatform sys;
    RegFileError error;
    ASSERT_TRUE(LoadSnapshot(MustParse(exported), sys, &error)) << error.message;

    EXPECT_EQ(sys.GetValue(kHkeyLocalMachine, u"Software\\KeymasonFixture", u"Dword"),
              (StoredValue{kRegDword, {0x0a, 0, 0, 0}}));
    EXPECT_EQ(sys.GetValue(kHkeyLocalMachine, u"Software\\KeymasonFixture", u"Quotes \"and\" back\\slash"),
              (StoredValue{kRegSz, Utf16Bytes(u"C:\\Program Files\\Vendor \"x\"")}));
    EXPECT_EQ(sys.GetValue(kHkeyLocalMachine, u"Software\\KeymasonFixture", u""),
              (StoredValue{kRegSz, Utf16Bytes(u"default text")}));
    EXPECT_EQ(sys.GetValue(kHkeyLocalMachine, u"Software\\KeymasonFixture", u"Unicode"),
              (StoredValue{kRegSz, Utf16Bytes(u"\u65e5\u672c\u8a9e\u30c6\u30ad\u30b9\u30c8 \u00fc")}));
    EXPECT_EQ(sys.GetValue(kHkeyLocalMachine, u"Software\\KeymasonFixture", u"Qword"),
              (StoredValue{kRegQword, {0, 0, 0, 0, 1, 0, 0, 0}}));
    EXPECT_EQ(sys.GetValue(kHkeyLocalMachine, u"Software\\KeymasonFixture", u"OddType"),
              (StoredValue{0x1234, {5, 6}}));
    EXPECT_EQ(sys.GetValue(kHkeyLocalMachine, u"Software\\KeymasonFixture", u"BinaryEmpty"),
              (StoredValue{kRegBinary, {}}));
    EXPECT_EQ(sys.GetValue(kHkeyLocalMachine, u"Software\\KeymasonFixture", u"BinaryLong")->data.size(), 64u);
    EXPECT_EQ(sys.GetValue(kHkeyLocalMachine, u"Software\\KeymasonFixture", u"Multi"),
              (StoredValue{kRegMultiSz, {'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0}}));
    EXPECT_TRUE(sys.KeyExists(kHkeyLocalMachine, u"Software\\KeymasonFixture\\Sub Key\\Deeper"));

    const std::string written =
        FormatRegFile(SubtreeSections(sys, kHkeyLocalMachine, u"Software\\KeymasonFixture"));
    EXPECT_EQ(written, exported) << ToUtf8(DecodeUtf16Le(written));
}

TEST(CheckRegFileTest, ReadsEveryEncodingAndBothVersions) {
    const std::string body =
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\n\"S\"=\"x\"\n\"E\"=hex(2):41,00,00,00\n";
    const std::string version4 =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n\"S\"=\"x\"\r\n\"E\"=hex(2):41,00\r\n";
    const std::string utf8 = "Windows Registry Editor Version 5.00\n\n" + body;
    const std::string utf16 = Version5("Windows Registry Editor Version 5.00\n\n" + body);
    const std::string utf16NoMark = utf16.substr(2);
    for (const std::string& bytes : {utf8, "\xEF\xBB\xBF" + utf8, utf16, utf16NoMark, version4}) {
        const RegFile file = MustParse(bytes);
        ASSERT_EQ(file.sections.size(), 1u);
        ASSERT_EQ(file.sections[0].values.size(), 2u);
        EXPECT_EQ(file.sections[0].path, u"SOFTWARE\\V");
        EXPECT_EQ(file.sections[0].values[0].value, (StoredValue{kRegSz, Utf16Bytes(u"x")}));
        // REGEDIT4 writes expandable strings narrow; they are stored wide.
        EXPECT_EQ(file.sections[0].values[1].value, (StoredValue{kRegExpandSz, Utf16Bytes(u"A")}));
    }
}

TEST(CheckRegFileTest, ReadsTheFormsThatHandMadeFilesUse) {
    const RegFile file = MustParse(Version5(
        "Windows Registry Editor Version 5.00\n"
        "; a comment\n"
        "[hklm\\SOFTWARE\\V\\]\n"
        "@ = \"d\"\n"
        "\"Wrapped\"=hex:01,\\\n"
        "   02,\\\n"
        "  03\n"
        "\"Short\"=dword:a\n"
        "\"Esc\"=\"a\\nb\\rc\\0\"\n"
        "[HKEY_USERS\\S-1\\Software]\n"));
    ASSERT_EQ(file.sections.size(), 2u);
    EXPECT_EQ(file.sections[0].root, kHkeyLocalMachine);
    EXPECT_EQ(file.sections[0].path, u"SOFTWARE\\V");
    const auto& values = file.sections[0].values;
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0].name, u"");
    EXPECT_EQ(values[1].value, (StoredValue{kRegBinary, {1, 2, 3}}));
    EXPECT_EQ(values[2].value, (StoredValue{kRegDword, {0x0a, 0, 0, 0}}));
    EXPECT_EQ(values[3].value, (StoredValue{kRegSz, Utf16Bytes(TextView(u"a\nb\rc\0", 6))}));
    EXPECT_EQ(file.sections[1].root, kHkeyUsers);
}

TEST(CheckRegFileTest, RefusesWhatItCannotRead) {
    struct Case {
        std::string text;
        int line;
        std::string message;
    } cases[] = {
        {"", 0, "the file is empty"},
        {"REGEDIT5\n", 1, "not a .reg file"},
        {"REGEDIT4\n\"a\"=\"b\"\n", 2, "a value before the first key"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n", 2, "is not part of a snapshot"},
        {"REGEDIT4\n[HKEY_NOWHERE\\x]\n", 2, "unknown root"},
        {"REGEDIT4\n[HKLM\\a\\\\b]\n", 2, "empty part"},
        {"REGEDIT4\n[HKLM\\a\n", 2, "closing"},
        {"REGEDIT4\n[HKLM\\a]\n\"x\"=dword:123456789\n", 3, "dword data"},
        {"REGEDIT4\n[HKLM\\a]\n\"x\"=hex:1,zz\n", 3, "hex data"},
        {"REGEDIT4\n[HKLM\\a]\n\"x\"=hex(q):01\n", 3, "hex(N)"},
        {"REGEDIT4\n[HKLM\\a]\n\"x\"=text\n", 3, "unknown value data"},
        {"REGEDIT4\n[HKLM\\a]\n\"x=\"y\"\n", 3, "expected \"=\""},
        {"REGEDIT4\n[HKLM\\a]\n\"x\"=\"y\n", 3, "no closing quote"},
        {"REGEDIT4\n[HKLM]\n\"x\"=\"y\"\n", 3, "a root key holds no values"},
    };
    for (const Case& c : cases) {
        RegFileError error;
        EXPECT_FALSE(ParseRegFile(c.text, &error).has_value()) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_NE(error.message.find(c.message), std::string::npos) << c.text << " -> " << error.message;
    }
}

TEST(CheckRegFileTest, WritesEveryValueSoThatItReadsBackTheSame) {
    const StoredValue values[] = {
        {kRegSz, Utf16Bytes(u"plain \"q\" \\ \r\n")},
        {kRegSz, {}},                          // no terminator at all
        {kRegSz, {'a', 0}},                    // one unit, no terminator
        {kRegSz, {'a', 0, 0, 0, 'b', 0, 0, 0}},  // a zero inside
        {kRegSz, {'a', 0, 0}},                 // odd size
        {kRegExpandSz, Utf16Bytes(u"%x%")},
        {kRegDword, {1, 2, 3, 4}},
        {kRegDword, {1, 2}},
        {kRegQword, {1, 2, 3, 4, 5, 6, 7, 8}},
        {kRegBinary, Bytes(100, 0xAB)},
        {0, {}},
        {0xFFFFFFFF, {1}},
    };
    std::vector<RegFileSection> sections(1);
    sections[0].root = kHkeyLocalMachine;
    sections[0].path = u"SOFTWARE\\V";
    int n = 0;
    for (const StoredValue& value : values)
        sections[0].values.push_back(RegFileValue{Widen("v" + std::to_string(n++)), false, value});
    const RegFile back = MustParse(FormatRegFile(sections));
    ASSERT_EQ(back.sections.size(), 1u);
    ASSERT_EQ(back.sections[0].values.size(), sections[0].values.size());
    for (std::size_t i = 0; i < sections[0].values.size(); ++i)
        EXPECT_EQ(back.sections[0].values[i].value, sections[0].values[i].value) << i;
    EXPECT_EQ(ToUtf8(FormatRegValue(u"", values[0])), "@=\"plain \\\"q\\\" \\\\ \\r\\n\"");
    EXPECT_EQ(ToUtf8(FormatRegValue(u"n", values[3])), "\"n\"=hex(1):61,00,00,00,62,00,00,00");
    EXPECT_EQ(ToUtf8(FormatRegValue(u"n", values[7])), "\"n\"=hex(4):01,02");
}

TEST(CheckRegFileTest, HiveFilesTravelAsPseudoKeysBelowHkeyUsers) {
    const std::string text = Version5(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_USERS\\S-1-5-21-1]\n\n"
        "[HKEY_USERS\\HiveFile:C:/Users/Administrator/NTUSER.DAT]\n"
        "\"Top\"=dword:00000001\n\n"
        "[HKEY_USERS\\HiveFile:C:/Users/Administrator/NTUSER.DAT\\Software\\Vendor]\n"
        "\"A\"=\"b\"\n\n");
    MemoryPlatform sys;
    RegFileError error;
    ASSERT_TRUE(LoadSnapshot(MustParse(text), sys, &error));
    ASSERT_EQ(sys.hiveFiles.size(), 1u);
    const auto& hive = sys.hiveFiles.at(u"C:\\Users\\Administrator\\NTUSER.DAT");
    ASSERT_TRUE(hive);
    EXPECT_NE(hive->FindValue(u"Top"), nullptr);
    ASSERT_TRUE(hive->FindSubkey(u"Software"));
    EXPECT_NE(hive->FindSubkey(u"Software")->FindSubkey(u"Vendor")->FindValue(u"A"), nullptr);
    EXPECT_FALSE(sys.KeyExists(kHkeyUsers, u"HiveFile:C:/Users/Administrator/NTUSER.DAT"));
    EXPECT_TRUE(sys.KeyExists(kHkeyLocalMachine, u"SYSTEM"));

    // Written back whole: the machine's keys, then the hive file.
    const std::string written = FormatRegFile(SnapshotSections(sys));
    const std::string expected = Version5(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM]\n\n"
        "[HKEY_USERS\\S-1-5-21-1]\n\n"
        "[HKEY_USERS\\HiveFile:C:/Users/Administrator/NTUSER.DAT]\n"
        "\"Top\"=dword:00000001\n\n"
        "[HKEY_USERS\\HiveFile:C:/Users/Administrator/NTUSER.DAT\\Software]\n\n"
        "[HKEY_USERS\\HiveFile:C:/Users/Administrator/NTUSER.DAT\\Software\\Vendor]\n"
        "\"A\"=\"b\"\n\n");
    EXPECT_EQ(ToUtf8(DecodeUtf16Le(written)), ToUtf8(DecodeUtf16Le(expected)));

    RegFileError removal;
    EXPECT_FALSE(LoadSnapshot(MustParse("REGEDIT4\n[-HKLM\\SOFTWARE\\x]\n"), sys, &removal));
    EXPECT_EQ(removal.message, "a snapshot holds no removals");
}

}  // namespace
}  // namespace km::check
