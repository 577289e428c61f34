#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/package_file.h"
#include "engine/record_parser.h"
#include "platform/memory/memory_platform.h"
#include "platform/text.h"
#include "tests/support/fault_platform.h"

namespace km {
namespace {

std::vector<Text> Lines(std::string_view bytes) {
    std::vector<Text> lines;
    SplitPackageLines(bytes, [&](TextView line) { lines.emplace_back(line); });
    return lines;
}

std::string Show(const std::vector<Text>& lines) {
    std::string out;
    for (const Text& line : lines) {
        out += "[";
        for (char16_t c : line) {
            if (c >= 0x20 && c < 0x7F) {
                out += char(c);
            } else {
                char hex[12];
                std::snprintf(hex, sizeof hex, "<%04X>", unsigned(c));
                out += hex;
            }
        }
        out += "]";
    }
    return out;
}

using namespace std::string_literals;  // "...\0..."s keeps NUL bytes

TEST(PackageLinesTest, LineEndsAndByteOrderMarks) {
    struct Case { const char* what; std::string bytes; std::vector<Text> lines; } cases[] = {
        {"empty file", "", {}},
        {"last line without line end", "a", {u"a"}},
        {"one line end at the end", "a\n", {u"a"}},
        {"two line ends at the end", "a\n\n", {u"a", u""}},
        {"CR LF", "a\r\nb\r\n", {u"a", u"b"}},
        {"CR LF, then a last line", "a\r\nb", {u"a", u"b"}},
        {"lone CR stays in the line", "a\rb\n", {u"a\rb"}},
        {"lone CR at the end of the file", "a\r", {u"a\r"}},
        {"CR before CR LF", "a\r\r\n", {u"a\r"}},
        {"only a line end", "\n", {u""}},
        {"only CR LF twice", "\r\n\r\n", {u"", u""}},
        {"LF CR", "a\n\rb", {u"a", u"\rb"}},
        {"NUL does not end a line", "a\0b\nc"s, {u"a\0b"s, u"c"}},
        {"UTF-8 mark", "\xEF\xBB\xBF" "a\nb", {u"a", u"b"}},
        {"UTF-8 mark only", "\xEF\xBB\xBF", {}},
        {"UTF-8 mark, line end", "\xEF\xBB\xBF\n", {u""}},
        {"UTF-8 mark twice", "\xEF\xBB\xBF\xEF\xBB\xBFx", {u"\uFEFFx"}},
        {"UTF-8 mark cut short", "\xEF\xBB" "a", {u"\uFFFD" "a"}},
        {"UTF-16 big-endian mark is not known", "\xFE\xFF", {u"\uFFFD\uFFFD"}},
        {"UTF-16LE", "\xFF\xFE" "a\0\n\0b\0"s, {u"a", u"b"}},
        {"UTF-16LE mark only", "\xFF\xFE", {}},
        {"UTF-16LE CR LF, two at the end", "\xFF\xFE" "a\0\r\0\n\0\r\0\n\0"s, {u"a", u""}},
        {"UTF-16LE lone CR", "\xFF\xFE" "a\0\r\0b\0"s, {u"a\rb"}},
        {"UTF-16LE odd last byte dropped", "\xFF\xFE" "a\0b"s, {u"a"}},
        {"UTF-16LE odd byte after a line end", "\xFF\xFE" "a\0\n\0b"s, {u"a"}},
        {"UTF-16LE LF byte inside a unit", "\xFF\xFE\x0A\x0D\x0D\x0A", {u"\u0D0A\u0A0D"}},
        {"UTF-16LE NUL unit", "\xFF\xFE\0\0x\0"s, {u"\0x"s}},
        {"UTF-16LE pair", "\xFF\xFE\x3D\xD8\x11\xDD", {u"\U0001F511"}},
        {"UTF-16LE non-ASCII", "\xFF\xFE\xAC\x20\xE9\x00"s, {u"\u20AC\u00E9"}},
        {"UTF-16LE with UTF-8 mark after it", "\xFF\xFE\xEF\xBB", {u"\uBBEF"}},
    };
    for (const auto& c : cases) EXPECT_EQ(Show(Lines(c.bytes)), Show(c.lines)) << c.what;
}

// Each maximal ill-formed subpart becomes one U+FFFD; the byte that breaks a
// sequence starts the next one.
TEST(PackageLinesTest, Utf8DecodingIsExact) {
    const Text r1 = u"\uFFFD";
    struct Case { const char* what; std::string bytes; Text text; } cases[] = {
        {"two bytes", "\xC3\xA9", u"\u00E9"},
        {"three bytes", "\xE2\x82\xAC", u"\u20AC"},
        {"four bytes make a pair", "\xF0\x9F\x94\x91", u"\U0001F511"},
        {"smallest of each length", "\xC2\x80\xE0\xA0\x80\xF0\x90\x80\x80", u"\u0080\u0800\U00010000"},
        {"largest of each length", "\xDF\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF", u"\u07FF\uFFFF\U0010FFFF"},
        {"around the surrogates", "\xED\x9F\xBF\xEE\x80\x80", u"\uD7FF\uE000"},
        {"encoded U+FFFD", "\xEF\xBF\xBD", r1},
        {"overlong two bytes", "\xC0\x80", r1 + r1},
        {"overlong two bytes, C1", "\xC1\xBF", r1 + r1},
        {"overlong three bytes", "\xE0\x80\x80", r1 + r1 + r1},
        {"overlong four bytes", "\xF0\x80\x80\x80", r1 + r1 + r1 + r1},
        {"surrogate", "\xED\xA0\x80", r1 + r1 + r1},
        {"last surrogate", "\xED\xBF\xBF", r1 + r1 + r1},
        {"above U+10FFFF", "\xF4\x90\x80\x80", r1 + r1 + r1 + r1},
        {"F5 lead", "\xF5\x80\x80\x80", r1 + r1 + r1 + r1},
        {"FF", "\xFF", r1},
        {"lone continuation bytes", "\x80\xBF", r1 + r1},
        {"three-byte sequence cut at the end", "\xE2\x82", r1},
        {"four-byte sequence cut at the end", "\xF0\x9F\x94", r1},
        {"lead only at the end", "a\xC3", u"a" + r1},
        {"sequence cut by ASCII", "\xE2\x82" "a", r1 + u"a"},
        {"sequence cut by a lead", "\xE2\xE2\x82\xAC", r1 + u"\u20AC"},
        {"sequence cut by a line end", "a\xF0\x9F\n", u"a" + r1},
        {"valid after invalid", "\xC3\xA9\xFF\xC3\xA9", u"\u00E9" + r1 + u"\u00E9"},
    };
    for (const auto& c : cases) {
        const std::vector<Text> lines = Lines(c.bytes);
        ASSERT_EQ(lines.size(), 1u) << c.what;
        EXPECT_EQ(Show(lines), Show({c.text})) << c.what;
    }
}

// ---- Reading a file into records. ----

class ReadPackageFileTest : public ::testing::Test {
protected:
    // Reads dataPath into records and targetGroups.
    PackageReadResult Read() {
        PackageContents read = ReadPackageFile(seam, dataPath);
        records = DecodeAll(read.lines);
        targetGroups = read.targetGroups;
        return read.result;
    }

