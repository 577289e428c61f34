#include <gtest/gtest.h>

#include "check/plan.h"
#include "toolkit/reg_file.h"
#include "toolkit/snapshot.h"
#include "toolkit/text_codec.h"

namespace km::check {
namespace {

std::string Lines(std::initializer_list<const char*> lines) {
    std::string out;
    for (const char* line : lines) out += std::string(line) + "\n";
    return out;
}

void LoadBase(MemoryPlatform& sys, const std::string& regText) {
    toolkit::RegFileError error;
    auto file = toolkit::ParseRegFile("Windows Registry Editor Version 5.00\n\n" + regText, &error);
    ASSERT_TRUE(file) << error.line << ": " << error.message;
    ASSERT_TRUE(toolkit::LoadSnapshot(*file, sys, &error)) << error.message;
}

std::string Plan(MemoryPlatform& sys, const std::string& package, std::map<Text, std::string> notInspected = {}) {
    PlanInput input;
    input.packageName = "pkg.dat";
    input.packageBytes = package;
    input.baseName = "base.reg";
    input.notInspected = std::move(notInspected);
    return RunPlan(input, sys);
}

// A profile list entry S-1-5-21-7-RID for C:\Users\FOLDER (.reg text).
std::string ProfileEntry(const std::string& rid, const std::string& folder) {
    return "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-21-7-" + rid +
           "]\n\"ProfileImagePath\"=\"C:\\\\Users\\\\" + folder + "\"\n";
}

const char* const kTwoProfiles = R"(
[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList\S-1-5-18]
"ProfileImagePath"="C:\\Windows\\system32\\config\\systemprofile"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList\S-1-5-21-7-1001]
"ProfileImagePath"="C:\\Users\\User"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList\S-1-5-21-7-500]
"ProfileImagePath"="C:\\Users\\Administrator"

[HKEY_LOCAL_MACHINE\SOFTWARE\Vendor\Tool]
"Name"="same"

[HKEY_LOCAL_MACHINE\SOFTWARE\Old]
"X"=dword:00000001

[HKEY_LOCAL_MACHINE\SOFTWARE\Old\Sub]
"Y"="y"

[HKEY_USERS\S-1-5-21-7-1001\Software]

[HKEY_USERS\HiveFile:C:/Users/Administrator/NTUSER.DAT\Software\Vendor]
"Gone"="bye"
"Color"="blue"
)";

