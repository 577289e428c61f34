#include <gtest/gtest.h>

#include "engine/status_dialog_rules.h"
#include "platform/memory/memory_platform.h"
#include "platform/text.h"

namespace km {
namespace {

constexpr Wow64Answer kNative{true, false, 0};
constexpr Wow64Answer kUnderWow64{true, true, 0};

TEST(StatusDialogRulesTest, StartsTheWorkerUnlessTheNamedPackageIsMissing) {
    struct Case {
        const char* name;
        RunMode mode;
        Text dataPath;
        StartAction action;
        std::int32_t exitCode;
        std::int32_t done;
    } cases[] = {
        {"named file exists", PackageArgument, u"C:\\pkg\\a.reg.dat", StartAction::StartWorker, 0, 0},
        {"named folder exists", PackageArgument, u"C:\\pkg", StartAction::StartWorker, 0, 0},
        {"named file missing", PackageArgument, u"C:\\pkg\\missing.dat", StartAction::AwaitFirstTick,
         1, 1},
        {"empty name", PackageArgument, u"", StartAction::AwaitFirstTick, 1, 1},
        // The default package is the pass's business, present or not.
        {"default package missing", DefaultPackage, u"r:\\install.reg.dat", StartAction::StartWorker,
         0, 0},
    };
    for (const auto& c : cases) {
        MemoryPlatform sys;
        sys.files[u"C:\\pkg\\a.reg.dat"] = "x";
        sys.folders.insert(u"C:\\pkg");
        RunState state;
        state.mode = c.mode;
        state.dataPath = c.dataPath;
        state.exitCode = 7;  // stale values are reset
        state.done.store(1);
        EXPECT_EQ(PrepareStart(sys, state, kNative), c.action) << c.name;
        EXPECT_EQ(state.exitCode.load(), c.exitCode) << c.name;
        EXPECT_EQ(state.done.load(), c.done) << c.name;
        EXPECT_EQ(sys.files.size(), 1u) << c.name << ": the shell writes no log\n" << sys.Dump();
    }
}

TEST(StatusDialogRulesTest, RecordsTheWow64AnswerAndTreatsAFailedQueryAsNative) {
    struct Case {
        const char* name;
        Wow64Answer answer;
        std::int32_t isWow64;
    } cases[] = {
        {"native", kNative, 0},
        {"under WOW64", kUnderWow64, 1},
        {"failed query", {false, true, 87}, 0},
    };
    for (const auto& c : cases) {
        MemoryPlatform sys;
        RunState state;
        state.isWow64 = 5;
        PrepareStart(sys, state, c.answer);
        EXPECT_EQ(state.isWow64, c.isWow64) << c.name;
    }
}

TEST(StatusDialogRulesTest, AFailedWow64QueryIsLoggedOnlyWhereALogIsNamed) {
    MemoryPlatform sys;
    RunState state;
    PrepareStart(sys, state, {false, false, 87});
    EXPECT_TRUE(sys.files.empty()) << "logging is off until the pass names the log\n" << sys.Dump();

    sys.folders.insert(u"C:\\logs");
    state.logPath = u"C:\\logs\\keymason.log";
    PrepareStart(sys, state, {false, false, 87});
    ASSERT_EQ(sys.files.count(state.logPath), 1u) << sys.Dump();
    const std::string& entry = sys.files[state.logPath];
    EXPECT_NE(entry.find("IsWow64(52)"), std::string::npos) << entry;
    EXPECT_NE(entry.find("[Error code: 0x00000057] Call IsWow64Process function failed."),
              std::string::npos)
        << entry;
}

TEST(StatusDialogRulesTest, AWorkerThatCannotStartEndsTheRunAtTheFirstTickWithCode2) {
    MemoryPlatform sys;
    RunState state;
    state.mode = DefaultPackage;
    ASSERT_EQ(PrepareStart(sys, state, kNative), StartAction::StartWorker);
    EXPECT_EQ(state.done.load(), 0);
    NoteWorkerNotStarted(state);
    EXPECT_EQ(state.done.load(), 1);
    EXPECT_EQ(state.exitCode.load(), kExitWorkerNotStarted);
}

TEST(StatusDialogRulesTest, CancelEndsAtOnceUnlessThePassStillHoldsHives) {
    struct Case {
        const char* name;
        std::int32_t hivesHeld;
        std::int32_t done;
        CancelAction action;
    } cases[] = {
        {"no hive taken", 0, 0, CancelAction::EndNow},
        {"hives held, pass running", 1, 0, CancelAction::AwaitPassEnd},
        {"hives held, pass over", 1, 1, CancelAction::EndNow},
        {"pass over", 0, 1, CancelAction::EndNow},
    };
    for (const auto& c : cases) {
        RunState state;
        state.hivesHeld.store(c.hivesHeld);
        state.done.store(c.done);
        EXPECT_FALSE(PassEndEndsDialog(state)) << c.name << ": without Cancel the tick ends it";
        EXPECT_EQ(RequestCancel(state), c.action) << c.name;
        EXPECT_EQ(state.cancelRequested.load(), 1) << c.name;
        EXPECT_TRUE(PassEndEndsDialog(state)) << c.name;
        EXPECT_EQ(state.exitCode.load(), 0) << c.name << ": Cancel keeps the exit code";
    }
}

}  // namespace
}  // namespace km
