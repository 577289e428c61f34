// The word-at-a-time paths of decoding and field searching must find what a
// unit-by-unit scan finds, wherever in a word the thing sought stands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/package_file.h"
#include "engine/record_parser.h"
#include "platform/text.h"

namespace km {
namespace {

// --- Decoding ---------------------------------------------------------------

struct Piece {
    std::string bytes;  // as the file holds it
    Text units;         // what it decodes to
};

const Piece kPieces[] = {
    {"\xC3\xA9", u"\u00E9"},                   // two bytes
    {"\xE8\xA8\xAD", u"\u8A2D"},               // three bytes
    {"\xF0\x9F\x94\x91", u"\U0001F511"},       // four bytes, a surrogate pair
    {"\x80", u"\uFFFD"},                       // a stray continuation byte
    {"\xFF", u"\uFFFD"},                       // never valid
    {"\xE8\xA8", u"\uFFFD"},                   // cut short at the end of the line
};

std::vector<Text> Lines(const std::string& bytes) {
    std::vector<Text> lines;
    SplitPackageLines(bytes, [&](TextView line) { lines.emplace_back(line); });
    return lines;
}

Text AsciiRun(std::size_t length, char first) {
    Text run;
    for (std::size_t i = 0; i < length; ++i) run.push_back(char16_t(first + i % 26));
    return run;
}

TEST(ScanFastPathTest, NonAsciiBytesDecodeAtEveryOffsetOfAnAsciiRun) {
    for (const Piece& piece : kPieces) {
        for (std::size_t before = 0; before <= 17; ++before) {
            for (std::size_t after : {0, 1, 7, 8, 9}) {
                const Text head = AsciiRun(before, 'a');
                const Text tail = AsciiRun(after, 'A');
                // A cut-off sequence stands only at the end of its line.
                if (piece.bytes == "\xE8\xA8" && after != 0) continue;
                const std::string bytes =
                    ToUtf8(head) + piece.bytes + ToUtf8(tail) + "\n" + ToUtf8(head) + "\n";
                const std::vector<Text> expected = {head + piece.units + tail, head};
                EXPECT_EQ(Lines(bytes), expected)
                    << "piece of " << piece.bytes.size() << " bytes after " << before
                    << " ASCII bytes, before " << after;
            }
        }
    }
}

TEST(ScanFastPathTest, LongAsciiLinesAndLineEndsAtEveryOffset) {
    for (std::size_t length = 1; length <= 40; ++length) {
        const Text line = AsciiRun(length, 'a');
        const std::string bytes = ToUtf8(line) + "\r\n" + ToUtf8(line);
        const std::vector<Text> expected = {line, line};
        EXPECT_EQ(Lines(bytes), expected) << length;
    }
}

// --- Field search -----------------------------------------------------------

// The cutting rules, unit by unit: a field ends at the next "*@*"; without
// one the field is empty and two characters are dropped.
std::vector<Text> CutFields(TextView line, std::size_t count) {
    std::vector<Text> fields;
    TextView rest = line;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t p = rest.find(u"*@*");
        if (p == TextView::npos) {
            fields.emplace_back();
            rest = rest.size() > 2 ? rest.substr(2) : TextView();
        } else {
            fields.emplace_back(rest.substr(0, p));
            rest = rest.substr(p + 3);
        }
    }
    return fields;
}

// Units that share a byte with "*", "@" or "D", or that are the sought unit
// in another lane of a word.
const Text kLookalikes[] = {
    u"*", u"*@", u"@*", u"**@", u"\u2A40", u"\u402A", u"\u2A2A", u"\u802A", u"\u2A80",
    u"\uFF2A", u"D", u"DELETE_RE", u"\u4400", u"\u0044\u0044",
};

TEST(ScanFastPathTest, FieldsAndRemovalMarkerAtEveryAlignment) {
    for (std::size_t pad = 0; pad <= 8; ++pad) {
        for (const Text& odd : kLookalikes) {
            for (bool removal : {false, true}) {
                // Odd units in the leading field, the value name and the data;
                // padding shifts every separator through the lanes of a word.
                const Text line = odd + AsciiRun(pad, 'a') + u"*@*HKEY_CURRENT_USER*@*K" + odd +
                                  u"*@*" + odd + u"*@*N" + odd + u"*@*REG_SZ*@*All Users*@*" +
                                  odd + u"v" + odd + u"*@*" +
                                  (removal ? u"DELETE_REG" : u"DELETE_RE");
                const std::vector<Text> fields = CutFields(line, 8);
                std::uint8_t groups = 0;
                const PackageRecord record = ParseRecordLine(line, groups);
                const std::string where =
                    "pad " + std::to_string(pad) + ", lookalike " + ToUtf8(odd);
                EXPECT_EQ(record.keyPath, fields[2]) << where;
                EXPECT_EQ(record.valueName, fields[4]) << where;
                EXPECT_EQ(record.typeName, fields[5]) << where;
                EXPECT_EQ(record.target, fields[6]) << where;
                EXPECT_EQ(record.remove, removal ? 1 : 0) << where;
                if (fields[5] == u"REG_SZ") {
                    EXPECT_EQ(record.dataSize, 2 * (fields[7].size() + 1)) << where;
                }
            }
        }
    }
}

TEST(ScanFastPathTest, SeparatorsCutShortOrOverlappingAtTheEndOfALine) {
    const Text lines[] = {
        u"1*@*2*@*3*@", u"1*@*2*@*3*", u"1*@*2*@*3*@*", u"1*@*2*@*3**@*@*4",
        u"*@**@**@**@*", u"1*@*2*@*3*@*4*@*DELETE_REG", u"1*@*2*@*3*@*DELETE_REG",
        u"1*@*2*@*3*@*4*@*5*@*6*@*7*@*8*@*9*@*DELETE_RE", u"1*@*HKEY_CLASSES_ROO",
        u"1*@*xHKEY_CLASSES_ROOTx*@*k", u"1*@*HKEY_LOCAL_MACHINE\\SYSTEM*@*k",
        u"1*@*HKEY_HKEY_LOCAL_MACHINE\\SOFTWARE*@*k",
    };
    const RootKind kinds[] = {Users, Users, Users, Users, Users, Users, Users, Users, Users,
                              ClassesRoot, MachineSystem, MachineSoftware};
    for (std::size_t i = 0; i < std::size(lines); ++i) {
        const TextView line = lines[i];
        const std::vector<Text> fields = CutFields(line, 8);
        std::uint8_t groups = 0;
        const PackageRecord record = ParseRecordLine(line, groups);
        EXPECT_EQ(record.rootKind, kinds[i]) << ToUtf8(line);
        EXPECT_EQ(record.valueName, fields[4]) << ToUtf8(line);
        EXPECT_EQ(record.target, fields[6]) << ToUtf8(line);
        // Every marker of these lines stands in field 4 or later.
        const bool marker = line.find(u"DELETE_REG") != TextView::npos;
        EXPECT_EQ(record.remove, marker ? 1 : 0) << ToUtf8(line);
    }
}

}  // namespace
}  // namespace km
