#include "engine/hive_mount.h"

#include <gtest/gtest.h>

#include "platform/memory/memory_platform.h"
#include "tests/support/fault_platform.h"
#include "platform/text.h"

namespace km {
namespace {

const Text kRegExe = u"C:\\windows\\system32\\reg.exe";

UserProfile Profile(const Text& sid, const Text& userName) {
    UserProfile p;
    p.sid = sid;
    p.userName = userName;
    p.profilePath = u"C:\\Users\\" + userName;
    return p;
}

Text UserLoad(const Text& sid, const Text& path) {
    return u"reg.exe Load HKEY_USERS\\Velmar-Mount-" + sid + u" \"" + path + u"\\NTUSER.DAT\"";
}
Text ClassesLoad(const Text& sid, const Text& path) {
    return u"reg.exe Load HKEY_USERS\\Velmar-Mount-Classes-" + sid + u" \"" + path +
           u"\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat\"";
}
Text Unload(const Text& name) { return u"reg.exe Unload HKEY_USERS\\" + name; }

class HiveMountTest : public testing::Test {
protected:
    std::vector<Text> CommandLines() const {
        std::vector<Text> lines;
        for (const StartedProcess& p : sys.Processes()) lines.push_back(p.commandLine);
        return lines;
    }
    static std::string Show(const std::vector<Text>& lines) {
        std::string out;
        for (const Text& l : lines) out += ToUtf8(l) + "\n";
        return out;
    }

