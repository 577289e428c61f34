// Every registry call and every process start of a full pass fails in turn.
// Each run must still finish, leave no handle, process or hive behind, write
// the same log, and apply every record the failed call could not have
// touched exactly as a clean run does.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/hive_mount.h"
#include "engine/package_signature.h"
#include "platform/memory/memory_reg_exe.h"
#include "platform/text.h"
#include "tests/unit/registry_snapshot.h"
#include "tests/unit/two_profile_machine.h"
#include "tests/unit/write_scope.h"

namespace km {
namespace {

using namespace machine;

const std::string kSoftware = "HKEY_LOCAL_MACHINE\\SOFTWARE";
const std::string kSystem = "HKEY_LOCAL_MACHINE\\SYSTEM";
const std::string kClasses = "HKEY_CLASSES_ROOT";
const std::string kCurrentUser = "HKEY_CURRENT_USER";

// Each record has a key of its own, so a failure in one cannot spill into
// another through a shared key.
struct SweepRecord {
    std::string line;
    RegKey root;   // machine-wide records
    Text keyPath;  // below the root, or below the user's hive
    bool perUser = false;
    bool classes = false;  // per-user, in the classes branch
};

std::vector<SweepRecord> SweepRecords() {
    return {
        {ValueLine(kSoftware, "KmTest\\M1", "A", "REG_DWORD", "0x00000001"), kHkeyLocalMachine,
         u"SOFTWARE\\KmTest\\M1"},
        {KeyLine(kSoftware, "KmTest\\M2", false), kHkeyLocalMachine, u"SOFTWARE\\KmTest\\M2"},
        {ValueRemovalLine(kSoftware, "KmTest\\M3", "Gone"), kHkeyLocalMachine,
         u"SOFTWARE\\KmTest\\M3"},
        {KeyLine(kSoftware, "KmTest\\M4", true), kHkeyLocalMachine, u"SOFTWARE\\KmTest\\M4"},
        {ValueLine(kSystem, "KmTest\\M5", "B", "REG_SZ", "sys"), kHkeyLocalMachine,
         u"SYSTEM\\KmTest\\M5"},
        {ValueLine(kClasses, ".km6", "", "REG_SZ", "doc"), kHkeyClassesRoot, u".km6"},
        {KeyLine(kClasses, ".km7", true), kHkeyClassesRoot, u".km7"},
        {ValueLine(kCurrentUser, "Software\\KmTest\\U8", "Mode", "REG_DWORD", "0x00000003"), 0,
         u"Software\\KmTest\\U8", true},
        {ValueLine(kCurrentUser, "Software\\Classes\\.km9", "", "REG_SZ", "doc"), 0, u".km9", true,
         true},
        {ValueRemovalLine(kCurrentUser, "Environment", "Seed"), 0, u"Environment", true},
        {KeyLine(kCurrentUser, "Software\\Classes\\Seeded", true), 0, u"Seeded", true, true},
        {ValueLine(kCurrentUser, "Software\\KmTest\\U12", "Adm", "REG_SZ", "a", "Administrator"), 0,
         u"Software\\KmTest\\U12", true},
        {KeyLine(kCurrentUser, "Software\\KmTest\\U13", false, "User"), 0, u"Software\\KmTest\\U13",
         true},
        {ValueLine(kCurrentUser, "Software\\Classes\\.km14", "", "REG_SZ", "u", "User"), 0,
         u".km14", true, true},
    };
}

std::string SweepPackage() {
    std::string package;
    for (const SweepRecord& r : SweepRecords()) package += r.line;
    return package;
}

// What the records find on the machine: values to delete, keys to remove.
void Seed(MemoryPlatform& sys) {
    sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\KmTest\\M3", u"Gone", kRegDword, {1, 0, 0, 0});
    sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\KmTest\\M3", u"Stays", kRegDword, {2, 0, 0, 0});
    sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\KmTest\\M4\\Sub", u"v", kRegDword, {3, 0, 0, 0});
    sys.SetValue(kHkeyClassesRoot, u".km7\\shell", u"", kRegSz, Utf16Bytes(u"open"));
    sys.SetValue(kHkeyUsers, kAdminSid + u"\\Software\\Classes\\Seeded\\Sub", u"v", kRegDword,
                 {4, 0, 0, 0});
}

// Where the state of one record for one place is read after the run, and the
// keys through which the run reached it.
struct Region {
    std::string name;
    RegKey root;
    Text inspectPath;
    std::vector<std::string> reachedAt;  // as the call log names keys, case folded
    Text sid;                            // per-user: whose profile
};

const Text kInspectUser = u"Inspect-User";
const Text kInspectClasses = u"Inspect-Classes";
const Text kInspectDefault = u"Inspect-Default";

std::string Key(const std::string& path) { return scope::Normal(path); }

std::vector<Region> Regions() {
    std::vector<Region> regions;
    const std::string admin = ToUtf8(kAdminSid);
    const std::string user = ToUtf8(kUserSid);
    for (const SweepRecord& r : SweepRecords()) {
        const std::string path = ToUtf8(r.keyPath);
        if (!r.perUser) {
            regions.push_back({scope::RootName(r.root) + "\\" + path,
                               r.root,
                               r.keyPath,
                               {Key(scope::RootName(r.root) + "\\" + path)},
                               Text()});
            continue;
        }
        const std::string branch = r.classes ? "\\Software\\Classes\\" : "\\";
        regions.push_back({"Administrator: " + path,
                           kHkeyUsers,
                           kAdminSid + Widen(branch) + r.keyPath,
                           {Key("HKU\\" + admin + branch + path),
                            Key("HKU\\Velmar-Mount-" + std::string(r.classes ? "Classes-" : "") +
                                admin + "\\" + path)},
                           kAdminSid});
        const Text inspect = r.classes ? kInspectClasses : kInspectUser;
        regions.push_back({"User: " + path,
                           kHkeyUsers,
                           inspect + u"\\" + r.keyPath,
                           {Key("HKU\\Velmar-Mount-" + std::string(r.classes ? "Classes-" : "") +
                                user + "\\" + path),
                            Key("HKU\\" + user + branch + path)},
                           kUserSid});
        // Only All Users lines outside the classes branch reach it.
        regions.push_back({"Default: " + path,
                           kHkeyUsers,
                           kInspectDefault + u"\\" + r.keyPath,
                           {Key("HKU\\" + ToUtf8(kDefaultProfileMount) + "\\" + path)},
                           u"(default profile)"});
    }
    return regions;
}

// Loads User's hive files again, after the run, to read them.
void MountForInspection(MemoryPlatform& sys) {
    const StartupInfo startup{kStartfUseShowWindow, kSwHide};
    for (const auto& [name, file] :
         {std::pair{kInspectUser, kUserHiveFile}, std::pair{kInspectClasses, kUserClassesFile},
          std::pair{kInspectDefault, kDefaultHiveFile}}) {
        ProcessHandle process = 0;
        ASSERT_TRUE(sys.CreateProcessW(sys.systemDirectory + u"\\reg.exe",
                                       u"reg.exe Load HKEY_USERS\\" + name + u" \"" + file + u"\"",
                                       false, 0, startup, &process));
        sys.CloseProcess(process);
        ASSERT_TRUE(sys.IsMounted(name)) << sys.Dump();
    }
}

std::map<std::string, std::string> RegionStates(MemoryPlatform& sys) {
    MountForInspection(sys);
    std::map<std::string, std::string> states;
    for (const Region& region : Regions())
        states[region.name] = Snapshot(sys, region.root, region.inspectPath);
    return states;
}

// The key a failed call was about, named as the call log names keys.
std::string FailedKey(const PlatformCall& call, const MemoryPlatform& clean) {
    if (call.op == SeamOp::CreateProcessW) {
        // An unload that cannot start is tried again: it may touch nothing.
        const auto command = ParseRegExeCommand(call.valueName);
        if (!command || command->verb == RegExeCommand::Verb::Unload) return std::string();
        return Key("HKU\\" + ToUtf8(command->mountName));
    }
    if (call.op == SeamOp::RegEnumKeyExW) {
        const auto sids = clean.SubkeyNames(kHkeyLocalMachine, Text(kProfileListPath));
        return Key(call.where + "\\" + (call.index < sids.size() ? ToUtf8(sids[call.index]) : ""));
    }
    return Key(scope::CallTarget(call));
}

// A failure reaches a region along its keys: at, above or below them. A
// failure in the profile list reaches the per-user regions of the profiles
// it was reading (all of them for the list itself).
bool CouldTouch(const std::string& failedKey, const Region& region) {
    for (const std::string& key : region.reachedAt)
        if (scope::AtOrBelow(key, failedKey) || scope::AtOrBelow(failedKey, key)) return true;
    if (region.sid.empty()) return false;
    const std::string list = Key("HKLM\\" + ToUtf8(kProfileListPath));
    return failedKey == list || scope::AtOrBelow(failedKey, list + "\\" + Key(ToUtf8(region.sid)));
}

bool IsSweptCall(const PlatformCall& call) {
    // A failed close keeps the handle in the model, which Windows does only
    // for a handle that is not one; closes are therefore not swept.
    if (call.op == SeamOp::RegCloseKey) return false;
    return std::string(SeamOpName(call.op)).rfind("Reg", 0) == 0 || call.op == SeamOp::CreateProcessW;
}

TEST(FaultSweepTest, EveryRegistryCallAndProcessStartFailingInTurn) {
    TwoProfileMachine clean;
    Seed(clean.sys);
    clean.IncludeDefaultProfile();
    clean.Run(SweepPackage());
    ASSERT_EQ(clean.sys.OpenHandleCount(), 0);
    ASSERT_TRUE(clean.sys.MountedHives().empty());
    const std::vector<PlatformCall> cleanCalls = clean.seam.Calls();
    const std::string cleanLog = clean.Log();
    const std::map<std::string, std::string> applied = RegionStates(clean.sys);

    // The clean run really applied the package: a sample of each kind.
    EXPECT_EQ(applied.at("HKLM\\SOFTWARE\\KmTest\\M1"), "{A=4:01000000}");
    EXPECT_EQ(applied.at("HKLM\\SOFTWARE\\KmTest\\M3"), "{Stays=4:02000000}");
    EXPECT_EQ(applied.at("HKLM\\SOFTWARE\\KmTest\\M4"), "absent");
    EXPECT_EQ(applied.at("HKCR\\.km7"), "absent");
    EXPECT_EQ(applied.at("Administrator: Software\\KmTest\\U8"), "{Mode=4:03000000}");
    EXPECT_EQ(applied.at("User: Software\\KmTest\\U8"), "{Mode=4:03000000}");
    EXPECT_EQ(applied.at("User: .km9"), "{=1:64006f0063000000}");
    EXPECT_EQ(applied.at("User: Environment"), "{}");
    EXPECT_EQ(applied.at("Administrator: Seeded"), "absent");
    EXPECT_EQ(applied.at("User: Seeded"), "absent");
    EXPECT_EQ(applied.at("Administrator: Software\\KmTest\\U13"), "absent");
    EXPECT_EQ(applied.at("User: Software\\KmTest\\U13"), "{}");
    EXPECT_EQ(applied.at("User: Software\\KmTest\\U12"), "absent");
    EXPECT_EQ(applied.at("Default: Software\\KmTest\\U8"), "{Mode=4:03000000}");
    EXPECT_EQ(applied.at("Default: .km9"), "absent");

    const RecordList records = scope::RecordsOf(SweepPackage());
    std::size_t swept = 0, starts = 0;
    for (std::size_t n = 1; n <= cleanCalls.size(); ++n) {
        const PlatformCall& failing = cleanCalls[n - 1];
        if (!IsSweptCall(failing)) continue;
        ++swept;
        if (failing.op == SeamOp::CreateProcessW) ++starts;
        const std::string failedKey = FailedKey(failing, clean.sys);
        const std::string label = "call " + std::to_string(n) + " failing: " + failing.ToString();

        TwoProfileMachine m;
        Seed(m.sys);
        m.IncludeDefaultProfile();
        m.seam.FailNthCall(n);
        m.Run(SweepPackage());
        ASSERT_EQ(m.seam.Calls()[n - 1].op, failing.op) << label;
        ASSERT_FALSE(m.seam.Calls()[n - 1].succeeded) << label;

        EXPECT_EQ(m.state.done.load(), 1) << label;
        EXPECT_EQ(m.sys.OpenHandleCount(), 0) << label << "\n" << m.seam.CallLog();
        EXPECT_EQ(m.sys.OpenProcessCount(), 0) << label;
        EXPECT_TRUE(m.sys.MountedHives().empty()) << label << "\n" << m.seam.CallLog();
        EXPECT_EQ(m.Log(), cleanLog) << label;
        for (const std::string& write :
             scope::WritesOutsideRecords(m.seam.Calls(), records, {kAdminSid, kUserSid, Text(kDefaultProfileMount)}))
            ADD_FAILURE() << label << ": write outside the records' keys: " << write;

        const std::map<std::string, std::string> after = RegionStates(m.sys);
        for (const Region& region : Regions()) {
            if (CouldTouch(failedKey, region)) continue;
            EXPECT_EQ(after.at(region.name), applied.at(region.name))
                << label << "\n  region " << region.name << " (failed call at " << failedKey << ")";
        }
    }
    // The sweep covers the whole pass: the profile list, both hives' loads
    // and unloads, and every record's calls.
    EXPECT_GE(swept, 50u);
    EXPECT_EQ(starts, 6u);
}

// The rest of the seam (files, environment, version, the system folder, the
// waits) failing in turn: the pass still ends clean and writes only where its
// records point. Closes and the clock are left out: a close that fails keeps
// its handle in the model, and the clock cannot fail.
TEST(FaultSweepTest, EveryOtherSeamCallFailingInTurnLeavesNothingBehind) {
    TwoProfileMachine clean;
    Seed(clean.sys);
    clean.IncludeDefaultProfile();
    clean.Run(SweepPackage());
    const std::vector<PlatformCall> cleanCalls = clean.seam.Calls();
    const RecordList records = scope::RecordsOf(SweepPackage());

    std::map<SeamOp, std::size_t> swept;
    for (std::size_t n = 1; n <= cleanCalls.size(); ++n) {
        const PlatformCall& failing = cleanCalls[n - 1];
        const SeamOp op = failing.op;
        if (IsSweptCall(failing) || op == SeamOp::RegCloseKey || op == SeamOp::CloseProcess ||
            op == SeamOp::GetLocalTime)
            continue;
        ++swept[op];
        const std::string label = "call " + std::to_string(n) + " failing: " + failing.ToString();

        TwoProfileMachine m;
        Seed(m.sys);
        m.IncludeDefaultProfile();
        m.seam.FailNthCall(n);
        m.Run(SweepPackage());
        EXPECT_EQ(m.state.done.load(), 1) << label;
        EXPECT_EQ(m.sys.OpenHandleCount(), 0) << label;
        EXPECT_EQ(m.sys.OpenProcessCount(), 0) << label;
        EXPECT_TRUE(m.sys.MountedHives().empty()) << label << "\n" << m.seam.CallLog();
        for (const std::string& write :
             scope::WritesOutsideRecords(m.seam.Calls(), records, {kAdminSid, kUserSid, Text(kDefaultProfileMount)}))
            ADD_FAILURE() << label << ": write outside the records' keys: " << write;
        // Without the package nothing is applied, nor when the signing policy
        // cannot be read: that asks for a signature, which it lacks. Otherwise
        // the machine-wide records are, whatever else failed.
        const bool read = op != SeamOp::ReadWholeFile &&
                          !(op == SeamOp::QueryPolicyValue && failing.valueName == kSigningPolicyValue);
        EXPECT_EQ(Snapshot(m.sys, kHkeyLocalMachine, u"SOFTWARE\\KmTest\\M1"),
                  read ? "{A=4:01000000}" : "absent")
            << label;
    }
    for (SeamOp op :
         {SeamOp::ReadWholeFile, SeamOp::AppendToFile, SeamOp::ExpandEnvironmentStringsW, SeamOp::GetShortPathNameW,
          SeamOp::GetOwnFileVersion, SeamOp::GetSystemDirectoryW, SeamOp::WaitForProcess, SeamOp::QueryPolicyValue})
        EXPECT_GE(swept[op], 1u) << SeamOpName(op) << " was never failed";
}

// Another program removes the key a run of value lines shares, after each
// call in turn. The held key is a speed-up only: the registry must end as
// when every line opens its own key, with each line applied after the
// removal in place.
TEST(FaultSweepTest, AHeldKeyRemovedFromOutsideAfterEachCallInTurn) {
    const char* names[] = {"a", "b", "c", "d"};
    std::string package;
    for (const char* name : names) package += ValueLine(kSoftware, "KmTest\\Run", name, "REG_SZ", name);
    // Writes nothing, yet creates its key as a line with a key of its own would.
    package += ValueLine(kSoftware, "KmTest\\Run", "n", "REG_NONE", "x");
    package += ValueLine(kSoftware, "KmTest\\Other", "z", "REG_SZ", "z");
    TwoProfileMachine clean;
    clean.Run(package);
    const std::vector<PlatformCall> cleanCalls = clean.seam.Calls();
    for (std::size_t n = 1; n <= cleanCalls.size(); ++n) {
        // The lines begun by call n are gone with the key (the first line's
        // set on the key it just created fails, as it would without a held
        // key); the rest land, and the line that writes nothing makes the
        // key again if it comes after.
        std::size_t gone = 0;
        bool created = false;
        bool lastSetDone = false;  // the line that writes nothing begins after the set of "d"
        for (std::size_t i = 0; i < n; ++i) {
            created = created || cleanCalls[i].op == SeamOp::RegCreateKeyExW;
            if (cleanCalls[i].op == SeamOp::RegSetValueExW && cleanCalls[i].valueName != u"z") ++gone;
            lastSetDone = cleanCalls[i].op == SeamOp::RegSetValueExW && cleanCalls[i].valueName == u"d";
        }
        if (created && gone == 0) gone = 1;
        std::string expected = created && lastSetDone ? "{}" : "absent";
        if (!created || gone < std::size(names)) {
            expected = "{";
            const std::size_t first = created ? gone : 0;
            for (std::size_t k = first; k < std::size(names); ++k) {
                char value[16];
                std::snprintf(value, sizeof value, "%02x000000", names[k][0]);
                expected += std::string(k > first ? " " : "") + names[k] + "=1:" + value;
            }
            expected += "}";
        }
        TwoProfileMachine m;
        m.seam.ChangeAfterCall(n, [&m] { m.sys.DeleteKey(kHkeyLocalMachine, u"SOFTWARE\\KmTest\\Run"); });
        m.Run(package);
        const std::string label = "removed after call " + std::to_string(n) + ": " +
                                  cleanCalls[n - 1].ToString();
        EXPECT_EQ(Snapshot(m.sys, kHkeyLocalMachine, u"SOFTWARE\\KmTest\\Run"), expected)
            << label << "\n" << m.seam.CallLog();
        EXPECT_EQ(Snapshot(m.sys, kHkeyLocalMachine, u"SOFTWARE\\KmTest\\Other"), "{z=1:7a000000}")
            << label;
        EXPECT_EQ(m.sys.OpenHandleCount(), 0) << label;
    }
}

// A hive left loaded keeps its file locked until the machine restarts, so one
// failed unload start is not the last try.
TEST(FaultSweepTest, AnUnloadThatCannotStartIsTriedOnceMore) {
    struct Case {
        const char* name;
        std::function<void(FaultPlatform&)> fail;
        std::size_t starts;
    } cases[] = {
        {"first unload's start fails",
         [](FaultPlatform& s) { s.FailNthCallOf(SeamOp::CreateProcessW, 3); }, 5},
        {"second unload's start fails",
         [](FaultPlatform& s) { s.FailNthCallOf(SeamOp::CreateProcessW, 4); }, 5},
        {"system folder unknown at the unload",
         [](FaultPlatform& s) { s.FailNthCallOf(SeamOp::GetSystemDirectoryW, 3); }, 4},
    };
    for (const Case& c : cases) {
        TwoProfileMachine m;
        c.fail(m.seam);
        m.Run(ValueLine(kCurrentUser, "Software\\KmTest", "A", "REG_DWORD", "0x00000001", "User") +
              ValueLine(kCurrentUser, "Software\\Classes\\.km", "", "REG_SZ", "d", "User"));
        EXPECT_EQ(m.seam.CallsOf(SeamOp::CreateProcessW).size(), c.starts) << c.name << "\n"
                                                                    << m.seam.CallLog();
        EXPECT_TRUE(m.sys.MountedHives().empty()) << c.name << "\n" << m.seam.CallLog();
        EXPECT_EQ(m.sys.OpenProcessCount(), 0) << c.name;
        // The records reached User's hives all the same.
        EXPECT_EQ(m.sys.hiveFiles.at(kUserHiveFile)->subkeys.size(), 2u) << c.name;
        EXPECT_EQ(m.state.done.load(), 1) << c.name;
    }
}

}  // namespace
}  // namespace km