    static constexpr const char16_t* kPath = u"r:\\install.reg.dat";
    MemoryPlatform sys;
    FaultPlatform seam{sys};
    Text dataPath = kPath;
    RecordList records;
    std::uint8_t targetGroups = 0;
};

TEST_F(ReadPackageFileTest, MissingOrUnopenableFileGivesNoRecords) {
    sys.files[u"r:\\locked.dat"] = "1*@*X*@*K*@**@*N*@*REG_SZ*@*User*@*v*@*\n";
    sys.unreadableFiles.insert(u"r:\\locked.dat");
    for (const char16_t* path : {kPath, u"r:\\locked.dat"}) {
        dataPath = path;
        targetGroups = 0xFF;
        EXPECT_EQ(Read(), PackageReadResult::NotOpened) << ToUtf8(path);
        EXPECT_TRUE(records.empty());
        EXPECT_EQ(targetGroups, 0);
    }
}

TEST_F(ReadPackageFileTest, OneRecordPerLineInFileOrder) {
    sys.files[kPath] =
        "\xEF\xBB\xBF"
        "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*Vendor\\Tool*@**@*Level*@*REG_DWORD*@*All Users*@*0x0000000A*@*\r\n"
        "2*@*HKEY_CURRENT_USER*@*Software\\Classes\\.ext*@**@**@*REG_SZ*@*Administrator*@*Schl\xC3\xBCssel*@*\r\n"
        "\r\n"
        "3*@*HKEY_CLASSES_ROOT*@*Foo*@*True*@*DELETE_REG\r\n"
        "4*@*HKEY_CURRENT_USER*@*Bar*@*true*@**@**@*User*@*\n"
        "\n";
    targetGroups = 0x80;  // a read tells only its own lines' groups
    ASSERT_EQ(Read(), PackageReadResult::Opened);
    ASSERT_EQ(records.size(), 6u);

    EXPECT_EQ(records[0].keyPath, u"SOFTWARE\\Vendor\\Tool");
    EXPECT_EQ(records[0].number, 10u);
    EXPECT_EQ(records[1].rootKind, Users);
    EXPECT_EQ(records[1].keyPath, u".ext");
    EXPECT_EQ(records[1].dataSize, 2u * (9 + 1));
    EXPECT_EQ(records[1].data[2 * 4], 0xFC);  // the u with umlaut, UTF-8 decoded
    EXPECT_EQ(records[2].rootKind, Users);     // the empty line
    EXPECT_TRUE(records[2].keyPath.empty());
    EXPECT_EQ(records[3].rootKind, ClassesRoot);
    EXPECT_EQ(records[3].keyOnly, 1);
    EXPECT_EQ(records[3].remove, 1);
    EXPECT_EQ(records[4].keyOnly, 1);
    EXPECT_EQ(records[4].target, u"User");
    EXPECT_TRUE(records[5].keyPath.empty());  // the last of two line ends

    EXPECT_EQ(targetGroups, 0x20 | 0x01);
    EXPECT_EQ(seam.CallsOf(SeamOp::ReadWholeFile).size(), 1u);
}

TEST_F(ReadPackageFileTest, EachReadHoldsOnlyItsFilesLines) {
    sys.files[kPath] = "a\nb";
    for (int read = 0; read < 2; ++read) {
        const PackageContents contents = ReadPackageFile(seam, kPath);
        EXPECT_EQ(contents.result, PackageReadResult::Opened);
        EXPECT_EQ(contents.lines.size(), 2u);
    }
}

TEST_F(ReadPackageFileTest, Utf16FileIsRead) {
    const std::u16string text = u"\uFEFF1*@*HKEY_CLASSES_ROOT*@*\u30AD\u30FC*@*True*@*\r\n2*@*X*@*K*@*";
    std::string bytes;
    for (char16_t c : text) {
        bytes += char(c & 0xFF);
        bytes += char(c >> 8);
    }
    sys.files[kPath] = bytes;
    ASSERT_EQ(Read(), PackageReadResult::Opened);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].keyPath, u"\u30AD\u30FC");
    EXPECT_EQ(records[0].keyOnly, 1);
    EXPECT_EQ(records[1].rootKind, Users);
}

