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
    EXPECT_FALSE(TickEndsDialog(state, kStatusTimerId));
    NoteWorkerNotStarted(state);
    EXPECT_TRUE(TickEndsDialog(state, kStatusTimerId));
    EXPECT_EQ(state.exitCode.load(), kExitWorkerNotStarted);
}

TEST(StatusDialogRulesTest, OnlyTheStatusTimerFindingDoneEndsTheDialog) {
    struct Case {
        std::uintptr_t timer;
        std::int32_t done;
        bool ends;
    } cases[] = {
        {666, 1, true}, {666, 0, false}, {666, 2, false}, {665, 1, false},
        {667, 1, false}, {0, 1, false},  {1, 1, false},
    };
    for (const auto& c : cases) {
        RunState state;
        state.done.store(c.done);
        EXPECT_EQ(TickEndsDialog(state, c.timer), c.ends) << "timer " << c.timer << " done " << c.done;
    }
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

TEST(StatusDialogRulesTest, TheShowFlagIsClearedOnlyWhileShowingIsNotAllowed) {
    struct Case {
        std::int32_t showWindow;
        std::uint32_t flags;
        std::uint32_t expected;
    } cases[] = {
        {0, 0x0040, 0x0000},
        {0, 0x0057, 0x0017},  // size, move, z-order and activation flags pass
        {0, 0x0080, 0x0080},  // hiding stays possible
        {1, 0x0040, 0x0040},
        {1, 0x0057, 0x0057},
        {2, 0x0040, 0x0040},
    };
    for (const auto& c : cases) {
        RunState state;
        state.showWindow = c.showWindow;
        EXPECT_EQ(FilterWindowPositionFlags(state, c.flags), c.expected)
            << "showWindow " << c.showWindow << " flags " << c.flags;
    }
}

TEST(StatusDialogRulesTest, TheMinimisedIconIsCentredRoundingHalfUpAndTowardZero) {
    struct Case {
        int clientWidth, clientHeight, iconWidth, iconHeight, x, y;
    } cases[] = {
        {160, 160, 32, 32, 64, 64},
        {161, 33, 32, 32, 65, 1},   // an odd gap puts the extra pixel on the left/top side
        {32, 32, 32, 32, 0, 0},
        {0, 0, 32, 32, -15, -15},   // truncation toward zero, not floor (-16)
        {10, 5, 32, 16, -10, -5},
    };
    for (const auto& c : cases) {
        const IconOrigin origin = CentredIconOrigin(c.clientWidth, c.clientHeight, c.iconWidth, c.iconHeight);
        EXPECT_EQ(origin.x, c.x) << c.clientWidth << "x" << c.clientHeight;
        EXPECT_EQ(origin.y, c.y) << c.clientWidth << "x" << c.clientHeight;
    }
}

}  // namespace
}  // namespace km
