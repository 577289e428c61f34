// Undo packages: base, then the package, then its undo, gives the base back
// wherever nothing was reported; and each report names what differs.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <iterator>
#include <map>
#include <random>

#include "toolkit/snapshot.h"
#include "toolkit/text_codec.h"
#include "platform/text.h"
#include "engine/update_pass.h"
#include "pack/capture.h"
#include "pack/undo.h"
#include "tests/unit/machine_state.h"
#include "tests/unit/snapshot_source.h"
#include "tests/unit/two_profile_machine.h"

namespace km::pack {
namespace {

using namespace machine;

// Administrator logged on, User and Bob not (hive files).
void Seed(MemoryPlatform& sys) {
    TwoProfileMachine m;
    AddProfileEntry(m.sys, u"S-1-5-21-100-200-300-1002", u"C:\\Users\\Bob");
    m.sys.hiveFiles[u"C:\\Users\\Bob\\NTUSER.DAT"] = HiveTree(u"Software");
    m.sys.hiveFiles[u"C:\\Users\\Bob" + Text(kClassesHiveInProfile)] = HiveTree(u".bob");
    // Every user's hive has its Software key, which Keymason never removes.
    toolkit::EnsureTreeKey(m.sys.hiveFiles[kUserHiveFile], u"Software");
    for (const char16_t* key : {u"SOFTWARE\\V1", u"SOFTWARE\\V1\\Sub", u"SYSTEM\\V2"})
        m.sys.SetValue(kHkeyLocalMachine, key, u"Seed", kRegSz, Utf16Bytes(u"seed"));
    m.sys.SetValue(kHkeyClassesRoot, u".v3", u"", kRegSz, Utf16Bytes(u"V3.File"));
    // Keys the registry finds under other spellings: another letter case
    // beyond ASCII, and HKEY_CLASSES_ROOT's machine part by its HKLM name.
    m.sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\\u00C4pfel", u"\u00D6l", kRegSz, Utf16Bytes(u"precious"));
    m.sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Classes\\.txt", u"", kRegSz, Utf16Bytes(u"txtfile"));
    m.sys.CreateKey(kHkeyLocalMachine, u"SOFTWARE\\Classes\\.txt\\ShellNew");
    m.sys.SetValue(kHkeyUsers, kAdminSid + u"\\Software\\V1", u"Seed", kRegDword, {1, 0, 0, 0});
    Copy(m.sys, sys);
}

std::string RandomPackage(std::mt19937& rng) {
    const char* roots[] = {"HKEY_LOCAL_MACHINE\\SOFTWARE", "HKEY_LOCAL_MACHINE\\SYSTEM", "HKEY_CLASSES_ROOT",
                           "HKEY_CURRENT_USER"};
    const char* keys[] = {"V1", "V1\\Sub", "V2", "V2\\New\\Deep", ".v3", "Software\\V1", "Software\\Classes\\.v4",
                          "Environment", "Software", "v1\\SUB", "\xC3\xA4pfel", ".txt", "Classes\\.TXT"};
    const char* names[] = {"Seed", "A", "", "B", "seed", "\xC3\xB6l"};
    const char* targets[] = {"All Users", "Administrator", "User", "Bob"};
    const char* values[] = {"REG_SZ*@*%s*@*text", "REG_DWORD*@*%s*@*0x0000002A", "REG_MULTI_SZ*@*%s*@*a*BreakLine*b",
                            "REG_BINARY*@*%s*@*xy", "REG_QWORD*@*%s*@*0x0000000100000002", "REG_EXPAND_SZ*@*%s*@*%%T%%"};
    std::string package;
    for (int n = 1 + int(rng() % 6); n > 0; --n) {
        const std::string head = std::string("1*@*") + roots[rng() % 4] + "*@*" + keys[rng() % std::size(keys)] + "*@*";
        const std::string target = targets[rng() % 4];
        switch (rng() % 4) {
            case 0: {
                std::string value = values[rng() % 6];
                value.replace(value.find("%s"), 2, target);
                const auto pct = value.find("%%");
                if (pct != std::string::npos) value = value.substr(0, pct) + "%T%";
                package += head + "*@*" + names[rng() % std::size(names)] + "*@*" + value + "*@*\r\n";
                break;
            }
            case 1:
                package += head + "*@*" + names[rng() % std::size(names)] + "*@*REG_SZ*@*" + target + "*@**@*DELETE_REG\r\n";
                break;
            case 2: package += head + "True*@**@**@*" + target + "*@**@*\r\n"; break;
            default: package += head + "True*@**@**@*" + target + "*@*DELETE_REG*@*\r\n"; break;
        }
    }
    return package;
}

// Every value the packages set is one a line can carry, and every profile
// has a name of its own: nothing may be reported, but what the default
// profile (by machine policy) gets where the package changed the profiles
// unlike. Keys and values come back in the letter case they had, whatever
// case the package's lines spell them in.
class UndoRoundTrip : public testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(DefaultProfile, UndoRoundTrip, testing::Bool());

TEST_P(UndoRoundTrip, BasePackageThenUndoGivesTheBaseBack) {
    MemoryPlatform base;
    Seed(base);
    if (GetParam()) {
        base.SetValue(kHkeyLocalMachine, kMachinePolicyKey, kDefaultProfilePolicyValue, kRegDword, {1, 0, 0, 0});
        base.SetValue(kHkeyLocalMachine, Text(kProfileListPath), u"Default", kRegSz, Utf16Bytes(u"C:\\Users\\Default"));
        base.hiveFiles[kDefaultHiveFile] = HiveTree(u"Software");
    }
    const State original = StateOf(base, true);
    MemoryPlatform live;  // reads through to the base: the same undo, the base never written
    live.ReadThrough(std::make_shared<SnapshotSource>(base));
    std::mt19937 rng(7);
    int defaultPutBack = 0;
    for (int round = 0; round < 300; ++round) {
        const std::string package = RandomPackage(rng);
        const UndoResult undo = PlanUndo(base, package);
        std::string items;
        for (const std::string& item : undo.unrestorable)
            if (item.rfind("the default profile", 0) != 0) items += item + "\n";
        EXPECT_EQ(items, "") << package;
        if (!undo.unrestorable.empty()) continue;
        defaultPutBack += GetParam() && undo.package.find("*@*All Users*@*") != std::string::npos;
        EXPECT_EQ(PlanUndo(live, package).package, undo.package) << package;
        MemoryPlatform sys;
        Copy(base, sys);
        Apply(sys, package);
        const bool changed = StateOf(sys, true) != original;
        Apply(sys, undo.package);
        EXPECT_EQ(StateOf(sys, true), original) << "package:\n" << package << "undo:\n" << undo.package;
        EXPECT_EQ(undo.package.empty(), !changed) << package;
    }
    EXPECT_GT(defaultPutBack, GetParam() ? 10 : -1) << "the default profile must be put back where it can be";
    EXPECT_EQ(StateOf(base, true), original) << "the base is left as it was";
    EXPECT_TRUE(toolkit::SnapshotSections(live).empty()) << "each undo read a copy of the base";
}

// What cannot be put back is named, item by item.
TEST(UndoTest, EachItemThatCannotBePutBackIsNamed) {
    const Text twin = u"S-1-5-21-100-200-300-2001";
    struct Case {
        const char* name;
        std::function<void(MemoryPlatform&)> arrange;
        std::string package;
        std::map<Text, std::string> notInspected;
        std::string reported;  // a part of the one item
        std::string inPackage = "";  // a part of the undo package
        std::string inReg = "";      // a part of its .reg file
        bool live = false;           // the base reads through to the machine arranged
    } cases[] = {
        {"an old value of a type with no package name",
         [](MemoryPlatform& s) { s.SetValue(kHkeyLocalMachine, u"SOFTWARE\\V1", u"Odd", 0, {1, 2}); },
         ValueLine("HKEY_LOCAL_MACHINE\\SOFTWARE", "V1", "Odd", "REG_SZ", "x"), {},
         "V1 value \"Odd\": type 0 has no package name"},
        {"an old string with a line break",
         [](MemoryPlatform& s) { s.SetValue(kHkeyLocalMachine, u"SOFTWARE\\V1", u"T", kRegSz, Utf16Bytes(u"a\nb")); },
         ValueRemovalLine("HKEY_LOCAL_MACHINE\\SOFTWARE", "V1", "T"), {}, "holds a line break"},
        // A stale profile entry beside the user's own, as Windows leaves them.
        {"two profiles of one user name",
         [&](MemoryPlatform& s) {
             AddProfileEntry(s, twin, u"C:\\Users\\User");
             s.CreateKey(kHkeyUsers, twin + u"\\Software");
         },
         ValueLine("HKEY_CURRENT_USER", "Software\\V9", "A", "REG_SZ", "x"), {}, "shared by 2 profiles"},
        {"a profile whose hives were not read", [](MemoryPlatform&) {},
         ValueLine("HKEY_CURRENT_USER", "Software\\V9", "A", "REG_SZ", "x"),
         {{kUserSid, "its hive is in use"}}, "not inspected (its hive is in use)"},
        {"a profile whose user name is no target",
         [](MemoryPlatform& s) {
             AddProfileEntry(s, u"S-1-5-21-100-200-300-2002", u"D:\\Profiles\\Eve");
             s.CreateKey(kHkeyUsers, u"S-1-5-21-100-200-300-2002\\Software");
         },
         ValueLine("HKEY_CURRENT_USER", "Software\\V9", "A", "REG_SZ", "x"), {}, "cannot stand as a target"},
        {"a logged-on profile no line reaches is put back by the .reg file",
         [](MemoryPlatform& s) {
             AddProfileEntry(s, u"S-1-5-21-100-200-300-2003", u"C:\\Users\\Administrator.Contoso-Workstation");
             s.CreateKey(kHkeyUsers, u"S-1-5-21-100-200-300-2003\\Software");
         },
         ValueLine("HKEY_CURRENT_USER", "Software\\V9", "A", "REG_SZ", "x"), {}, "the .reg file puts it back", "",
         "[-HKEY_USERS\\S-1-5-21-100-200-300-2003\\Software\\V9]"},
        {"a profile with one of its hives in the base",
         [](MemoryPlatform& s) { s.hiveFiles.erase(u"C:\\Users\\Bob" + Text(kClassesHiveInProfile)); },
         ValueLine("HKEY_CURRENT_USER", "Software\\V9", "A", "REG_SZ", "x") +
             ValueLine("HKEY_CURRENT_USER", "Software\\Classes\\.v9", "A", "REG_SZ", "x"),
         {}, "UsrClass.dat is not in the base", "Software\\V9*@*True*@**@**@*Bob*@*DELETE_REG"},
        {"a profile not logged on whose hive is not in the base",
         [](MemoryPlatform& s) { s.hiveFiles.erase(u"C:\\Users\\Bob\\NTUSER.DAT"); },
         ValueLine("HKEY_CURRENT_USER", "Software\\V9", "A", "REG_SZ", "x"), {},
         "S-1-5-21-100-200-300-1002: not logged on, and its hive C:\\Users\\Bob\\NTUSER.DAT is not in the base"},
        {"a key whose values no line carries is still made",
         [](MemoryPlatform& s) { s.SetValue(kHkeyLocalMachine, u"SOFTWARE\\V1\\Odd", u"N", 0, {1}); },
         KeyLine("HKEY_LOCAL_MACHINE\\SOFTWARE", "V1\\Odd", true), {}, "type 0 has no package name",
         KeyLine("HKEY_LOCAL_MACHINE\\SOFTWARE", "V1\\Odd", false), "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V1\\Odd]\r\n\"N\"=hex(0):01"},
        {"a hive file the machine lacks", [](MemoryPlatform& s) { s.hiveFiles.erase(u"C:\\Users\\Bob\\NTUSER.DAT"); },
         ValueLine("HKEY_CURRENT_USER", "Software\\V9", "A", "REG_SZ", "x"), {},
         "1002: not inspected (C:\\Users\\Bob\\NTUSER.DAT: no such file)", "", "", true},
        {"a hive file that loads but cannot be read",
         [](MemoryPlatform& s) { s.hiveFiles[u"C:\\Users\\Bob\\NTUSER.DAT"] = nullptr; },
         ValueLine("HKEY_CURRENT_USER", "Software\\V9", "A", "REG_SZ", "x"), {},
         "1002: not inspected (C:\\Users\\Bob\\NTUSER.DAT: loaded, but its keys cannot be read)", "", "", true},
        {"a hive file found by the machine's environment",
         [](MemoryPlatform& s) {
             AddProfileEntry(s, u"S-1-5-21-100-200-300-1002", u"%SystemDrive%\\Users\\Bob");
             s.environment["SystemDrive"] = u"C:";
         },
         ValueLine("HKEY_CURRENT_USER", "Software\\V9", "A", "REG_SZ", "x"), {},
         "HKEY_USERS\\S-1-5-21-100-200-300-1002\\Software\\V9: ", "", "", true},
    };
    for (const Case& c : cases) {
        MemoryPlatform base;
        Seed(base);
        c.arrange(base);
        MemoryPlatform live;
        live.ReadThrough(std::make_shared<SnapshotSource>(base));
        const UndoResult undo = PlanUndo(c.live ? live : base, c.package, c.notInspected);
        std::string items;
        for (const std::string& item : undo.unrestorable) items += item + "\n";
        EXPECT_NE(items.find(c.reported), std::string::npos) << c.name << ":\n" << items;
        EXPECT_NE(undo.package.find(c.inPackage), std::string::npos) << c.name << ":\n" << undo.package;
        const std::string reg = ToUtf8(toolkit::DecodeUtf16Le(toolkit::FormatRegFile(undo.regFile)));
        EXPECT_NE(reg.find(c.inReg), std::string::npos) << c.name << ":\n" << reg;
    }
}

// What the pass cannot make: keys and value names in another letter case,
// a type with no package name (left out and named), long names.
void Mutate(MemoryPlatform& sys, std::mt19937& rng) {
    const Text keys[] = {u"SOFTWARE\\V1", u"SOFTWARE\\V1\\Sub", u"SOFTWARE\\Classes\\.txt", kAdminSid + u"\\Software\\V1"};
    for (int n = int(rng() % 3); n > 0; --n) {
        const Text& key = keys[rng() % std::size(keys)];
        const RegKey root = key[0] == u'S' && key[1] == u'O' ? kHkeyLocalMachine : kHkeyUsers;
        switch (rng() % 4) {
            case 0:  // the same key, recased
                sys.DeleteKey(root, key);
            {
                Text recased = key;
                for (std::size_t i = key.rfind(u'\\') + 1; i < key.size(); ++i)
                    recased[i] = char16_t(std::isalpha(int(key[i])) ? key[i] ^ 0x20 : key[i]);
                sys.SetValue(root, recased, u"seed", kRegSz, Utf16Bytes(u"again"));
            }
                break;
            case 1:  // a value name recased
                sys.RegDeleteKeyValueW(root, &key, u"Seed");
                sys.SetValue(root, key, u"SEED", kRegDword, {7, 0, 0, 0});
                break;
            case 2: sys.SetValue(root, key + u"\\Odd", u"none", 0, {1, 2}); break;
            default: sys.SetValue(root, key + u"\\" + Text(240, u'L'), Text(255, u'v'), kRegSz, Utf16Bytes(u"long"));
        }
    }
}

// The state capture speaks for: the machine and the captured profile, but
// for the excluded key and what no line carries.
State Captured(const MemoryPlatform& sys) {
    State state = StateOf(sys, true);
    for (auto it = state.begin(); it != state.end();) {
        const Text key = RegistryFold(it->first);
        it->second.erase(u"none");
        const bool out = key.rfind(u"HKEY_USERS\\HIVEFILE:", 0) == 0 || key.rfind(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\V2", 0) == 0;
        it = out ? state.erase(it) : std::next(it);
    }
    return state;
}

void CaptureSide(const MemoryPlatform& sys, const CaptureOptions& options, MemoryPlatform& side) {
    toolkit::RegFileError error;
    std::vector<toolkit::RegFileError> warnings;
    LoadCaptureSide(*toolkit::ParseRegFile(toolkit::FormatRegFile(toolkit::SnapshotSections(sys)), &error), options,
                    side, &warnings);
}

// Capture's package applied to BEFORE by the real pass gives AFTER, and
// capture AFTER BEFORE gives BEFORE back, wherever nothing was excluded or
// named; every change in the excluded key is counted.
TEST(CaptureTest, PackageTakesBeforeToAfter) {
    const CaptureOptions options{u"All Users", kAdminSid, {{u"hklm\\software\\v2", 0}}};
    std::mt19937 rng(11);
    for (int round = 0; round < 150; ++round) {
        MemoryPlatform seeded, changed;
        Seed(seeded);
        Apply(seeded, RandomPackage(rng));
        Copy(seeded, changed);
        Apply(changed, RandomPackage(rng));
        Mutate(changed, rng);
        MemoryPlatform before, after;
        CaptureSide(seeded, options, before);
        CaptureSide(changed, options, after);
        for (const auto& way : {std::pair{&before, &after}, std::pair{&after, &before}}) {
            const CaptureResult capture = Capture(*way.first, *way.second, options);
            std::string named;
            for (const std::string& item : capture.refused)
                if (item.find("no package name") == std::string::npos && item.find("hive file") != 0) named += item + "\n";
            EXPECT_EQ(named, "");
            MemoryPlatform applied;
            Copy(*way.first, applied);
            Apply(applied, capture.package);
            EXPECT_EQ(Captured(applied), Captured(*way.second)) << capture.package;
            State b = StateOf(*way.first, true), a = StateOf(*way.second, true);
            const auto v2 = [](State s) {
                for (auto it = s.begin(); it != s.end();)
                    it = RegistryFold(it->first).rfind(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\V2", 0) == 0 ? std::next(it) : s.erase(it);
                return s;
            };
            EXPECT_EQ(capture.excluded[0].changes == 0, v2(b) == v2(a));
        }
    }
}

}  // namespace
}  // namespace km::pack
