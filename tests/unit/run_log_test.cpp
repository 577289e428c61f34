#include <gtest/gtest.h>

#include "engine/run_log.h"
#include "platform/memory/memory_platform.h"
#include "platform/text.h"
#include "tests/support/fault_platform.h"

namespace km {
namespace {

const Text kLogFolder = u"C:\\Velmar\\logs";
const Text kLogPath = u"C:\\Velmar\\logs\\keymason.log";
// The in-memory clock's default: 5 March 2024, 09:07:02.
const std::string kStamp = "[2024-03-05 09:07:02]";

std::string Spaces(std::size_t n) { return std::string(n, ' '); }

class RunLogTest : public ::testing::Test {
protected:
    RunLogTest() {
        sys.folders.insert(kLogFolder);
        state.logPath = kLogPath;
    }
    std::string LogFile() const {
        auto it = sys.files.find(kLogPath);
        return it == sys.files.end() ? "<no file>" : it->second;
    }
    MemoryPlatform sys;
    FaultPlatform seam{sys};
    RunState state;
};

TEST_F(RunLogTest, EachFormStoresItsExactBytes) {
    struct Case {
        const char* name;
        std::string source;
        std::int32_t line;
        std::string label;
        std::string text;
        std::string stored;
    } cases[] = {
        {"labelled", "keymason", 256, "DAT", "r:\\install.reg.dat",
         kStamp + " keymason(256)" + Spaces(17) + " [DAT] r:\\install.reg.dat\r\r\n"},
        {"unlabelled", "keymason", 1, "", "text",
         kStamp + " keymason(1)" + Spaces(19) + " text\r\r\n"},
        {"one-character label", "keymason", 1, "x", "text",
         kStamp + " keymason(1)" + Spaces(19) + " [x] text\r\r\n"},
        {"EMPTYLINE has no timestamp", "keymason", 1, "label", "EMPTYLINE", "\r\n"},
        {"EMPTYSTRING is a timestamp alone", "keymason", 1, "label", "EMPTYSTRING",
         kStamp + "\r\r\n"},
        {"lower-case emptyline is ordinary", "keymason", 1, "", "emptyline",
         kStamp + " keymason(1)" + Spaces(19) + " emptyline\r\r\n"},
        {"EMPTYLINE with a space is ordinary", "keymason", 1, "", "EMPTYLINE ",
         kStamp + " keymason(1)" + Spaces(19) + " EMPTYLINE \r\r\n"},
        {"line breaks of the text become spaces", "keymason", 1, "", "a\nb\rc\r\n",
         kStamp + " keymason(1)" + Spaces(19) + " a b c  \r\r\n"},
        {"line breaks of the label are kept", "keymason", 1, "l\nm", "t",
         kStamp + " keymason(1)" + Spaces(19) + " [l\r\nm] t\r\r\n"},
        {"tag of exactly 30 characters", std::string(27, 's'), 1, "", "t",
         kStamp + " " + std::string(27, 's') + "(1) t\r\r\n"},
        {"longer tag is written whole", std::string(40, 's'), 123, "", "t",
         kStamp + " " + std::string(40, 's') + "(123) t\r\r\n"},
        {"negative line number", "src", -5, "", "t",
         kStamp + " src(-5)" + Spaces(23) + " t\r\r\n"},
        {"label ending at a NUL counts as empty", "keymason", 1, std::string("\0x", 2), "t",
         kStamp + " keymason(1)" + Spaces(19) + " t\r\r\n"},
    };
    for (const auto& c : cases) {
        sys.files.erase(kLogPath);
        WriteLogEntry(seam, state, c.source, c.line, c.label, c.text);
        EXPECT_EQ(LogFile(), c.stored) << c.name;
    }
}

TEST_F(RunLogTest, VersionEntryIsSeventyThreeBytes) {
    LogNamedValue(seam, state, u"Version", u"1.0.0.2", 254);
    const std::string expected =
        "[2024-03-05 09:07:02] keymason(254)                  [Version] 1.0.0.2\r\r\n";
    EXPECT_EQ(LogFile(), expected);
    EXPECT_EQ(LogFile().size(), 73u);
}

TEST_F(RunLogTest, EntriesAreAppendedToAnExistingFile) {
    sys.files[kLogPath] = "earlier run\r\n";
    LogNamedValue(seam, state, u"A", u"one", 1);
    LogNamedValue(seam, state, u"B", u"two", 2);
    EXPECT_EQ(LogFile(), "earlier run\r\n" + kStamp + " keymason(1)" + Spaces(19) +
                             " [A] one\r\r\n" + kStamp + " keymason(2)" + Spaces(19) +
                             " [B] two\r\r\n");
}

TEST_F(RunLogTest, EmptyLogPathTouchesNothingUntilItIsSet) {
    state.logPath.clear();
    LogNamedValue(seam, state, u"Version", u"1.0.0.2", 254);
    WriteLogEntry(seam, state, "keymason", 1, "", "EMPTYLINE");
    LogWow64Failure(seam, state, 5);
    EXPECT_TRUE(seam.Calls().empty()) << seam.CallLog();  // not even the clock
    EXPECT_TRUE(sys.files.empty());

    state.logPath = kLogPath;
    WriteLogEntry(seam, state, "keymason", 1, "", "EMPTYLINE");
    EXPECT_EQ(LogFile(), "\r\n");
}

TEST_F(RunLogTest, UnwritableFileLosesTheEntryOnly) {
    sys.files[kLogPath] = "kept";
    sys.lockedFiles.insert(kLogPath);
    LogNamedValue(seam, state, u"A", u"one", 1);
    EXPECT_EQ(LogFile(), "kept");
}

TEST_F(RunLogTest, WideTextsConvertAsTheCLocale) {
    const std::string tag = " keymason(7)" + Spaces(19);
    struct Case {
        const char* name;
        Text label;
        Text text;
        std::string stored;
    } cases[] = {
        {"Latin-1 becomes single bytes", u"DAT", u"C:\\d\u00E9p\u00F4t\u00FF.dat",
         kStamp + tag + " [DAT] C:\\d\xE9p\xF4t\xFF.dat\r\r\n"},
        {"a character above U+00FF empties the text", u"DAT", u"C:\\\u0100.dat",
         kStamp + tag + " [DAT] \r\r\n"},
        {"a surrogate pair empties the text", u"DAT", u"x\U0001F511",
         kStamp + tag + " [DAT] \r\r\n"},
        {"an unconvertible label drops the brackets", u"\u20AC", u"t", kStamp + tag + " t\r\r\n"},
        {"both empty", u"", u"", kStamp + tag + " \r\r\n"},
        {"converted EMPTYSTRING is still special", u"L", u"EMPTYSTRING", kStamp + "\r\r\n"},
    };
    for (const auto& c : cases) {
        sys.files.erase(kLogPath);
        LogNamedValue(seam, state, c.label, c.text, 7);
        EXPECT_EQ(LogFile(), c.stored) << c.name;
    }
}

TEST(NarrowCLocaleTest, MapsUnitsUpToFFAndEmptiesAnythingElse) {
    struct Case { Text wide; std::string narrow; } cases[] = {
        {u"abc", "abc"},
        {Text(u"\u00FF\u0000a", 3), std::string("\xFF\0a", 3)},
        {u"\u0080\u00A0", "\x80\xA0"},
        {u"ok\u0100", ""},
        {u"\uFFFF", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(NarrowCLocale(c.wide), c.narrow) << ToUtf8(c.wide);
}

TEST_F(RunLogTest, Wow64FailureEntryCarriesTheErrorCode) {
    const std::string prefix = kStamp + " IsWow64(52)" + Spaces(19);
    struct Case { std::uint32_t error; std::string stored; } cases[] = {
        {87, prefix + " [Error code: 0x00000057] Call IsWow64Process function failed.\r\r\n"},
        {0xDEADBEEF, prefix + " [Error code: 0xDEADBEEF] Call IsWow64Process function failed.\r\r\n"},
        {0, prefix + " [Error code: 0x00000000] Call IsWow64Process function failed.\r\r\n"},
    };
    for (const auto& c : cases) {
        sys.files.erase(kLogPath);
        LogWow64Failure(seam, state, c.error);
        EXPECT_EQ(LogFile(), c.stored) << c.error;
    }
}

TEST_F(RunLogTest, LongTextsAreWrittenWhole) {
    const std::string source(300, 's');
    const std::string label(300, 'l');
    const std::string text(2000, 't');
    WriteLogEntry(seam, state, source, 1, label, text);
    EXPECT_EQ(LogFile(), kStamp + " " + source + "(1) [" + label + "] " + text + "\r\r\n");

    sys.files.erase(kLogPath);
    LogNamedValue(seam, state, Widen(label), Widen(text), 1);
    EXPECT_EQ(LogFile(), kStamp + " keymason(1)" + Spaces(19) + " [" + label + "] " + text +
                             "\r\r\n");

    state.logPath = u"C:\\" + Text(600, u'p') + u".log";
    sys.folders.insert(u"C:\\");
    LogNamedValue(seam, state, u"A", u"b", 1);
    EXPECT_EQ(sys.files.count(state.logPath), 1u);
}

TEST(StoredBytesTest, EveryLineFeedIsPrecededByACarriageReturn) {
    struct Case { std::string entry, stored; } cases[] = {
        {"\n", "\r\n"},
        {"x\r\n", "x\r\r\n"},
        {"a\nb\n\n", "a\r\nb\r\n\r\n"},
        {"no break", "no break"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ToStoredBytes(c.entry), c.stored) << c.entry;
}

}  // namespace
}  // namespace km
