#include <gtest/gtest.h>

#include "check/plan.h"
#include "check/value_text.h"

namespace km::check {
namespace {

TEST(CheckValueTextTest, ShowsEachTypeAsAPersonReadsIt) {
    struct Case {
        StoredValue value;
        std::string text;
    } cases[] = {
        {{kRegSz, {'a', 0, '"', 0, '\\', 0, 0, 0}}, "REG_SZ \"a\\\"\\\\\""},
        {{kRegSz, {'a', 0}}, "REG_SZ \"a\" (no terminator)"},
        {{kRegSz, {}}, "REG_SZ \"\" (no terminator)"},
        {{kRegExpandSz, {'%', 0, 0, 0}}, "REG_EXPAND_SZ \"%\""},
        // As Keymason writes it: CR LF between the lines, no terminator.
        {{kRegMultiSz, {'a', 0, '\r', 0, '\n', 0, 'b', 0}}, "REG_MULTI_SZ \"a\\r\\nb\""},
        {{kRegMultiSz, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}}, "REG_MULTI_SZ \"a\\0b\\0\""},
        {{kRegSz, {'a', 0, 1}}, "REG_SZ 61 00 01"},
        {{kRegDword, {0x0a, 0, 0, 0}}, "REG_DWORD 0x0000000a (10)"},
        {{kRegDword, {1, 2}}, "REG_DWORD 01 02"},
        {{kRegQword, {0, 0, 0, 0, 1, 0, 0, 0}}, "REG_QWORD 0x0000000100000000 (4294967296)"},
        {{kRegBinary, {0x30, 0x61, 0xff}}, "REG_BINARY 30 61 ff"},
        {{kRegBinary, {}}, "REG_BINARY (no data)"},
        {{kRegBinary, Bytes(40, 1)},
         "REG_BINARY 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 "
         "01 01 ... (40 bytes)"},
        {{0x1234, {5}}, "type 0x1234 05"},
        {{0, {}}, "REG_NONE (no data)"},
    };
    for (const Case& c : cases) EXPECT_EQ(ValueText(c.value), c.text);
    // Controls of every kind escaped, a pair of surrogates whole, a lone one escaped.
    const std::pair<Text, std::string> shown[] = {
        {u"tab\there\x01", "\"tab\\there\\x01\""},
        {u"del\x7F c1\x85 ls\u2028", "\"del\\x7f c1\\x85 ls\\u2028\""},
        {u"\U0001F600", "\"\xF0\x9F\x98\x80\""},
        {Text(u"lone ") + char16_t(0xD83D), "\"lone \\ud83d\""},
    };
    for (const auto& [text, quoted] : shown) EXPECT_EQ(QuotedText(text), quoted);
    EXPECT_EQ(ShownText(u"K\\a\nb"), "K\\a\\nb");
}

TEST(CheckValueTextTest, APerUserLineOnAMachineWithoutProfilesSaysSo) {
    MemoryPlatform sys;  // no profile list at all
    PlanInput input{"pkg.dat", "1*@*HKEY_CURRENT_USER*@*Software\\V*@**@*N*@*REG_SZ*@*All Users*@*x*@*\n", "base.reg", {}};
    const std::string report = RunPlan(input, sys);
    EXPECT_NE(report.find("profiles: none\n"), std::string::npos) << report;
    EXPECT_NE(report.find("  reaches no profile: the machine's profile list holds none\n"), std::string::npos) << report;
}

}  // namespace
}  // namespace km::check
