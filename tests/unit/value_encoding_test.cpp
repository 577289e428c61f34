#include <gtest/gtest.h>

#include <optional>

#include "engine/record_parser.h"
#include "engine/value_encoding.h"
#include "platform/memory/memory_platform.h"
#include "platform/text.h"
#include "tests/support/fault_platform.h"

namespace km {
namespace {

PackageRecord Encoded(TextView type, TextView field) {
    PackageRecord record;
    record.typeName = Text(type);
    EncodeValueData(record, field);
    return record;
}

std::string Hex(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

constexpr std::uint64_t kWrap = 0;  // 2^64 modulo 2^64

TEST(ValueEncodingTest, NumberFieldsReadFixedDigitPositions) {
    struct Case { TextView type, field; std::uint64_t number; } cases[] = {
        {u"REG_DWORD", u"0x0000000A", 10},
        {u"REG_DWORD", u"0x0000000a", 10},
        {u"reg_dword", u"0x0000000A", 10},
        {u"REG_DWORD", u"0x12345678", 0x12345678},
        {u"REG_DWORD", u"0xFFFFFFFF", 0xFFFFFFFF},
        {u"REG_DWORD", u"0xabcdef09", 0xABCDEF09},
        {u"REG_DWORD", u"0x000000001", 0},   // the eleventh character is not read
        {u"REG_DWORD", u"zz0000000A", 10},   // neither are the first two
        {u"REG_DWORD", u"0x0000000G", kWrap - 16},
        {u"REG_DWORD", u"0x0000000/", kWrap - 1},
        {u"REG_DWORD", u"0x0000000z", 35},
        {u"REG_DWORD", u"0x0000000 ", kWrap - 16},
        {u"REG_DWORD", u"0x0000000\u00FF", 168},
        {u"REG_DWORD", u"0x00000010", 16},
        {u"REG_QWORD", u"0x0000000100000000", 0x100000000ull},
        {u"REG_QWORD", u"0xFFFFFFFFFFFFFFFF", 0xFFFFFFFFFFFFFFFFull},
        {u"Reg_QWord", u"0x123456789abcdef0", 0x123456789ABCDEF0ull},
        {u"REG_QWORD", u"0x00000000000000010", 1},
        {u"REG_QWORD", u"0xG000000000000000", 0},  // 16 x 16^15 wraps to zero
    };
    for (const auto& c : cases) {
        const PackageRecord r = Encoded(c.type, c.field);
        EXPECT_EQ(r.number, c.number) << ToUtf8(c.type) << " " << ToUtf8(c.field);
        EXPECT_FALSE(r.unencodable) << ToUtf8(c.field);
        EXPECT_TRUE(r.data.empty()) << ToUtf8(c.field);
        EXPECT_EQ(r.dataSize, 0u) << ToUtf8(c.field);
    }
}

// A digit field too short to hold its digits is never read past its end nor guessed.
TEST(ValueEncodingTest, ShortNumberFieldsAreUnencodable) {
    struct Case { TextView type, field; bool unencodable; } cases[] = {
        {u"REG_DWORD", u"", true},
        {u"REG_DWORD", u"0x", true},
        {u"REG_DWORD", u"0x0000000", true},
        {u"REG_DWORD", u"0x00000001", false},
        {u"REG_QWORD", u"0x0000000000000000", false},
        {u"REG_QWORD", u"0x000000000000000", true},
        {u"REG_QWORD", u"0x00000001", true},
    };
    for (const auto& c : cases) {
        const PackageRecord r = Encoded(c.type, c.field);
        EXPECT_EQ(r.unencodable, c.unencodable) << ToUtf8(c.type) << " " << ToUtf8(c.field);
        if (c.unencodable) {
            EXPECT_EQ(r.number, 0u) << ToUtf8(c.field);
        }
    }
}

TEST(ValueEncodingTest, BufferedTypesStoreTheirBytesAndSize) {
    const Text longBinary(300, u'b');
    struct Case {
        TextView type, field;
        Bytes data;  // the whole buffer, terminator included
        std::uint32_t dataSize;
    } cases[] = {
        {u"REG_SZ", u"abc", {0x61, 0, 0x62, 0, 0x63, 0, 0, 0}, 8},
        {u"REG_SZ", u"", {0, 0}, 2},
        {u"REG_SZ", u"\u00E9\u20AC", {0xE9, 0x00, 0xAC, 0x20, 0, 0}, 6},
        {u"REG_SZ", u"\U0001F511", {0x3D, 0xD8, 0x11, 0xDD, 0, 0}, 6},
        {u"REG_EXPAND_SZ", u"%P%", {0x25, 0, 0x50, 0, 0x25, 0, 0, 0}, 8},
        {u"REG_NONE", u"ab", {0x61, 0, 0x62, 0, 0, 0}, 6},
        {u"", u"a", {0x61, 0, 0, 0}, 4},
        {u"REG_MULTI_SZ", u"a*BreakLine*b", {0x61, 0, 0x0D, 0, 0x0A, 0, 0x62, 0, 0, 0}, 8},
        {u"REG_MULTI_SZ", u"a*breakline*b", {}, 26},  // bytes checked by size only
        {u"REG_MULTI_SZ", u"", {0, 0}, 0},
        {u"REG_MULTI_SZ", u"*BreakLine*", {0x0D, 0, 0x0A, 0, 0, 0}, 4},
        {u"REG_MULTI_SZ", u"x*BreakLine**BreakLine*y",
         {0x78, 0, 0x0D, 0, 0x0A, 0, 0x0D, 0, 0x0A, 0, 0x79, 0, 0, 0}, 12},
        // Occurrences do not overlap: the second "*BreakLine*" shares a star.
        {u"REG_MULTI_SZ", u"*BreakLine*BreakLine*", {}, 2 * 12},
        {u"REG_BINARY", u"01,02", {0x30, 0x31, 0x30, 0x32, 0}, 4},
        {u"REG_BINARY", u"0a,ff", {0x30, 0x61, 0x66, 0x66, 0}, 4},
        {u"REG_BINARY", u"", {0}, 0},
        {u"REG_BINARY", u",,,", {0}, 0},
        {u"reg_binary", u"\u00FF,\u0001", {0xFF, 0x01, 0}, 2},
        {u"REG_BINARY", longBinary, {}, 300},  // stored whole
    };
    for (const auto& c : cases) {
        const PackageRecord r = Encoded(c.type, c.field);
        SCOPED_TRACE(ToUtf8(c.type) + " " + ToUtf8(c.field));
        if (!c.data.empty()) {
            EXPECT_EQ(Hex(r.data), Hex(c.data));
        }
        EXPECT_EQ(r.dataSize, c.dataSize);
        EXPECT_GE(r.data.size(), r.dataSize);
        EXPECT_EQ(r.number, 0u);
        EXPECT_FALSE(r.unencodable);
    }
}

TEST(ValueEncodingTest, MultiTextKeepsTextAroundOverlappingMarkers) {
    const PackageRecord r = Encoded(u"REG_MULTI_SZ", u"*BreakLine*BreakLine*");
    const Text expected = u"\r\nBreakLine*";
    ASSERT_EQ(r.dataSize, 2 * expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(char16_t(r.data[2 * i] | (r.data[2 * i + 1] << 8)), expected[i]) << i;
}

// A character that does not fit a byte is never stored cut down to one.
TEST(ValueEncodingTest, BinaryCharacterAboveByteRangeIsUnencodable) {
    for (TextView field : {TextView(u"\u0100"), TextView(u"01,\u20AC"), TextView(u"\U0001F511")}) {
        const PackageRecord r = Encoded(u"REG_BINARY", field);
        EXPECT_TRUE(r.unencodable) << ToUtf8(field);
        EXPECT_EQ(r.dataSize, 0u) << ToUtf8(field);
    }
}

TEST(ValueEncodingTest, TypeCodesIgnoreAsciiCaseOnly) {
    struct Case { TextView name; std::optional<std::uint32_t> code; } cases[] = {
        {u"REG_SZ", 1u},        {u"reg_sz", 1u},        {u"REG_EXPAND_SZ", 2u},
        {u"REG_BINARY", 3u},    {u"REG_DWORD", 4u},     {u"Reg_Dword", 4u},
        {u"REG_MULTI_SZ", 7u},  {u"REG_QWORD", 11u},    {u"REG_NONE", std::nullopt},
        {u"REG_SZ ", std::nullopt}, {u"", std::nullopt}, {u"REG_DWORD_BIG_ENDIAN", std::nullopt},
        {u"REG_\u017FZ", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ValueTypeCode(c.name), c.code) << ToUtf8(c.name);
}

// ---- Writing values through the registry seam. ----

class WriteRecordValueTest : public ::testing::Test {
protected:
    void SetUp() override {
        registry.CreateKey(kHkeyLocalMachine, u"SOFTWARE\\Vendor");
        registry.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor", u"Old", kRegSz, {0x41, 0, 0, 0});
        registry.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor", u"", kRegSz, {0x42, 0, 0, 0});
        ASSERT_TRUE(registry.RegOpenKeyExW(kHkeyLocalMachine, u"SOFTWARE\\Vendor", 0,
                                           kKeyAllAccess | kKeyWow64_64Key, &key));
    }
    void TearDown() override { registry.RegCloseKey(key); }

    // Parses a value line of the given type, name and data, with the marker when asked.
    static PackageRecord Line(TextView type, TextView name, TextView data, bool remove = false) {
        Text line = u"1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*Vendor*@**@*";
        line.append(name).append(u"*@*").append(type).append(u"*@*All Users*@*").append(data);
        line.append(u"*@*").append(remove ? u"DELETE_REG" : u"").append(u"*@*");
        std::uint8_t groups = 0;
        return ParseRecordLine(line, groups);
    }

    std::optional<StoredValue> Stored(const Text& name) const {
        return registry.GetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor", name);
    }

    MemoryPlatform registry;
    FaultPlatform seam{registry};
    RegKey key = 0;
};

TEST_F(WriteRecordValueTest, SetsEachTypeWithItsCodeAndBytes) {
    struct Case { TextView type, data; std::uint32_t code; Bytes stored; } cases[] = {
        {u"REG_SZ", u"abc", kRegSz, {0x61, 0, 0x62, 0, 0x63, 0, 0, 0}},
        {u"REG_EXPAND_SZ", u"%P%", kRegExpandSz, {0x25, 0, 0x50, 0, 0x25, 0, 0, 0}},
        {u"REG_BINARY", u"01,02", kRegBinary, {0x30, 0x31, 0x30, 0x32}},
        {u"REG_BINARY", u"", kRegBinary, {}},
        {u"reg_dword", u"0x0000000A", kRegDword, {0x0A, 0, 0, 0}},
        {u"REG_DWORD", u"0xFFFFFFFF", kRegDword, {0xFF, 0xFF, 0xFF, 0xFF}},
        {u"REG_DWORD", u"0x0000000G", kRegDword, {0xF0, 0xFF, 0xFF, 0xFF}},
        {u"REG_QWORD", u"0x0000000100000000", kRegQword, {0, 0, 0, 0, 1, 0, 0, 0}},
        {u"REG_MULTI_SZ", u"a*BreakLine*b", kRegMultiSz, {0x61, 0, 0x0D, 0, 0x0A, 0, 0x62, 0}},
        {u"REG_MULTI_SZ", u"", kRegMultiSz, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.type) + " " + ToUtf8(c.data));
        seam.ClearCalls();
        WriteRecordValue(seam, Line(c.type, u"V", c.data), key);

        const auto calls = seam.CallsOf(SeamOp::RegSetValueExW);
        ASSERT_EQ(calls.size(), 1u) << seam.CallLog();
        EXPECT_EQ(calls[0].key, key);
        EXPECT_EQ(calls[0].valueName, u"V");
        EXPECT_EQ(calls[0].reserved, 0u);
        EXPECT_EQ(calls[0].type, c.code);
        EXPECT_EQ(Hex(calls[0].data), Hex(c.stored));
        EXPECT_EQ(seam.Calls().size(), 1u) << seam.CallLog();

        const auto stored = Stored(u"V");
        ASSERT_TRUE(stored.has_value()) << registry.Dump();
        EXPECT_EQ(stored->type, c.code);
        EXPECT_EQ(Hex(stored->data), Hex(c.stored));
    }
}

TEST_F(WriteRecordValueTest, RemovalDeletesTheValueWhateverTheType) {
    for (TextView type : {u"REG_SZ", u"REG_DWORD", u"REG_NONE", u"reg_qword"}) {
        SCOPED_TRACE(ToUtf8(type));
        registry.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor", u"Old", kRegSz, {0x41, 0, 0, 0});
        seam.ClearCalls();
        WriteRecordValue(seam, Line(type, u"Old", u"0x0000000A", true), key);

        const auto calls = seam.CallsOf(SeamOp::RegDeleteKeyValueW);
        ASSERT_EQ(calls.size(), 1u) << seam.CallLog();
        EXPECT_EQ(calls[0].key, key);
        EXPECT_FALSE(calls[0].hasSubKey);
        EXPECT_EQ(calls[0].valueName, u"Old");
        EXPECT_EQ(seam.Calls().size(), 1u) << seam.CallLog();
        EXPECT_FALSE(Stored(u"Old").has_value()) << registry.Dump();
    }
}

TEST_F(WriteRecordValueTest, EmptyNameSetsAndDeletesTheDefaultValue) {
    WriteRecordValue(seam, Line(u"REG_SZ", u"", u"d"), key);
    auto stored = Stored(u"");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(Hex(stored->data), "64 00 00 00");

    WriteRecordValue(seam, Line(u"REG_SZ", u"", u"", true), key);
    EXPECT_FALSE(Stored(u"").has_value()) << registry.Dump();
    EXPECT_TRUE(Stored(u"Old").has_value());
}

TEST_F(WriteRecordValueTest, NothingIsSetWithoutACodeOrWithoutEncodableData) {
    struct Case { TextView type, data; } cases[] = {
        {u"REG_NONE", u"abc"},
        {u"REG_SZ ", u"abc"},
        {u"REG_DWORD", u"0x0000000"},
        {u"REG_QWORD", u"0x00000001"},
        {u"REG_BINARY", u"\u0100"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.type) + " " + ToUtf8(c.data));
        seam.ClearCalls();
        WriteRecordValue(seam, Line(c.type, u"V", c.data), key);
        EXPECT_TRUE(seam.Calls().empty()) << seam.CallLog();
        EXPECT_FALSE(Stored(u"V").has_value());

        // A removal line still deletes.
        registry.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor", u"V", kRegSz, {0, 0});
        WriteRecordValue(seam, Line(c.type, u"V", c.data, true), key);
        EXPECT_EQ(seam.CallsOf(SeamOp::RegDeleteKeyValueW).size(), 1u) << seam.CallLog();
        EXPECT_FALSE(Stored(u"V").has_value());
    }
}

}  // namespace
}  // namespace km