// A line cut off by a read error could name the wrong key or value: only the
// lines read up to their line end become records.
TEST_F(ReadPackageFileTest, ReadErrorKeepsCompleteLinesOnly) {
    const std::string first = "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*Vendor*@*True*@*\r\n";
    const std::string second = "2*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*Vendor\\Tool*@*True*@*\r\n";
    sys.files[kPath] = first + second;
    struct Case { std::size_t readBytes; std::size_t records; } cases[] = {
        {0, 0},
        {first.size() - 1, 0},  // the LF is missing
        {first.size(), 1},
        {first.size() + 20, 1},
        {first.size() + second.size(), 2},
    };
    for (const auto& c : cases) {
        records.clear();
        sys.readErrorAfter[kPath] = c.readBytes;
        EXPECT_EQ(Read(), PackageReadResult::ReadError) << c.readBytes;
        EXPECT_EQ(records.size(), c.records) << c.readBytes;
    }
    EXPECT_EQ(records.back().keyPath, u"SOFTWARE\\Vendor\\Tool");
}

TEST_F(ReadPackageFileTest, HundredMegabyteLine) {
    const std::size_t dataSize = 100u << 20;
    std::string line = "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*K*@**@*N*@*REG_BINARY*@*All Users*@*";
    line.append(dataSize, 'x');
    line += "*@*DELETE_REG\n";
    sys.files[kPath] = std::move(line);
    ASSERT_EQ(Read(), PackageReadResult::Opened);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].dataSize, dataSize);
    EXPECT_EQ(records[0].remove, 1);
}