TEST(CheckPlanTest, ReportsEachLinePerRootAndProfileWithASummary) {
    MemoryPlatform sys;
    LoadBase(sys, kTwoProfiles);
    const std::string package = Lines({
        "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*Vendor\\Tool*@**@*Level*@*REG_DWORD*@*All Users*@*0x0000000A*@*",
        "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*Vendor\\Tool*@**@*Name*@*REG_SZ*@**@*same*@*",
        "1*@*HKEY_CURRENT_USER*@*Software\\Vendor*@**@*Color*@*REG_SZ*@*All Users*@*red*@*",
        "1*@*HKEY_CURRENT_USER*@*Software\\Vendor*@**@*Gone*@*REG_SZ*@*Administrator*@**@*DELETE_REG",
        "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*Old*@*True*@**@**@**@**@*DELETE_REG",
        "1*@*HKEY_LOCAL_MACHINE\\SYSTEM*@*Missing*@*True*@**@**@**@**@*DELETE_REG",
    });
    EXPECT_EQ(Plan(sys, package), Lines({
        "plan for pkg.dat against base.reg",
        "profiles:",
        "  User: S-1-5-21-7-1001, C:\\Users\\User, logged on",
        "  Administrator: S-1-5-21-7-500, C:\\Users\\Administrator, not logged on, the pass loads NTUSER.DAT as "
        "HKEY_USERS\\Velmar-Mount-S-1-5-21-7-500",
        "line 1: set value \"Level\" as REG_DWORD in HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool",
        "  HKEY_LOCAL_MACHINE: set value HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool \"Level\": (none) -> "
        "REG_DWORD 0x0000000a (10)",
        "line 2: set value \"Name\" as REG_SZ in HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool",
        "  HKEY_LOCAL_MACHINE: no change: HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool \"Name\" already holds REG_SZ \"same\"",
        "line 3: set value \"Color\" as REG_SZ in per-user key Software\\Vendor for \"All Users\"",
        "  User: create key HKEY_USERS\\S-1-5-21-7-1001\\Software\\Vendor",
        "  User: set value HKEY_USERS\\S-1-5-21-7-1001\\Software\\Vendor \"Color\": (none) -> REG_SZ \"red\"",
        "  Administrator: change value HKEY_USERS\\Velmar-Mount-S-1-5-21-7-500\\Software\\Vendor \"Color\": "
        "REG_SZ \"blue\" -> REG_SZ \"red\"",
        "line 4: delete value \"Gone\" in per-user key Software\\Vendor for \"Administrator\"",
        "  Administrator: delete value HKEY_USERS\\Velmar-Mount-S-1-5-21-7-500\\Software\\Vendor \"Gone\" "
        "(was REG_SZ \"bye\")",
        "  User: passed over: target \"Administrator\" is neither \"All Users\" nor its user name \"User\"",
        "line 5: delete key HKEY_LOCAL_MACHINE\\SOFTWARE\\Old",
        "  HKEY_LOCAL_MACHINE: delete key HKEY_LOCAL_MACHINE\\SOFTWARE\\Old",
        "  HKEY_LOCAL_MACHINE:   lost value HKEY_LOCAL_MACHINE\\SOFTWARE\\Old \"X\" (was REG_DWORD 0x00000001 (1))",
        "  HKEY_LOCAL_MACHINE:   lost key HKEY_LOCAL_MACHINE\\SOFTWARE\\Old\\Sub",
        "  HKEY_LOCAL_MACHINE:   lost value HKEY_LOCAL_MACHINE\\SOFTWARE\\Old\\Sub \"Y\" (was REG_SZ \"y\")",
        "line 6: delete key HKEY_LOCAL_MACHINE\\SYSTEM\\Missing",
        "  HKEY_LOCAL_MACHINE: no change: key HKEY_LOCAL_MACHINE\\SYSTEM\\Missing does not exist",
        "summary:",
        "  HKEY_LOCAL_MACHINE: keys created 0, deleted 2; values set 1, changed 0, unchanged 1, deleted 2",
        "  HKEY_CLASSES_ROOT: keys created 0, deleted 0; values set 0, changed 0, unchanged 0, deleted 0",
        "  User: keys created 1, deleted 0; values set 1, changed 0, unchanged 0, deleted 0",
        "  Administrator: keys created 0, deleted 0; values set 0, changed 1, unchanged 0, deleted 1",
    }));
    // The state after the pass: the hive file got its changes back when it was unloaded.
    const auto& hive = sys.hiveFiles.at(u"C:\\Users\\Administrator\\NTUSER.DAT");
    const MemoryKey& vendor = *hive->FindSubkey(u"Software")->FindSubkey(u"Vendor");
    EXPECT_EQ(vendor.FindValue(u"Gone"), nullptr);
    EXPECT_NE(vendor.FindValue(u"Color"), nullptr);
    EXPECT_FALSE(sys.KeyExists(kHkeyLocalMachine, u"SOFTWARE\\Old"));
    EXPECT_TRUE(sys.MountedHives().empty());
}

TEST(CheckPlanTest, DefaultBaseHasOneLoggedOnProfile) {
    MemoryPlatform sys;
    toolkit::LoadDefaultBase(sys);
    const std::string report = Plan(sys, Lines({
        "1*@*HKEY_CLASSES_ROOT*@*.ext*@*True*@**@**@**@**@*",
        "1*@*HKEY_CURRENT_USER*@*Software\\Classes\\.ext*@**@**@*REG_SZ*@*User*@*Vendor.File*@*",
    }));
    EXPECT_EQ(report, Lines({
        "plan for pkg.dat against base.reg",
        "profiles:",
        "  User: S-1-5-21-1000000000-1000000000-1000000000-1001, C:\\Users\\User, logged on",
        "line 1: create key HKEY_CLASSES_ROOT\\.ext",
        "  HKEY_CLASSES_ROOT: create key HKEY_CLASSES_ROOT\\.ext",
        "line 2: set value (default) as REG_SZ in per-user key Software\\Classes\\.ext for \"User\"",
        "  User: create key HKEY_USERS\\S-1-5-21-1000000000-1000000000-1000000000-1001\\Software",
        "  User: create key HKEY_USERS\\S-1-5-21-1000000000-1000000000-1000000000-1001\\Software\\Classes",
        "  User: create key HKEY_USERS\\S-1-5-21-1000000000-1000000000-1000000000-1001\\Software\\Classes\\.ext",
        "  User: set value HKEY_USERS\\S-1-5-21-1000000000-1000000000-1000000000-1001\\Software\\Classes\\.ext "
        "(default): (none) -> REG_SZ \"Vendor.File\"",
        "summary:",
        "  HKEY_LOCAL_MACHINE: keys created 0, deleted 0; values set 0, changed 0, unchanged 0, deleted 0",
        "  HKEY_CLASSES_ROOT: keys created 1, deleted 0; values set 0, changed 0, unchanged 0, deleted 0",
        "  User: keys created 3, deleted 0; values set 1, changed 0, unchanged 0, deleted 0",
    }));
}

