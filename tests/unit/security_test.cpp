// What no package and no machine state may make the program do: start any
// reg.exe but the system's, hand reg.exe a command line that a profile's
// texts reshape, write a file other than its log, or touch registry keys
// that no record names.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/memory/memory_reg_exe.h"
#include "platform/text.h"
#include "tests/unit/registry_snapshot.h"
#include "tests/unit/two_profile_machine.h"
#include "tests/unit/write_scope.h"

namespace km {
namespace {

using namespace machine;
using namespace std::string_literals;  // "...\0..."s keeps NUL bytes

const std::string kSoftware = "HKEY_LOCAL_MACHINE\\SOFTWARE";
const std::string kSystem = "HKEY_LOCAL_MACHINE\\SYSTEM";
const std::string kClasses = "HKEY_CLASSES_ROOT";
const std::string kCurrentUser = "HKEY_CURRENT_USER";

std::string AllUsersPackage() {
    return ValueLine(kCurrentUser, "Software\\Vendor", "Mode", "REG_DWORD", "0x00000001") +
           ValueLine(kCurrentUser, "Software\\Classes\\.kmx", "", "REG_SZ", "doc");
}

std::string Commands(const MemoryPlatform& sys) {
    std::string out;
    for (const StartedProcess& p : sys.Processes())
        out += ToUtf8(p.applicationName) + " | " + ToUtf8(p.commandLine) + "\n";
    return out;
}

TEST(SecurityTest, RegExeIsAlwaysTheSystemsOwn) {
    struct Case {
        const char* name;
        Text systemDirectory;
        Text regExe;  // empty: nothing may be started
    } cases[] = {
        {"plain", u"C:\\Windows\\system32", u"C:\\Windows\\system32\\reg.exe"},
        {"trailing backslash", u"C:\\Windows\\system32\\", u"C:\\Windows\\system32\\reg.exe"},
        {"with a space", u"D:\\Win Dir\\System32", u"D:\\Win Dir\\System32\\reg.exe"},
        // Never a fall back on the search path, where any reg.exe may lie.
        {"system folder unknown", u"", u""},
    };
    for (const Case& c : cases) {
        TwoProfileMachine m;
        m.sys.systemDirectory = c.systemDirectory;
        m.Run(AllUsersPackage());
        if (c.regExe.empty()) {
            EXPECT_TRUE(m.sys.Processes().empty()) << c.name << "\n" << Commands(m.sys);
            EXPECT_TRUE(m.seam.CallsOf(SeamOp::CreateProcessW).empty()) << c.name;
        } else {
            // Two loads and two unloads of User's hives.
            EXPECT_EQ(m.sys.Processes().size(), 4u) << c.name << "\n" << Commands(m.sys);
        }
        for (const StartedProcess& p : m.sys.Processes()) {
            EXPECT_EQ(ToUtf8(p.applicationName), ToUtf8(c.regExe)) << c.name;
            EXPECT_EQ(ToUtf8(p.commandLine).rfind("reg.exe ", 0), 0u) << c.name;
        }
        EXPECT_TRUE(m.sys.MountedHives().empty()) << c.name;
        EXPECT_EQ(m.state.done.load(), 1) << c.name;
    }
}

// A third profile, not logged on, whose texts end up on reg.exe's command line.
TEST(SecurityTest, ProfileTextsThatWouldReshapeTheCommandLineNeverReachIt) {
    struct Case {
        const char* name;
        Text sid;
        Text folder;
        bool loaded;  // its hives are loaded, and the command reads as meant
    } cases[] = {
        {"spaces in the folder are quoted", u"S-1-5-21-9-9-9-2001", u"C:\\Users\\John Smith", true},
        {"shell characters are only characters", u"S-1-5-21-9-9-9-2002", u"C:\\Users\\a&b|c<d>^%x%",
         true},
        {"quote in the folder", u"S-1-5-21-9-9-9-2003", u"C:\\Users\\x\" /y \"z", false},
        {"folder that is one quote", u"S-1-5-21-9-9-9-2004", u"\"", false},
        {"empty folder", u"S-1-5-21-9-9-9-2005", u"", false},
        {"space in the SID", u"S-1-5-21 C:\\evil.dat", u"C:\\Users\\Eve", false},
        {"quote in the SID", u"S-1-5-21\"x", u"C:\\Users\\Eve", false},
        {"tab in the SID", u"S-1-5-21\tx", u"C:\\Users\\Eve", false},
        {"no-break space in the SID", u"S-1-5-21\u00A0x", u"C:\\Users\\Eve", false},
        {"ideographic space in the SID", u"S-1-5-21\u3000x", u"C:\\Users\\Eve", false},
        {"line break in the SID", u"S-1-5-21\nx", u"C:\\Users\\Eve", false},
    };
    for (const Case& c : cases) {
        TwoProfileMachine m;
        AddProfileEntry(m.sys, c.sid, c.folder);
        const Text userFile = c.folder + u"\\NTUSER.DAT";
        const Text classesFile = c.folder + u"\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat";
        m.sys.hiveFiles[userFile] = HiveTree(u"Environment");
        m.sys.hiveFiles[classesFile] = HiveTree(u"Seeded");
        m.Run(AllUsersPackage());

        std::vector<Text> filesLoaded;
        for (const StartedProcess& p : m.sys.Processes()) {
            const auto command = ParseRegExeCommand(p.commandLine);
            ASSERT_TRUE(command.has_value()) << c.name << ": " << ToUtf8(p.commandLine);
            EXPECT_EQ(SplitCommandWords(p.commandLine).size(),
                      command->verb == RegExeCommand::Verb::Load ? 4u : 3u)
                << c.name << ": " << ToUtf8(p.commandLine);
            if (command->verb == RegExeCommand::Verb::Load) filesLoaded.push_back(command->file);
        }
        const bool reachedUser =
            std::count(filesLoaded.begin(), filesLoaded.end(), userFile) == 1 &&
            std::count(filesLoaded.begin(), filesLoaded.end(), classesFile) == 1;
        EXPECT_EQ(reachedUser, c.loaded) << c.name << "\n" << Commands(m.sys);
        // The profile passed over takes nothing from the others: User's hives still are.
        EXPECT_EQ(std::count(filesLoaded.begin(), filesLoaded.end(), kUserHiveFile), 1) << c.name;
        // Each command line the profile's SID would go into is absent.
        if (!c.loaded) {
            for (const StartedProcess& p : m.sys.Processes())
                EXPECT_EQ(p.commandLine.find(c.sid), Text::npos) << c.name;
        } else {
            const auto mount = u"Velmar-Mount-" + c.sid;
            EXPECT_EQ(Snapshot(m.sys, kHkeyUsers, mount), "absent") << c.name;  // unloaded again
            EXPECT_EQ(m.sys.hiveFiles[userFile]->subkeys.size(), 2u)
                << c.name;  // Environment, Software
        }
        EXPECT_TRUE(m.sys.MountedHives().empty()) << c.name;
        EXPECT_EQ(m.sys.OpenHandleCount(), 0) << c.name;
        EXPECT_EQ(m.sys.OpenProcessCount(), 0) << c.name;
    }
}

TEST(SecurityTest, TheLogIsWrittenOnlyToTheLogPath) {
    struct Case {
        const char* name;
        RunMode mode;
        Text appPath;
        Text dataPath;
        Text logPath;
    } cases[] = {
        {"package argument", PackageArgument, kAppPath, kDataPath, kLogPath},
        {"default package", DefaultPackage, kAppPath, kDataPath, u"keymason.log"},
        // A data path with line breaks cannot add a line of its own to the log.
        {"line breaks in the data path", PackageArgument, kAppPath,
         u"C:\\pkg\\a\r\n[2024-03-05 09:07:02] keymason(999) [Version] 9.9.9.9", kLogPath},
        {"data path naming the log", PackageArgument, kAppPath, kLogPath, kLogPath},
    };
    for (const Case& c : cases) {
        TwoProfileMachine m;
        m.state.mode = c.mode;
        m.state.dataPath = c.dataPath;
        m.sys.environment["APP_PATH"] = c.appPath;
        const std::string package =
            AllUsersPackage() + ValueLine(kSoftware, "Vendor", "Log", "REG_SZ", "keymason.log");
        if (c.dataPath != kLogPath) m.sys.files[c.dataPath] = package;
        const auto filesBefore = m.sys.files;
        UpdateWorker(m.seam, m.state);

        EXPECT_EQ(ToUtf8(m.state.logPath), ToUtf8(c.logPath)) << c.name;
        for (const PlatformCall& call : m.seam.CallsOf(SeamOp::AppendToFile))
            EXPECT_EQ(ToUtf8(call.subKey), ToUtf8(c.logPath)) << c.name;
        for (const auto& file : m.sys.files) {
            if (file.first == c.logPath) continue;
            ASSERT_TRUE(filesBefore.count(file.first)) << c.name << ": " << ToUtf8(file.first);
            EXPECT_EQ(file.second, filesBefore.at(file.first)) << c.name;
        }
        // Every entry is one line: two entries, two line ends.
        const std::string log = m.sys.files[c.logPath];
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << c.name << "\n" << log;
    }
}

// Keys that no package below names; every case checks they survive.
void PlantSentinels(MemoryPlatform& sys) {
    sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Sentinel", u"v", kRegDword, {1, 0, 0, 0});
    sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\WOW6432Node\\Vendor", u"v", kRegDword,
                 {1, 0, 0, 0});
    sys.SetValue(kHkeyLocalMachine, u"SYSTEM\\Sentinel", u"v", kRegDword, {1, 0, 0, 0});
    sys.SetValue(kHkeyClassesRoot, u"Sentinel", u"v", kRegDword, {1, 0, 0, 0});
    sys.SetValue(kHkeyUsers, kAdminSid + u"\\Sentinel", u"v", kRegDword, {1, 0, 0, 0});
    sys.SetValue(kHkeyUsers, u".DEFAULT\\Sentinel", u"v", kRegDword, {1, 0, 0, 0});
}

std::vector<std::string> Sentinels(const MemoryPlatform& sys) {
    std::vector<std::string> state = {
        Snapshot(sys, kHkeyLocalMachine, u"SOFTWARE\\Sentinel"),
        Snapshot(sys, kHkeyLocalMachine, u"SOFTWARE\\WOW6432Node"),
        Snapshot(sys, kHkeyLocalMachine, u"SYSTEM\\Sentinel"),
        Snapshot(sys, kHkeyClassesRoot, u"Sentinel"),
        Snapshot(sys, kHkeyUsers, kAdminSid + u"\\Sentinel"),
        Snapshot(sys, kHkeyUsers, u".DEFAULT"),
        Snapshot(sys, kHkeyLocalMachine, Text(kProfileListPath)),
    };
    // The not-logged-on user's hive file, outside what the packages name.
    const auto environment = sys.hiveFiles.at(kUserHiveFile)->FindSubkey(u"Environment");
    state.push_back(environment && environment->FindValue(u"Seed") ? "User's seed kept"
                                                                   : "User's seed gone");
    return state;
}

TEST(SecurityTest, NoPackageWritesOutsideTheKeysItsRecordsName) {
    struct Case {
        const char* name;
        std::string package;
    } cases[] = {
        {"empty key removal under each root",
         KeyLine(kSoftware, "", true) + KeyLine(kSystem, "", true) + KeyLine(kClasses, "", true) +
             KeyLine(kCurrentUser, "", true) + KeyLine(kCurrentUser, "Software\\Classes\\", true)},
        {"backslash-only keys", KeyLine(kSoftware, "\\", true) + KeyLine(kClasses, "\\\\", true) +
                                    KeyLine(kCurrentUser, "\\", true) +
                                    ValueLine(kSoftware, "\\", "v", "REG_SZ", "x")},
        {"NUL after the root's prefix",
         KeyLine(kSoftware, "\0"s, true) + KeyLine(kSystem, "\0x"s, true)},
        {"NUL inside a key", KeyLine(kSoftware, "Sentinel\0\\x"s, true) +
                                 ValueLine(kSoftware, "Sentinel\0x"s, "v", "REG_SZ", "x")},
        {"NUL in a value name", ValueLine(kSoftware, "Vendor", "v\0x"s, "REG_SZ", "x") +
                                    ValueRemovalLine(kSoftware, "Sentinel", "v\0"s)},
        {"NUL in a per-user key", KeyLine(kCurrentUser, "\0"s, true) +
                                      ValueLine(kCurrentUser, "Sentinel\0x"s, "v", "REG_SZ", "x")},
        {"dot components", KeyLine(kSoftware, "..", true) + KeyLine(kCurrentUser, "..\\..", true) +
                               ValueLine(kSoftware, "..\\SYSTEM", "v", "REG_SZ", "x")},
        {"leading backslash", KeyLine(kSoftware, "\\Sentinel", true) +
                                  ValueLine(kCurrentUser, "\\Sentinel", "v", "REG_SZ", "x")},
        {"per-user key naming another hive",
         KeyLine(kCurrentUser, ".DEFAULT", true) + KeyLine(kCurrentUser, "S-1-5-18", true) +
             ValueLine(kCurrentUser, "..\\.DEFAULT\\Sentinel", "v", "REG_SZ", "x")},
        {"targets naming a SID or a path",
         ValueLine(kCurrentUser, "Software\\T", "v", "REG_SZ", "x", "S-1-5-18") +
             ValueLine(kCurrentUser, "Software\\T", "v", "REG_SZ", "x", "C:\\Users\\User") +
             ValueLine(kCurrentUser, "Software\\T", "v", "REG_SZ", "x", "..\\.DEFAULT")},
        {"roots spelled oddly",
         KeyLine("HKEY_LOCAL_MACHINE", "SOFTWARE", true) +
             KeyLine("HKEY_LOCAL_MACHINE\\SOFTWARE\\..\\SYSTEM", "Other", true) +
             KeyLine("HKEY_USERS", "S-1-5-21-100-200-300-500", true)},
    };
    for (const Case& c : cases) {
        TwoProfileMachine m;
        PlantSentinels(m.sys);
        const std::vector<std::string> before = Sentinels(m.sys);
        m.Run(c.package);

        const RecordList records = scope::RecordsOf(c.package);
        for (const std::string& write :
             scope::WritesOutsideRecords(m.seam.Calls(), records, {kAdminSid, kUserSid}))
            ADD_FAILURE() << c.name << ": write outside the records' keys: " << write;
        // Windows stops reading a name at its first NUL: none may reach it.
        for (const PlatformCall& call : m.seam.Calls()) {
            EXPECT_EQ(call.subKey.find(u'\0'), Text::npos) << c.name << ": " << call.ToString();
            EXPECT_EQ(call.valueName.find(u'\0'), Text::npos) << c.name << ": " << call.ToString();
        }
        EXPECT_EQ(Sentinels(m.sys), before) << c.name << "\n" << m.seam.CallLog();
        EXPECT_TRUE(m.sys.KeyExists(kHkeyLocalMachine, u"SOFTWARE\\Sentinel")) << c.name;
        EXPECT_EQ(m.sys.OpenHandleCount(), 0) << c.name;
        EXPECT_TRUE(m.sys.MountedHives().empty()) << c.name;
        EXPECT_EQ(m.state.done.load(), 1) << c.name;
    }
}

}  // namespace
}  // namespace km
