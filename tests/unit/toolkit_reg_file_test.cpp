#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "toolkit/file_io.h"
#include "toolkit/reg_file.h"
#include "toolkit/snapshot.h"
#include "toolkit/text_codec.h"
#include "platform/text.h"
#include "tests/unit/test_values.h"

namespace km::toolkit {
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
TEST(RegFileTest, WineExportRoundTripsThroughTheInMemoryRegistry) {
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

TEST(RegFileTest, ReadsEveryEncodingAndBothVersions) {
    const std::string body =
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\n\"S\"=\"x\"\n\"E\"=hex(2):41,00,00,00\n";
    const std::string version4 =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n\"S\"=\"x\"\r\n\"E\"=hex(2):41,00\r\n";
    const std::string ansi =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\n\"S\"=\"x\"\n\"E\"=hex(2):41,00\n";
    const std::string utf16 = Version5("Windows Registry Editor Version 5.00\n\n" + body);
    for (const std::string& bytes : {ansi, utf16, version4}) {
        const RegFile file = MustParse(bytes);
        ASSERT_EQ(file.sections.size(), 1u);
        ASSERT_EQ(file.sections[0].values.size(), 2u);
        EXPECT_EQ(file.sections[0].path, u"SOFTWARE\\V");
        EXPECT_EQ(file.sections[0].values[0].value, (StoredValue{kRegSz, Utf16Bytes(u"x")}));
        // Files in the ANSI code page write expandable strings narrow; they are stored wide.
        EXPECT_EQ(file.sections[0].values[1].value, (StoredValue{kRegExpandSz, Utf16Bytes(u"A")}));
    }
}

TEST(RegFileTest, ReadsTheFormsThatHandMadeFilesUse) {
    const RegFile file = MustParse(Version5(
        "Windows Registry Editor Version 5.00\n"
        "; a comment\n"
        "[hklm\\SOFTWARE\\V\\]\n"
        "@ = \"d\"\n"
        "\"Wrapped\"=hex:01,\\\n"
        "   02,\\\n"
        "  03\n"
        "\"Short\"=dword:a\n"
        "\"Esc\"=\"a\\nb\\rc\"\n"
        "[HKEY_USERS\\S-1\\Software]\n"));
    ASSERT_EQ(file.sections.size(), 2u);
    EXPECT_EQ(file.sections[0].root, kHkeyLocalMachine);
    EXPECT_EQ(file.sections[0].path, u"SOFTWARE\\V");
    const auto& values = file.sections[0].values;
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0].name, u"");
    EXPECT_EQ(values[1].value, (StoredValue{kRegBinary, {1, 2, 3}}));
    EXPECT_EQ(values[2].value, (StoredValue{kRegDword, {0x0a, 0, 0, 0}}));
    EXPECT_EQ(values[3].value, (StoredValue{kRegSz, Utf16Bytes(u"a\nb\rc")}));
    EXPECT_EQ(file.sections[1].root, kHkeyUsers);
}

// What a file does, compactly: "[KEY] name=TYPE:HEX" a section, "[-KEY]"
// and "name=-" for removals, "@" for the default value.
std::string Effect(const RegFile& file) {
    std::string out;
    for (const RegFileSection& section : file.sections) {
        out += std::string(out.empty() ? "" : " ") + "[" + (section.remove ? "-" : "") + ToUtf8(RootName(section.root)) +
               (section.path.empty() ? "" : "\\" + ToUtf8(section.path)) + "]";
        for (const RegFileValue& value : section.values) {
            out += " " + (value.name.empty() ? std::string("@") : ToUtf8(value.name)) + "=";
            if (value.remove) {
                out += "-";
                continue;
            }
            out += std::to_string(value.value.type) + ":";
            char hex[4];
            for (std::uint8_t b : value.value.data) {
                std::snprintf(hex, sizeof hex, "%02x", b);
                out += hex;
            }
        }
    }
    return out;
}

std::string SkippedLines(const RegFile& file) {
    std::string out;
    for (const RegFileError& skip : file.skipped) out += (out.empty() ? "" : " ") + std::to_string(skip.line);
    return out;
}