    MemoryPlatform sys;
    FaultPlatform seam{sys};  // the engine's calls go through it
    RunState state;
};

// Which hives each group pattern loads, for profiles that are not logged on.
TEST_F(HiveMountTest, SelectionAndHivesByTargetGroups) {
    struct Expect {
        bool user;
        bool classes;
    };
    const Text names[] = {u"User", u"uSeR", u"Administrator", u"ADMINISTRATOR", u"Bob", u""};
    struct Case {
        std::uint8_t groups;
        Expect perName[6];
    } cases[] = {
        {0x01, {{1, 0}, {1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}}},
        {0x02, {{0, 0}, {0, 0}, {1, 0}, {1, 0}, {0, 0}, {0, 0}}},
        {0x03, {{1, 0}, {1, 0}, {1, 0}, {1, 0}, {1, 0}, {1, 0}}},
        {0x10, {{0, 1}, {0, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 0}}},
        {0x20, {{0, 0}, {0, 0}, {0, 1}, {0, 1}, {0, 0}, {0, 0}}},
        {0x30, {{0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}}},
        // The package's groups, not the selecting group, decide the hives.
        {0x12, {{1, 1}, {1, 1}, {1, 1}, {1, 1}, {0, 0}, {0, 0}}},
        {0x21, {{1, 1}, {1, 1}, {1, 1}, {1, 1}, {0, 0}, {0, 0}}},
        {0x31, {{1, 1}, {1, 1}, {1, 1}, {1, 1}, {1, 1}, {1, 1}}},
    };
    for (const Case& c : cases) {
        MemoryPlatform fresh;
        RunState run;
        ProfileList profiles;
        for (int i = 0; i < 6; ++i) {
            UserProfile p = Profile(u"S-1-5-21-" + Widen(std::to_string(i)), names[i]);
            p.profilePath = u"C:\\Users\\P" + Widen(std::to_string(i));
            profiles.push_back(p);
        }
        MountUserHives(fresh, run, c.groups, run.isWow64, profiles);

        std::vector<Text> expected;
        for (int i = 0; i < 6; ++i) {
            const UserProfile& p = profiles[i];
            const Expect& e = c.perName[i];
            const std::string where = "groups " + std::to_string(c.groups) + " name " + ToUtf8(names[i]);
            EXPECT_EQ(p.userHiveMounted, e.user ? 1 : 0) << where;
            EXPECT_EQ(p.userHiveKey, e.user ? u"Velmar-Mount-" + p.sid : Text()) << where;
            EXPECT_EQ(p.classesHiveMounted, e.classes ? 1 : 0) << where;
            EXPECT_EQ(p.classesHiveKey, e.classes ? u"Velmar-Mount-Classes-" + p.sid : Text()) << where;
            if (e.user) expected.push_back(UserLoad(p.sid, p.profilePath));
            if (e.classes) expected.push_back(ClassesLoad(p.sid, p.profilePath));
        }
        std::vector<Text> lines;
        for (const StartedProcess& sp : fresh.Processes()) lines.push_back(sp.commandLine);
        EXPECT_EQ(lines, expected) << "groups " << int(c.groups) << "\n" << Show(lines);
    }
}

TEST_F(HiveMountTest, LoggedOnUserIsUsedUnderItsSidWithoutAnyCommand) {
    struct Case {
        std::int32_t isWow64;
        std::uint32_t mask;
    } cases[] = {{0, 0x20019}, {1, 0x20119}};
    for (const Case& c : cases) {
        MemoryPlatform fresh;
        FaultPlatform freshSeam(fresh);
        fresh.CreateKey(kHkeyUsers, u"S-1-5-21-7");
        RunState run;
        run.isWow64 = c.isWow64;
        ProfileList profiles{Profile(u"S-1-5-21-7", u"User")};
        MountUserHives(freshSeam, run, 0x33, run.isWow64, profiles);
        EXPECT_EQ(profiles[0].userHiveMounted, 0);
        EXPECT_EQ(profiles[0].userHiveKey, u"S-1-5-21-7");
        EXPECT_EQ(profiles[0].classesHiveMounted, 0);
        EXPECT_TRUE(profiles[0].classesHiveKey.empty());
        EXPECT_TRUE(fresh.Processes().empty());
        EXPECT_EQ(run.hivesHeld.load(), 0);  // nothing loaded: the shell may still end at once
        const auto opens = freshSeam.CallsOf(SeamOp::RegOpenKeyExW);
        ASSERT_EQ(opens.size(), 1u);
        EXPECT_EQ(opens[0].key, kHkeyUsers);
        EXPECT_EQ(opens[0].subKey, u"S-1-5-21-7");
        EXPECT_EQ(opens[0].sam, c.mask);
        EXPECT_EQ(fresh.OpenHandleCount(), 0);

        UnmountUserHives(fresh, profiles);
        EXPECT_TRUE(fresh.Processes().empty());
    }
}

TEST_F(HiveMountTest, FailedProbeCountsAsNotLoggedOn) {
    sys.CreateKey(kHkeyUsers, u"S-1-5-21-7");
    seam.FailCall(SeamOp::RegOpenKeyExW, u"S-1-5-21-7");
    ProfileList profiles{Profile(u"S-1-5-21-7", u"User")};
    MountUserHives(seam, state, 0x01, state.isWow64, profiles);
    EXPECT_EQ(profiles[0].userHiveMounted, 1);
    EXPECT_EQ(CommandLines(), (std::vector<Text>{UserLoad(u"S-1-5-21-7", u"C:\\Users\\User")}));
}

TEST_F(HiveMountTest, HiveLoadedOnlyUnderItsMountNameIsLoadedAgain) {
    auto tree = std::make_shared<MemoryKey>();
    sys.hiveFiles[u"C:\\Users\\User\\NTUSER.DAT"] = tree;
    ProfileList first{Profile(u"S-1-5-21-7", u"User")};
    MountUserHives(seam, state, 0x01, state.isWow64, first);
    ASSERT_TRUE(sys.IsMounted(u"Velmar-Mount-S-1-5-21-7")) << sys.Dump();

    ProfileList second{Profile(u"S-1-5-21-7", u"User")};
    MountUserHives(seam, state, 0x01, state.isWow64, second);
    EXPECT_EQ(second[0].userHiveMounted, 1);
    EXPECT_EQ(sys.Processes().size(), 2u);
}

TEST_F(HiveMountTest, CommandsAreStartedHiddenByFullPathInListOrder) {
    ProfileList profiles{Profile(u"S-1-5-21-1", u"Administrator"), Profile(u"S-1-5-21-2", u"Bob"),
                         Profile(u"S-1-5-21-3", u"User")};
    sys.CreateKey(kHkeyUsers, u"S-1-5-21-2");  // Bob is logged on
    MountUserHives(seam, state, 0x33, state.isWow64, profiles);
    UnmountUserHives(seam, profiles);

    const std::vector<Text> expected{
        UserLoad(u"S-1-5-21-1", u"C:\\Users\\Administrator"),
        ClassesLoad(u"S-1-5-21-1", u"C:\\Users\\Administrator"),
        UserLoad(u"S-1-5-21-3", u"C:\\Users\\User"),
        ClassesLoad(u"S-1-5-21-3", u"C:\\Users\\User"),
        Unload(u"Velmar-Mount-S-1-5-21-1"),
        Unload(u"Velmar-Mount-Classes-S-1-5-21-1"),
        Unload(u"Velmar-Mount-S-1-5-21-3"),
        Unload(u"Velmar-Mount-Classes-S-1-5-21-3"),
    };
    EXPECT_EQ(CommandLines(), expected) << Show(CommandLines());

    const auto starts = seam.CallsOf(SeamOp::CreateProcessW);
    ASSERT_EQ(starts.size(), expected.size());
    for (const PlatformCall& start : starts) {
        EXPECT_EQ(start.subKey, kRegExe);
        EXPECT_TRUE(start.inheritHandles);
        EXPECT_EQ(start.creationFlags, 0u);
        EXPECT_EQ(start.startup.dwFlags, kStartfUseShowWindow);
        EXPECT_EQ(start.startup.wShowWindow, kSwHide);
    }
    // Each start is waited for before the next one.
    const auto& calls = seam.Calls();
    std::vector<SeamOp> processOps;
    for (const PlatformCall& call : calls)
        if (call.op == SeamOp::CreateProcessW || call.op == SeamOp::WaitForProcess) processOps.push_back(call.op);
    ASSERT_EQ(processOps.size(), 2 * expected.size());
    for (std::size_t i = 0; i < processOps.size(); ++i)
        EXPECT_EQ(processOps[i], i % 2 == 0 ? SeamOp::CreateProcessW : SeamOp::WaitForProcess) << i;
    for (const PlatformCall& wait : seam.CallsOf(SeamOp::WaitForProcess)) EXPECT_EQ(wait.timeoutMs, kRegExeWaitMs);
    EXPECT_EQ(sys.OpenProcessCount(), 0);
}

TEST_F(HiveMountTest, RegExeComesFromTheSystemFolder) {
    struct Case {
        Text systemDirectory;
        Text application;  // empty: nothing started
    } cases[] = {
        {u"D:\\Win\\System32", u"D:\\Win\\System32\\reg.exe"},
        {u"D:\\", u"D:\\reg.exe"},
        {u"", u""},
    };
    for (const Case& c : cases) {
        MemoryPlatform fresh;
        FaultPlatform freshSeam(fresh);
        fresh.systemDirectory = c.systemDirectory;
        RunHiddenCommand(freshSeam, u"reg.exe Unload HKEY_USERS\\X");
        const auto starts = freshSeam.CallsOf(SeamOp::CreateProcessW);
        if (c.application.empty()) {
            EXPECT_TRUE(starts.empty());
        } else {
            ASSERT_EQ(starts.size(), 1u);
            EXPECT_EQ(starts[0].subKey, c.application);
            EXPECT_EQ(starts[0].valueName, u"reg.exe Unload HKEY_USERS\\X");
        }
    }
}

// A load that cannot be confirmed (no start, a failed start, a hung tool)
// still marks the entry, so the unload is started for it at the end.
TEST_F(HiveMountTest, UnconfirmedLoadStaysMarkedAndIsUnloaded) {
    enum Fault { NoSystemFolder, StartFails, WaitTimesOut };
    for (Fault fault : {NoSystemFolder, StartFails, WaitTimesOut}) {
        MemoryPlatform fresh;
        FaultPlatform freshSeam(fresh);
        fresh.hiveFiles[u"C:\\Users\\User\\NTUSER.DAT"] = std::make_shared<MemoryKey>();
        const Text load = UserLoad(u"S-1-5-21-7", u"C:\\Users\\User");
        if (fault == NoSystemFolder) fresh.systemDirectory.clear();
        if (fault == StartFails) freshSeam.FailNthCallOf(SeamOp::CreateProcessW, 1);
        if (fault == WaitTimesOut) fresh.hangingCommands.insert(load);
        RunState run;
        ProfileList profiles{Profile(u"S-1-5-21-7", u"User")};
        MountUserHives(freshSeam, run, 0x01, run.isWow64, profiles);
        EXPECT_EQ(profiles[0].userHiveMounted, 1) << fault;
        EXPECT_EQ(profiles[0].userHiveKey, u"Velmar-Mount-S-1-5-21-7") << fault;

        fresh.systemDirectory = u"C:\\windows\\system32";
        freshSeam.ClearFaults();
        freshSeam.ClearCalls();
        UnmountUserHives(freshSeam, profiles);
        const auto starts = freshSeam.CallsOf(SeamOp::CreateProcessW);
        ASSERT_EQ(starts.size(), 1u) << fault;
        EXPECT_EQ(starts[0].valueName, Unload(u"Velmar-Mount-S-1-5-21-7")) << fault;
        EXPECT_EQ(fresh.OpenProcessCount(), 0) << fault;
    }
}

TEST_F(HiveMountTest, LoadAndUnloadReachTheHiveFile) {
    auto userTree = std::make_shared<MemoryKey>();
    auto classesTree = std::make_shared<MemoryKey>();
    sys.hiveFiles[u"C:\\Users\\User\\NTUSER.DAT"] = userTree;
    sys.hiveFiles[u"C:\\Users\\User\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat"] = classesTree;
    ProfileList profiles{Profile(u"S-1-5-21-7", u"User")};
    MountUserHives(seam, state, 0x11, state.isWow64, profiles);
    EXPECT_EQ(sys.MountedHives(),
              (std::vector<Text>{u"Velmar-Mount-S-1-5-21-7", u"Velmar-Mount-Classes-S-1-5-21-7"}))
        << sys.Dump();
    UnmountUserHives(seam, profiles);
    EXPECT_TRUE(sys.MountedHives().empty()) << sys.Dump();
    // The entry keeps its fields after the unload.
    EXPECT_EQ(profiles[0].userHiveMounted, 1);
    EXPECT_EQ(profiles[0].classesHiveMounted, 1);
}

TEST_F(HiveMountTest, UnmountStartsOnlyWhatWasMarked) {
    ProfileList profiles(4);
    profiles[0].userHiveMounted = 1;
    profiles[0].userHiveKey = u"Velmar-Mount-A";
    profiles[1].userHiveKey = u"S-1-5-21-logged-on";  // used in place: never unloaded
    profiles[2].classesHiveMounted = 1;
    profiles[2].classesHiveKey = u"Velmar-Mount-Classes-C";
    profiles[3].userHiveMounted = 2;  // only 1 counts
    profiles[3].userHiveKey = u"Velmar-Mount-D";
    UnmountUserHives(seam, profiles);
    EXPECT_EQ(CommandLines(),
              (std::vector<Text>{Unload(u"Velmar-Mount-A"), Unload(u"Velmar-Mount-Classes-C")}));
}

TEST_F(HiveMountTest, EmptyListStartsNothing) {
    ProfileList profiles;
    MountUserHives(seam, state, 0x33, state.isWow64, profiles);
    UnmountUserHives(seam, profiles);
    EXPECT_TRUE(seam.Calls().empty());
    EXPECT_EQ(state.hivesHeld.load(), 0);
}

// Texts that would reshape the command line get no command: the profile is
// passed over and so also gets no writes and no unload.
TEST_F(HiveMountTest, ProfileThatCannotBeNamedOnACommandLineIsPassedOver) {
    struct Case {
        const char* name;
        Text sid;
        Text profilePath;
    } cases[] = {
        {"quote in the path", u"S-1-5-21-1", u"C:\\Users\\Us\"er"},
        {"empty path", u"S-1-5-21-1", u""},
        {"tab in the path", u"S-1-5-21-1", u"C:\\Users\\Us\ter"},
        {"line feed in the path", u"S-1-5-21-1", u"C:\\Users\\User\n /f"},
        {"carriage return in the path", u"S-1-5-21-1", u"C:\\Users\\User\r"},
        {"C1 control in the path", u"S-1-5-21-1", u"C:\\Users\\Us\u0085er"},
        {"quote in the SID", u"S-1-5-21-\"1", u"C:\\Users\\User"},
        {"space in the SID", u"S-1-5-21-1 x", u"C:\\Users\\User"},
        {"tab in the SID", u"S-1-5-21-1\tx", u"C:\\Users\\User"},
        {"no-break space in the SID", u"S-1-5-21-1\u00A0x", u"C:\\Users\\User"},
        {"ideographic space in the SID", u"S-1-5-21-1\u3000x", u"C:\\Users\\User"},
    };
    for (const Case& c : cases) {
        MemoryPlatform fresh;
        RunState run;
        UserProfile odd = Profile(c.sid, u"User");
        odd.profilePath = c.profilePath;
        ProfileList profiles{odd, Profile(u"S-1-5-21-9", u"Next")};
        MountUserHives(fresh, run, 0x33, run.isWow64, profiles);
        EXPECT_EQ(profiles[0].userHiveMounted, 0) << c.name;
        EXPECT_EQ(profiles[0].classesHiveMounted, 0) << c.name;
        EXPECT_TRUE(profiles[0].userHiveKey.empty()) << c.name;
        EXPECT_TRUE(profiles[0].classesHiveKey.empty()) << c.name;
        // The next profile is still served.
        std::vector<Text> lines;
        for (const StartedProcess& sp : fresh.Processes()) lines.push_back(sp.commandLine);
        EXPECT_EQ(lines, (std::vector<Text>{UserLoad(u"S-1-5-21-9", u"C:\\Users\\Next"),
                                            ClassesLoad(u"S-1-5-21-9", u"C:\\Users\\Next")}))
            << c.name;
    }
}

TEST_F(HiveMountTest, LoggedOnProfileWithOddPathIsStillUsedUnderItsSid) {
    sys.CreateKey(kHkeyUsers, u"S-1-5-21-1");
    UserProfile odd = Profile(u"S-1-5-21-1", u"User");
    odd.profilePath = u"C:\\Users\\Us\"er";
    ProfileList profiles{odd};
    MountUserHives(seam, state, 0x03, state.isWow64, profiles);
    EXPECT_EQ(profiles[0].userHiveKey, u"S-1-5-21-1");
    EXPECT_TRUE(sys.Processes().empty());
}

TEST_F(HiveMountTest, LongTextsAreNeverCut) {
    const Text sid = u"S-1-5-21-" + Text(240, u'4');
    const Text path = u"C:\\Users\\" + Text(240, u'p');
    UserProfile p = Profile(sid, u"x");
    p.profilePath = path;
    ProfileList profiles{p};
    MountUserHives(seam, state, 0x03, state.isWow64, profiles);
    EXPECT_EQ(profiles[0].userHiveKey, u"Velmar-Mount-" + sid);
    EXPECT_EQ(CommandLines(), (std::vector<Text>{UserLoad(sid, path)}));
}

TEST_F(HiveMountTest, CancelBeforeTheFirstLoadLoadsNothing) {
    state.cancelRequested = 1;
    ProfileList profiles{Profile(u"S-1-5-21-1", u"User"), Profile(u"S-1-5-21-2", u"Administrator")};
    MountUserHives(seam, state, 0x33, state.isWow64, profiles);
    EXPECT_EQ(state.hivesHeld.load(), 1);
    EXPECT_TRUE(sys.Processes().empty());
    for (const UserProfile& p : profiles) {
        EXPECT_EQ(p.userHiveMounted, 0);
        EXPECT_EQ(p.classesHiveMounted, 0);
    }
    UnmountUserHives(seam, profiles);
    EXPECT_TRUE(sys.Processes().empty());
}

TEST_F(HiveMountTest, HivesHeldIsRaisedBeforeTheFirstLoad) {
    ProfileList profiles{Profile(u"S-1-5-21-1", u"User")};
    MountUserHives(seam, state, 0x01, state.isWow64, profiles);
    EXPECT_EQ(state.hivesHeld.load(), 1);
    EXPECT_EQ(sys.Processes().size(), 1u);
}

}  // namespace
}  // namespace km