// The lines of one record's part of the report, "line N:" included.
std::string RecordLines(const std::string& report, int line) {
    const std::string start = "line " + std::to_string(line) + ":";
    const std::size_t from = report.find(start);
    if (from == std::string::npos) return "(no " + start + ")";
    std::size_t to = report.find("\nline ", from);
    if (to == std::string::npos) to = report.find("\nsummary:", from);
    return report.substr(from, to - from + 1);
}

TEST(CheckPlanTest, SaysWhyALineChangesNothing) {
    struct Case {
        const char* why;
        std::string base;
        std::string line;
        std::string expected;
    } cases[] = {
        {"unknown type", "", "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V*@**@*N*@*REG_NONE*@**@*x*@*",
         "line 1: set value \"N\" as REG_NONE in HKEY_LOCAL_MACHINE\\SOFTWARE\\V\n"
         "  HKEY_LOCAL_MACHINE: create key HKEY_LOCAL_MACHINE\\SOFTWARE\\V\n"
         "  HKEY_LOCAL_MACHINE: nothing set: type \"REG_NONE\" is not one the program sets\n"},
        {"short dword", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\n",
         "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V*@**@*N*@*REG_DWORD*@**@*0x1*@*",
         "line 1: set value \"N\" as REG_DWORD in HKEY_LOCAL_MACHINE\\SOFTWARE\\V\n"
         "  HKEY_LOCAL_MACHINE: nothing set: the value data cannot be encoded\n"},
        {"key exists", "[HKEY_LOCAL_MACHINE\\SYSTEM\\K]\n", "1*@*HKEY_LOCAL_MACHINE\\SYSTEM*@*K*@*true*@*",
         "line 1: create key HKEY_LOCAL_MACHINE\\SYSTEM\\K\n"
         "  HKEY_LOCAL_MACHINE: no change: key HKEY_LOCAL_MACHINE\\SYSTEM\\K exists\n"},
        {"value to delete is missing", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\n",
         "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V*@**@*N*@*REG_SZ*@**@**@*DELETE_REG",
         "line 1: delete value \"N\" in HKEY_LOCAL_MACHINE\\SOFTWARE\\V\n"
         "  HKEY_LOCAL_MACHINE: no change: HKEY_LOCAL_MACHINE\\SOFTWARE\\V has no value \"N\"\n"},
        {"a root is never deleted", "", "1*@*HKEY_LOCAL_MACHINE\\SYSTEM*@**@*True*@**@**@**@**@*DELETE_REG",
         "line 1: delete key HKEY_LOCAL_MACHINE\\SYSTEM\\\n"
         "  HKEY_LOCAL_MACHINE: refused: HKEY_LOCAL_MACHINE\\SYSTEM\\ is a root or a hive's top key, which a line "
         "never deletes\n"},
        {"NUL in a per-user key", "",
         "1*@*HKEY_CURRENT_USER*@*Software\\V" + std::string(1, '\0') + "x*@**@*N*@*REG_SZ*@*All Users*@*x*@*",
         // The NUL shown escaped: plan text never carries a raw control character.
         "line 1: set value \"N\" as REG_SZ in per-user key Software\\V\\0x for \"All Users\"\n"
             "  User: refused: the key or value name holds a NUL character, which would name another key or value\n"},
        {"NUL in a value name", "",
         "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V*@**@*N" + std::string(1, '\0') + "*@*REG_SZ*@**@*x*@*",
         "line 1: set value \"N\\0\" as REG_SZ in HKEY_LOCAL_MACHINE\\SOFTWARE\\V\n"
         "  HKEY_LOCAL_MACHINE: refused: the key or value name holds a NUL character, which would name another key or "
         "value\n"},
        {"NEL and line separator in a key", "",
         "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V\xC2\x85x\xE2\x80\xA8*@**@*N*@*REG_NONE*@**@*x*@*",
         "line 1: set value \"N\" as REG_NONE in HKEY_LOCAL_MACHINE\\SOFTWARE\\V\\x85x\\u2028\n"
         "  HKEY_LOCAL_MACHINE: create key HKEY_LOCAL_MACHINE\\SOFTWARE\\V\\x85x\\u2028\n"
         "  HKEY_LOCAL_MACHINE: nothing set: type \"REG_NONE\" is not one the program sets\n"},
        {"no profile group named", "",
         "1*@*HKEY_CURRENT_USER*@*Software\\V*@**@*N*@*REG_SZ*@*jsmith*@*x*@*",
         "line 1: set value \"N\" as REG_SZ in per-user key Software\\V for \"jsmith\"\n"
         "  reaches no profile: no per-user line of the package names All Users, Administrator or User, so the "
         "pass prepares no profile\n"},
    };
    for (const Case& c : cases) {
        MemoryPlatform sys;
        toolkit::LoadDefaultBase(sys);
        if (!c.base.empty()) LoadBase(sys, c.base);
        EXPECT_EQ(RecordLines(Plan(sys, c.line + "\n"), 1), c.expected) << c.why;
    }
}