TEST(RegFileTest, RefusesTheFilesRegImportRefuses) {
    const std::string body = "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\n\"a\"=\"b\"\n";
    struct Case {
        std::string bytes;
        int line;
        std::string message;
    } cases[] = {
        {"", 0, "the file is empty"},
        {"\nREGEDIT4" + body, 1, "not a .reg file"},
        {"; c\nREGEDIT4" + body, 1, "not a .reg file"},
        {"regedit4" + body, 1, "not a .reg file"},
        {"REGEDI" + body, 1, "not a .reg file"},
        {"Windows Registry Editor Version 5.00 " + body, 1, "not a .reg file"},
        {"\xEF\xBB\xBFWindows Registry Editor Version 5.00" + body, 1, "not a .reg file"},
        {Version5("Windows Registry Editor Version 5.00" + body).substr(2), 1, "byte-order mark"},
        {Version5("REGEDIT4" + body), 1, "UTF-16LE file with the header REGEDIT4"},
    };
    for (const Case& c : cases) {
        RegFileError error;
        EXPECT_FALSE(ParseRegFile(c.bytes, &error).has_value()) << c.bytes;
        EXPECT_EQ(error.line, c.line) << c.bytes;
        EXPECT_NE(error.message.find(c.message), std::string::npos) << c.bytes << " -> " << error.message;
    }
}

// Each line is applied or skipped as reg import does; the texts start with
// the header and "[HKCU\K]" on lines 1 and 2.
TEST(RegFileTest, AppliesOrSkipsEachLineAsRegImportDoes) {
    struct Case {
        std::string lines;
        std::string effect;
        std::string skipped;
    } cases[] = {
        // Comments, blanks and line ends.
        {"; c\n  # c\n\n\t\n\"a\"=\"b\" ; c\n", "[HKEY_CURRENT_USER\\K] a=1:62000000", ""},
        {"\"a\"=\"b\"#c\n\"b\"=\"b\"x\n\"c\"=\"b\n", "[HKEY_CURRENT_USER\\K]", "3 4 5"},
        {"\"a\"=\"b\"\r\"b\"=dword:1\r\n", "[HKEY_CURRENT_USER\\K] a=1:62000000 b=4:01000000", ""},
        // Escapes: \\ \" \n \r honoured, \0 skips, others lose the backslash.
        {"\"q\\\"\\\\\"=\"\\n\\r\"\n", "[HKEY_CURRENT_USER\\K] q\"\\=1:0a000d000000", ""},
        {"\"a\"=\"x\\0y\"\n\"b\"=\"x\\ty\"\n", "[HKEY_CURRENT_USER\\K] b=1:7800740079000000", "3 4"},
        // A backslash ends a string or a dword only by skipping it, and the next line stands alone.
        {"\"a\"=\"x\\\n\"b\"=\"y\"\n\"c\"=dword:12\\\n34\n", "[HKEY_CURRENT_USER\\K] b=1:79000000", "3 5 6"},
        // dword: 1 to 8 hex digits, blanks around, ";" after.
        {"\"a\"=dword: 1 ;c\n\"b\"=dword:123456789\n\"c\"=DWORD:1\n\"d\"=dword:0x1\n\"e\"=dword:1 #c\n",
         "[HKEY_CURRENT_USER\\K] a=4:01000000", "4 5 6 7"},
        // hex: numbers up to ff as the C library reads them, commas right after them.
        {"\"a\"=hex: 0001,+2, 0x3,\n\"b\"=hex:100\n\"c\"=hex:01 ,02\n\"d\"=hex:01,,02\n\"e\"=hex:\n",
         "[HKEY_CURRENT_USER\\K] a=3:010203 e=3:", "4 5 6"},
        // hex(N): any 32-bit type, blanks and a sign before it, nothing after it.
        {"\"a\"=hex(b):01\n\"b\"=hex( -1):02\n\"c\"=hex():03\n\"d\"=hex(2 ):04\n\"e\"=hex(0x2):05\n"
         "\"f\"=hex(100000000):06\n\"g\"=HEX(1):07\n",
         "[HKEY_CURRENT_USER\\K] a=11:01 b=4294967295:02 c=0:03", "6 7 8 9"},
        // Continuations: after "hex:" or a comma; blank and ";" lines between;
        // a failing line is taken with the value.
        {"\"a\"=hex:\\\n 01,\\ \n\n; c\n  02\n\"b\"=hex:01\\\n02\n",
         "[HKEY_CURRENT_USER\\K] a=3:0102", "8 9"},
        {"\"a\"=hex:01,\\\n\"b\"=\"y\"\n\"c\"=hex:01,\\\n\\\n02\n\"d\"=hex:01,\\\n# c\n\"e\"=hex:01,\\",
         "[HKEY_CURRENT_USER\\K] e=3:01", "3 5 7 8"},
        // A NUL character ends the text.
        {std::string("\"a\"=dword:1\0x\n\"b\"=\"1\"\n", 22), "[HKEY_CURRENT_USER\\K] a=4:01000000", "3"},
        // Names and removals.
        {"@ = \"d\"\n\"\"=-\n\"v\"=\t-\t;c\n\"w\"=-x\na=\"1\"\n@x=\"1\"\n\"n\"\n",
         "[HKEY_CURRENT_USER\\K] @=1:64000000 @=- v=-", "6 7 8 9"},
        // Key lines: any letter case, the name runs to the last "]".
        {"[hkey_CURRENT_user\\K\\a\\\\b\\]junk\n[HKCU\\K\\c]d] ; c\n[-hkcu\\K\\a]\n",
         "[HKEY_CURRENT_USER\\K] [HKEY_CURRENT_USER\\K\\a\\b] [HKEY_CURRENT_USER\\K\\c]d] [-HKEY_CURRENT_USER\\K\\a]", ""},
        // A blank after "[" or no "]": the line is ignored and the key stays open.
        {"[ HKCU\\K\\a]\n[HKCU\\K\\b\n\"v\"=\"1\"\n", "[HKEY_CURRENT_USER\\K] v=1:31000000", "3 4"},
        // A key that cannot be opened takes its values with it, as a removal does.
        {"[HKEY_NOPE\\x]\n\"a\"=\"1\"\n[HKCU\\\\K]\n\"b\"=\"1\"\n[]\n[-HKCU\\K\\z]\n\"c\"=\"1\"\n",
         "[HKEY_CURRENT_USER\\K] [-HKEY_CURRENT_USER\\K\\z]", "3 4 5 6 7 9"},
    };
    for (const Case& c : cases) {
        const std::string text = "Windows Registry Editor Version 5.00\n[HKCU\\K]\n" + c.lines;
        RegFileError error;
        const auto file = ParseRegFile(Version5(text), &error);
        ASSERT_TRUE(file.has_value()) << c.lines << " -> " << error.message;
        EXPECT_EQ(Effect(*file), c.effect) << c.lines;
        EXPECT_EQ(SkippedLines(*file), c.skipped) << c.lines;
    }
}

