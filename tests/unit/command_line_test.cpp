#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/command_line.h"
#include "platform/text.h"

namespace km {
namespace {

TEST(CommandLineTest, ExactlyOneArgumentNamesThePackageAndKeepsTheWindowHidden) {
    const Text program = u"C:\\Keymason\\Keymason.exe";
    const Text longPath = u"C:\\" + Text(300, u'p') + u".reg.dat";
    struct Case {
        const char* name;
        std::vector<Text> arguments;
        RunMode mode;
        Text dataPath;
        std::int32_t showWindow;
    } cases[] = {
        {"nothing at all", {}, DefaultPackage, u"r:\\install.reg.dat", 1},
        {"program only", {program}, DefaultPackage, u"r:\\install.reg.dat", 1},
        {"one argument", {program, u"C:\\pkg\\a.reg.dat"}, PackageArgument, u"C:\\pkg\\a.reg.dat", 0},
        {"argument with spaces", {program, u"C:\\my pkg\\a b.dat"}, PackageArgument,
         u"C:\\my pkg\\a b.dat", 0},
        {"empty argument", {program, u""}, PackageArgument, u"", 0},
        {"argument past 259 characters is kept whole", {program, longPath}, PackageArgument,
         longPath, 0},
        {"two arguments", {program, u"a.dat", u"b.dat"}, DefaultPackage, u"r:\\install.reg.dat", 1},
        {"three arguments", {program, u"a", u"b", u"c"}, DefaultPackage, u"r:\\install.reg.dat", 1},
    };
    for (const auto& c : cases) {
        RunState state;
        ChooseRunMode(c.arguments, state);
        EXPECT_EQ(state.mode, c.mode) << c.name;
        EXPECT_EQ(state.dataPath, c.dataPath) << c.name;
        EXPECT_EQ(state.showWindow, c.showWindow) << c.name;
    }
}

TEST(CommandLineTest, ReplacesWhateverTheStateHeldBefore) {
    RunState state;
    state.mode = PackageArgument;
    state.dataPath = u"C:\\stale\\path.dat";
    state.showWindow = 1;
    ChooseRunMode({u"Keymason.exe", u"D:\\new.dat"}, state);
    EXPECT_EQ(state.dataPath, u"D:\\new.dat");
    EXPECT_EQ(state.showWindow, 0);

    ChooseRunMode({u"Keymason.exe"}, state);
    EXPECT_EQ(state.mode, DefaultPackage);
    EXPECT_EQ(state.dataPath, u"r:\\install.reg.dat");
}

}  // namespace
}  // namespace km