// The pass keeps a key open across a run of value lines on it; each line is
// still reported with what it alone did, a line that calls nothing too.
TEST(CheckPlanTest, LinesSharingAnOpenKeyAreReportedOneByOne) {
    MemoryPlatform sys;
    toolkit::LoadDefaultBase(sys);
    LoadBase(sys, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\n\"Old\"=\"o\"\n");
    const std::string plan = Plan(sys, Lines({
        "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V*@**@*A*@*REG_SZ*@**@*a*@*",
        "2*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*v*@**@*D*@*REG_DWORD*@**@*0x1*@*",
        "3*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V*@**@*Old*@*REG_SZ*@**@**@*DELETE_REG",
        "4*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V*@**@*Missing*@*REG_SZ*@**@**@*DELETE_REG",
    }));
    const std::string expected[] = {
        "line 1: set value \"A\" as REG_SZ in HKEY_LOCAL_MACHINE\\SOFTWARE\\V\n"
        "  HKEY_LOCAL_MACHINE: set value HKEY_LOCAL_MACHINE\\SOFTWARE\\V \"A\": (none) -> REG_SZ \"a\"\n",
        "line 2: set value \"D\" as REG_DWORD in HKEY_LOCAL_MACHINE\\SOFTWARE\\v\n"
        "  HKEY_LOCAL_MACHINE: nothing set: the value data cannot be encoded\n",
        "line 3: delete value \"Old\" in HKEY_LOCAL_MACHINE\\SOFTWARE\\V\n"
        "  HKEY_LOCAL_MACHINE: delete value HKEY_LOCAL_MACHINE\\SOFTWARE\\V \"Old\" (was REG_SZ \"o\")\n",
        "line 4: delete value \"Missing\" in HKEY_LOCAL_MACHINE\\SOFTWARE\\V\n"
        "  HKEY_LOCAL_MACHINE: no change: HKEY_LOCAL_MACHINE\\SOFTWARE\\V has no value \"Missing\"\n",
    };
    for (int line = 1; line <= 4; ++line) EXPECT_EQ(RecordLines(plan, line), expected[line - 1]) << plan;
}