// Files without a byte-order mark are in the ANSI code page, string data in
// hex too. Headers that begin "REGEDIT" otherwise are taken
// and nothing is read; "REGEDIT" alone is the HKEY_CLASSES_ROOT-only format.
TEST(RegFileTest, ReadsHeadersAndCodePagesAsRegImportDoes) {
    struct Case {
        std::string bytes;
        std::string effect;
        std::string warned = "";  // lines skipped or read altered: UTF-8 text read in the ANSI code page
    } cases[] = {
        {"Windows Registry Editor Version 5.00\n[HKCU\\K]\n\"a\"=\"\x80\xe9\"\n", "[HKEY_CURRENT_USER\\K] a=1:ac20e9000000"},
        {"Windows Registry Editor Version 5.00\n[HKCU\\K]\n\"a\"=\"\xc3\xa9\"\n", "[HKEY_CURRENT_USER\\K] a=1:c300a9000000",
         "3"},
        {"REGEDIT4\r[HKCU\\K]\r\"a\"=\"\xc3\xa9\"\r", "[HKEY_CURRENT_USER\\K] a=1:c300a9000000", "3"},
        {std::string("REGEDIT4\n[HKCU\\K]\n\"a\"=\"b\"\n") + '\0' + "\"c\"=\"\xc3\xa9\"\n", "[HKEY_CURRENT_USER\\K] a=1:62000000",
         "4"},
        {"Windows Registry Editor Version 5.00\n[HKCU\\K]\n\n\"a\"=\"\xf0\x9f\x98\x80\xc3\"\n",
         "[HKEY_CURRENT_USER\\K] a=1:f0007801dc02ac20c3000000"},
        {" \tREGEDIT4\n[HKCU\\K]\n\"a\"=hex(2):80,00\n\"b\"=hex(7):41,00,42,00,00\n\"c\"=hex(3):80\n",
         "[HKEY_CURRENT_USER\\K] a=2:ac200000 b=7:41000000420000000000 c=3:80"},
        {"Windows Registry Editor Version 5.00\n[HKCU\\K]\n\"a\"=hex(1):e9,00\n\"b\"=hex(4):e9\n",
         "[HKEY_CURRENT_USER\\K] a=1:e9000000 b=4:e9"},
        {"REGEDIT4 FOO\n[HKCU\\K]\n\"a\"=\"b\"\n", "", "1"},
        {"REGEDIT\nHKEY_CLASSES_ROOT\\K = v\nHKEY_CLASSES_ROOT\\K\\a  =  w\nHKEY_CLASSES_ROOT\\K\\b= x\n  HKEY_CLASSES_ROOT\\K\\c = v\n",
         "[HKEY_CLASSES_ROOT\\K] @=1:76000000 [HKEY_CLASSES_ROOT\\K\\a] @=1:200077000000 [HKEY_CLASSES_ROOT\\K\\b=] @=1:78000000",
         "5"},
    };
    for (const Case& c : cases) {
        RegFileError error;
        const auto file = ParseRegFile(c.bytes, &error);
        ASSERT_TRUE(file.has_value()) << c.bytes << " -> " << error.message;
        EXPECT_EQ(Effect(*file), c.effect) << c.bytes;
        EXPECT_EQ(SkippedLines(*file), c.warned) << c.bytes;
    }
}