TEST_F(ReadPackageFileTest, MillionLines) {
    const std::size_t count = 1000000;
    std::string bytes;
    bytes.reserve(count * 48);
    for (std::size_t i = 0; i < count; ++i) {
        bytes += "1*@*HKEY_CURRENT_USER*@*K*@**@*V";
        bytes += std::to_string(i);
        bytes += "*@*REG_DWORD*@*User*@*0x0000000A*@*\r\n";
    }
    sys.files[kPath] = std::move(bytes);

    // Held as lines and decoded one at a time, as the pass reads it.
    const PackageContents read = ReadPackageFile(seam, kPath);
    ASSERT_EQ(read.lines.size(), count);
    RecordReader reader(read.lines);
    EXPECT_EQ(reader.Read(0).valueName, u"V0");
    EXPECT_EQ(reader.Read(count - 1).valueName, u"V999999");
    EXPECT_EQ(reader.Read(count - 1).number, 10u);
    targetGroups = read.targetGroups;
    EXPECT_EQ(targetGroups, 0x01);
}

// The reader reuses one record from line to line: whatever line came before,
// a line reads as it does on its own.
TEST(RecordReaderTest, NothingCarriesOverFromTheLineBefore) {
    const std::string lines[] = {
        "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V\\Tool*@**@*Name*@*REG_SZ*@*All Users*@*text*@*",
        "2*@*HKEY_CURRENT_USER*@*Software\\Classes\\.x*@**@*N*@*REG_MULTI_SZ*@*User*@*a*BreakLine*b*@*",
        "3*@*HKEY_CLASSES_ROOT*@*Foo*@*True*@*DELETE_REG",
        "4*@*HKEY_CURRENT_USER*@*K*@*True*@**@**@*Administrator*@*",
        "5*@*HKEY_LOCAL_MACHINE\\SYSTEM*@*K*@**@*Q*@*REG_QWORD*@**@*0x0000000000000010*@*",
        "6*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*K*@**@*B*@*REG_BINARY*@**@*\xE3\x82\xAD*@*",  // unencodable
        "7*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*K*@**@*D*@*REG_DWORD*@**@*0x1*@*",  // too short
        "8*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*K*@**@*D*@*REG_BINARY*@**@*ab*@*DELETE_REG",
        "",
    };
    std::string file;
    for (const std::string& line : lines) file += line + "\r\n";
    const PackageContents package = ParsePackage(file);
    const RecordList fresh = DecodeAll(package.lines);
    ASSERT_EQ(fresh.size(), std::size(lines));
    auto same = [](const PackageRecord& a, const PackageRecord& b) {
        return a.rootKey == b.rootKey && a.rootKind == b.rootKind && a.keyOnly == b.keyOnly && a.remove == b.remove &&
               a.classesKey == b.classesKey && a.keyPath == b.keyPath && a.valueName == b.valueName &&
               a.typeName == b.typeName && a.data == b.data && a.dataSize == b.dataSize &&
               a.unencodable == b.unencodable && a.number == b.number && a.target == b.target;
    };
    const std::vector<Text> decoded = Lines(file);
    for (std::size_t before = 0; before < fresh.size(); ++before) {
        for (std::size_t line = 0; line < fresh.size(); ++line) {
            RecordReader reader(package.lines);
            reader.Read(before);
            std::uint8_t groups = 0;
            const PackageRecord alone = ParseRecordLine(decoded[line], groups);
            EXPECT_TRUE(same(reader.Read(line), alone)) << "line " << line + 1 << " after line " << before + 1;
        }
    }
}

}  // namespace
}  // namespace km