TEST(CheckPlanTest, ProfilesThatCannotBeReachedAreNamedSo) {
    MemoryPlatform sys;
    LoadBase(sys, ProfileEntry("1001", "User") + ProfileEntry("1002", "jsmith") + ProfileEntry("1003", "kim"));
    const std::string report =
        Plan(sys, Lines({"1*@*HKEY_CURRENT_USER*@*Software\\V*@**@*N*@*REG_SZ*@*All Users*@*x*@*"}),
             {{u"S-1-5-21-7-1003", "the hive file is in use"}});
    EXPECT_EQ(report, Lines({
        "plan for pkg.dat against base.reg",
        "profiles:",
        "  User: S-1-5-21-7-1001, C:\\Users\\User, not logged on, the pass loads NTUSER.DAT as "
        "HKEY_USERS\\Velmar-Mount-S-1-5-21-7-1001; C:\\Users\\User\\NTUSER.DAT is not in the base",
        "  jsmith: S-1-5-21-7-1002, C:\\Users\\jsmith, not logged on, the pass loads NTUSER.DAT as "
        "HKEY_USERS\\Velmar-Mount-S-1-5-21-7-1002; C:\\Users\\jsmith\\NTUSER.DAT is not in the base",
        "  kim: S-1-5-21-7-1003, C:\\Users\\kim, not inspected: the hive file is in use",
        "line 1: set value \"N\" as REG_SZ in per-user key Software\\V for \"All Users\"",
        "  User: fails: key HKEY_USERS\\Velmar-Mount-S-1-5-21-7-1001\\Software\\V cannot be created (its hive file "
        "is not in the base)",
        "  jsmith: fails: key HKEY_USERS\\Velmar-Mount-S-1-5-21-7-1002\\Software\\V cannot be created (its hive "
        "file is not in the base)",
        "  kim: not inspected (the hive file is in use)",
        "summary:",
        "  HKEY_LOCAL_MACHINE: keys created 0, deleted 0; values set 0, changed 0, unchanged 0, deleted 0",
        "  HKEY_CLASSES_ROOT: keys created 0, deleted 0; values set 0, changed 0, unchanged 0, deleted 0",
        "  User: keys created 0, deleted 0; values set 0, changed 0, unchanged 0, deleted 0",
        "  jsmith: keys created 0, deleted 0; values set 0, changed 0, unchanged 0, deleted 0",
        "  kim: not inspected",
    }));
}

// Each profile as the pass's account says it reached it.
TEST(CheckPlanTest, ProfilesAreShownAsThePassReachedThem) {
    struct Case {
        const char* target;
        std::string expected;  // a line of the profiles part
    } cases[] = {
        {"Administrator", "  User: S-1-5-21-7-1001, C:\\Users\\User, not selected: no line's target group names it, "
                          "so the pass reaches no hive of it\n"},
        {"All Users", "  Q\"x: S-1-5-21-7-1002, C:\\Users\\Q\"x, not logged on, and its SID or profile path cannot "
                      "stand in reg.exe's command line: the pass loads no hive for it\n"},
        {"User", "  User: S-1-5-21-7-1001, C:\\Users\\User, not logged on, the pass loads NTUSER.DAT as "
                 "HKEY_USERS\\Velmar-Mount-S-1-5-21-7-1001; C:\\Users\\User\\NTUSER.DAT is not in the base\n"},
        // The base holds the policy that reaches the default profile.
        {"All Users", "  (default profile): for users who log on later, C:\\Users\\Default, the pass loads NTUSER.DAT "
                      "as HKEY_USERS\\Keymason-DefaultProfile\n"},
        {"User", "  (default profile): passed over: target \"User\" is not \"All Users\", and a user who does not "
                 "exist yet belongs to no group\n"},
    };
    for (const Case& c : cases) {
        MemoryPlatform sys;
        LoadBase(sys, ProfileEntry("1001", "User") + ProfileEntry("1002", "Q\\\"x") +
                          "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\Keymason]\n\"IncludeDefaultProfile\"=dword:00000001\n"
                          "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList]\n"
                          "\"Default\"=\"%SystemDrive%\\\\Users\\\\Default\"\n\n[HKEY_USERS\\HiveFile:C:/Users/Default/NTUSER.DAT]\n");
        const std::string report =
            Plan(sys, "1*@*HKEY_CURRENT_USER*@*Software\\V*@**@*N*@*REG_SZ*@*" + std::string(c.target) + "*@*x*@*\n");
        EXPECT_NE(report.find(c.expected), std::string::npos) << c.target << ":\n" << report;
    }
}

}  // namespace
}  // namespace km::check