TEST(RegFileTest, WritesEveryValueSoThatItReadsBackTheSame) {
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

TEST(RegFileTest, HiveFilesTravelAsPseudoKeysBelowHkeyUsers) {
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

}

// A base starts from nothing: removals remove only what the file set before
// them, and what a base cannot hold is skipped with a warning.
TEST(RegFileTest, ABaseAppliesRemovalsInOrderAndSkipsWhatItCannotHold) {
    std::string text =
        "REGEDIT4\n"
        "[HKLM\\SOFTWARE\\V\\Gone]\n\"a\"=\"1\"\n"
        "[HKLM\\SOFTWARE\\V]\n\"kept\"=\"1\"\n\"dropped\"=\"1\"\n\"dropped\"=-\n"
        "[-HKLM\\SOFTWARE\\V\\Gone]\n[-HKLM\\SOFTWARE\\Never]\n"
        "[HKEY_USERS\\HiveFile:C:/U/NTUSER.DAT\\S]\n\"h\"=\"1\"\n\"g\"=\"1\"\n\"g\"=-\n"
        "[-HKEY_USERS\\HiveFile:C:/U/NTUSER.DAT\\T]\n"
        "[HKCU\\Software\\V]\n\"u\"=\"1\"\n[HKLM]\n\"r\"=\"1\"\n";
    std::string deep = "[HKLM\\SOFTWARE";  // deep enough to overflow any recursive walk of it
    for (int i = 0; i < 18000; ++i) deep += "\\d";
    text += deep + "]\n[HKLM\\SOFTWARE\\" + std::string(256, 'n') + "]\n[HKLM\\SOFTWARE\\W]\n\"" +
            std::string(16384, 'v') + "\"=\"x\"\n";
    MemoryPlatform sys;
    RegFileError error;
    std::vector<RegFileError> warnings;
    ASSERT_TRUE(LoadSnapshot(MustParse(text), sys, &error, &warnings));
    EXPECT_FALSE(sys.KeyExists(kHkeyLocalMachine, u"SOFTWARE\\V\\Gone"));
    EXPECT_TRUE(sys.GetValue(kHkeyLocalMachine, u"SOFTWARE\\V", u"kept"));
    EXPECT_FALSE(sys.GetValue(kHkeyLocalMachine, u"SOFTWARE\\V", u"dropped"));
    const auto& hive = sys.hiveFiles.at(u"C:\\U\\NTUSER.DAT");
    ASSERT_TRUE(hive && hive->FindSubkey(u"S"));
    EXPECT_NE(hive->FindSubkey(u"S")->FindValue(u"h"), nullptr);
    EXPECT_EQ(hive->FindSubkey(u"S")->FindValue(u"g"), nullptr);
    ASSERT_EQ(warnings.size(), 5u);
    EXPECT_EQ(warnings[0].line, 15);
    EXPECT_NE(warnings[0].message.find("HKEY_CURRENT_USER is not part of a base"), std::string::npos);
    EXPECT_EQ(warnings[1].line, 17);
    for (int i : {2, 3, 4}) EXPECT_EQ(warnings[i].line, 17 + i) << warnings[i].message;
    EXPECT_FALSE(sys.KeyExists(kHkeyLocalMachine, u"SOFTWARE\\d"));
}

// An output never replaces what is not a regular file: a link is followed and
// its target written, a FIFO is written through; a link and its target are one file.
TEST(FileIoTest, OutputsGoThroughLinksAndFifos) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(testing::TempDir()) / ("km-out-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const auto text = [](const fs::path& p) { return Widen(p.string()); };
    fs::create_symlink("target", dir / "link");
    ASSERT_TRUE(WriteFileBytes(text(dir / "link"), "via link"));
    std::string read;
    EXPECT_TRUE(ReadFileBytes(text(dir / "target"), &read) && read == "via link") << read;
    EXPECT_TRUE(SameFile(text(dir / "link"), text(dir / "." / "target")));
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::thread reader([&] { ReadFileBytes(text(dir / "fifo"), &read); });
    EXPECT_TRUE(WriteFileBytes(text(dir / "fifo"), "through"));
    reader.join();
    EXPECT_EQ(read, "through");
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace km::toolkit
