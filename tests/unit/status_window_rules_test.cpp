#include <gtest/gtest.h>

#include "app/status_window_rules.h"

namespace km {
namespace {

TEST(StatusWindowRulesTest, OnlyTheStatusTimerFindingDoneEndsTheDialog) {
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

TEST(StatusWindowRulesTest, TheShowFlagIsClearedOnlyWhileShowingIsNotAllowed) {
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

TEST(StatusWindowRulesTest, TheMinimisedIconIsCentredRoundingHalfUpAndTowardZero) {
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
