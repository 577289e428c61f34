#include "engine/per_user.h"

#include <gtest/gtest.h>

#include "engine/record_parser.h"
#include "platform/memory/memory_platform.h"
#include "platform/text.h"
#include "tests/support/fault_platform.h"
#include "tests/unit/test_values.h"

namespace km {
namespace {

PackageRecord KeyRecord(const Text& target, const Text& keyPath, std::int32_t classesKey = 0) {
    PackageRecord r;
    r.rootKind = Users;
    r.rootKey = kHkeyUsers;
    r.keyOnly = 1;
    r.target = target;
    r.keyPath = keyPath;
    r.classesKey = classesKey;
    return r;
}

UserProfile LoggedOn(const Text& sid, const Text& userName) {
    UserProfile p;
    p.sid = sid;
    p.userName = userName;
    p.userHiveKey = sid;
    return p;
}

// The per-user key paths that were created, in order.
std::vector<Text> CreatedPaths(const FaultPlatform& seam) {
    std::vector<Text> paths;
    for (const PlatformCall& c : seam.CallsOf(SeamOp::RegCreateKeyExW)) paths.push_back(c.subKey);
    return paths;
}

std::string Show(const std::vector<Text>& lines) {
    std::string out;
    for (const Text& l : lines) out += ToUtf8(l) + "\n";
    return out;
}

TEST(PerUserPathTest, PathByLoadedHivesAndClassesBranch) {
    UserProfile both;  // this run loaded both hives
    both.userHiveMounted = 1;
    both.userHiveKey = u"Velmar-Mount-A";
    both.classesHiveMounted = 1;
    both.classesHiveKey = u"Velmar-Mount-Classes-A";
    UserProfile loggedOn = LoggedOn(u"S-B", u"");
    UserProfile classesOnly;  // a package with classes records only
    classesOnly.classesHiveMounted = 1;
    classesOnly.classesHiveKey = u"Velmar-Mount-Classes-C";
    UserProfile userOnly;  // a package without classes records
    userOnly.userHiveMounted = 1;
    userOnly.userHiveKey = u"Velmar-Mount-D";
    UserProfile unselected;

    struct Case {
        const char* name;
        UserProfile profile;
        std::int32_t classesKey;
        Text path;
    } cases[] = {
        {"loaded, classes branch", both, 1, u"Velmar-Mount-Classes-A\\Vendor\\Tool"},
        {"loaded, user hive", both, 0, u"Velmar-Mount-A\\Vendor\\Tool"},
        {"logged on, classes branch", loggedOn, 1, u"S-B\\Software\\Classes\\Vendor\\Tool"},
        {"logged on, user hive", loggedOn, 0, u"S-B\\Vendor\\Tool"},
        // An empty hive key name leaves the leading backslash; the write then fails.
        {"classes loaded, user hive record", classesOnly, 0, u"\\Vendor\\Tool"},
        {"classes loaded, classes record", classesOnly, 1, u"Velmar-Mount-Classes-C\\Vendor\\Tool"},
        {"user loaded, classes record", userOnly, 1, u"\\Vendor\\Tool"},
        {"not selected, classes record", unselected, 1, u"\\Software\\Classes\\Vendor\\Tool"},
        {"not selected, user hive record", unselected, 0, u"\\Vendor\\Tool"},
    };
    for (const Case& c : cases) {
        MemoryPlatform sys;
        FaultPlatform seam{sys};
        const ApplySettings settings = MakeApplySettings(1);
        ApplyUserRecord(seam, settings, KeyRecord(u"All Users", u"Vendor\\Tool", c.classesKey), {c.profile});
        const auto creates = seam.CallsOf(SeamOp::RegCreateKeyExW);
        ASSERT_EQ(creates.size(), 1u) << c.name;
        EXPECT_EQ(creates[0].key, kHkeyUsers) << c.name;
        EXPECT_EQ(creates[0].subKey, c.path) << c.name << ": " << ToUtf8(creates[0].subKey);
        EXPECT_EQ(creates[0].sam, 0xF013Fu) << c.name;
        EXPECT_EQ(sys.OpenHandleCount(), 0) << c.name;
        // Read back to the line's place and key; a hive open under no key holds none.
        const std::optional<PlacedKey> at = PlaceOfKey(kHkeyUsers, c.path, &c.profile, AtTop::Excluded);
        ASSERT_EQ(at.has_value(), c.path[0] != u'\\') << c.name;
        if (!at) continue;
        EXPECT_EQ(at->place, c.classesKey == 1 ? Place::UserClasses : Place::UserHive) << c.name;
        EXPECT_EQ(at->key, u"Vendor\\Tool") << c.name;
    }
}

TEST(PerUserMatchTest, TargetMatchesUserNameOrAllUsersIgnoringAsciiCase) {
    const Text longName = Text(21, u'n');  // longer than any target can name
    ProfileList profiles{LoggedOn(u"K0", u"User"), LoggedOn(u"K1", u"USER"),
                               LoggedOn(u"K2", u"Administrator"), LoggedOn(u"K3", u"Bob"),
                               LoggedOn(u"K4", u""), LoggedOn(u"K5", longName), LoggedOn(u"KD", u"")};
    profiles.back().defaultProfile = true;  // no user name, yet "" never names it
    struct Case {
        Text target;
        std::vector<Text> keys;
    } cases[] = {
        {u"All Users", {u"K0", u"K1", u"K2", u"K3", u"K4", u"K5", u"KD"}},
        {u"all users", {u"K0", u"K1", u"K2", u"K3", u"K4", u"K5", u"KD"}},
        {u"ALL USERS", {u"K0", u"K1", u"K2", u"K3", u"K4", u"K5", u"KD"}},
        {u"User", {u"K0", u"K1"}},
        {u"user", {u"K0", u"K1"}},
        {u"administrator", {u"K2"}},
        {u"bOB", {u"K3"}},
        {u"Users", {}},
        {u"All Users ", {}},
        {u"Nobody", {}},
        {u"", {u"K4"}},
        {longName, {}},
    };
    for (const Case& c : cases) {
        MemoryPlatform sys;
        FaultPlatform seam{sys};
        for (const UserProfile& p : profiles) sys.CreateKey(kHkeyUsers, p.userHiveKey);
        ApplyUserRecord(seam, MakeApplySettings(0), KeyRecord(c.target, u"Key"), profiles);
        std::vector<Text> expected;
        for (const Text& k : c.keys) expected.push_back(k + u"\\Key");
        EXPECT_EQ(CreatedPaths(seam), expected) << "target '" << ToUtf8(c.target) << "'\n"
                                               << Show(CreatedPaths(seam));
        // Unmatched profiles see no registry call at all: one create and one close per match.
        EXPECT_EQ(seam.Calls().size(), 2 * expected.size()) << seam.CallLog();
    }
}

TEST(PerUserMatchTest, RecordIsAppliedPerProfileBeforeTheNextRecord) {
    const ProfileList profiles{LoggedOn(u"K1", u"User"), LoggedOn(u"K2", u"Administrator"),
                               LoggedOn(u"K3", u"user")};
    MemoryPlatform sys;
    FaultPlatform seam{sys};
    const ApplySettings settings = MakeApplySettings(0);
    ApplyUserRecord(seam, settings, KeyRecord(u"All Users", u"One"), profiles);
    ApplyUserRecord(seam, settings, KeyRecord(u"User", u"Two"), profiles);
    EXPECT_EQ(CreatedPaths(seam), (std::vector<Text>{u"K1\\One", u"K2\\One", u"K3\\One", u"K1\\Two",
                                                    u"K3\\Two"}))
        << Show(CreatedPaths(seam));
}

TEST(PerUserMatchTest, EmptyProfileListAppliesNowhere) {
    MemoryPlatform sys;
    FaultPlatform seam{sys};
    ApplyUserRecord(seam, MakeApplySettings(0), KeyRecord(u"All Users", u"Key"), {});
    EXPECT_TRUE(seam.Calls().empty());
}

// The whole per-user phase over the in-memory registry and its reg.exe.
class PerUserPhaseTest : public testing::Test {
protected:
    void SetUp() override {
        sys.wow64Redirection = false;
        AddProfile(u"S-1-5-21-1", u"C:\\Users\\User");
        AddProfile(u"S-1-5-21-2", u"C:\\Users\\Administrator");
        AddProfile(u"S-1-5-18", u"C:\\Windows\\system32\\config\\systemprofile");
        sys.CreateKey(kHkeyUsers, u"S-1-5-21-2");  // Administrator is logged on
        sys.hiveFiles[u"C:\\Users\\User\\NTUSER.DAT"] = userHive;
        sys.hiveFiles[u"C:\\Users\\User\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat"] = classesHive;
    }
    void AddProfile(const Text& sid, const Text& path) {
        Bytes bytes;
        for (char16_t c : path + Text(1, u'\0')) {
            bytes.push_back(std::uint8_t(c & 0xFF));
            bytes.push_back(std::uint8_t(c >> 8));
        }
        sys.SetValue(kHkeyLocalMachine, Text(kProfileListPath) + u"\\" + sid, u"ProfileImagePath", kRegExpandSz, bytes);
    }
    RecordList Parse(std::initializer_list<const char*> lines) {
        RecordList records;
        for (const char* line : lines) records.push_back(ParseRecordLine(Widen(line), targetGroups));
        return records;
    }
    void ApplyAll(const RecordList& records, const ProfileList& profiles) {
        const ApplySettings settings = MakeApplySettings(state.isWow64);
        for (const PackageRecord& r : records) ApplyUserRecord(seam, settings, r, profiles);
    }

    MemoryPlatform sys;
    FaultPlatform seam{sys};
    RunState state;
    std::uint8_t targetGroups = 0;  // of the lines parsed so far
    std::shared_ptr<MemoryKey> userHive = std::make_shared<MemoryKey>();
    std::shared_ptr<MemoryKey> classesHive = std::make_shared<MemoryKey>();
};

TEST_F(PerUserPhaseTest, ValuesReachLoadedAndLoggedOnHives) {
    const RecordList records = Parse({
        "1*@*HKEY_CURRENT_USER*@*Software\\Vendor*@**@*Name*@*REG_SZ*@*All Users*@*hello*@*",
        "2*@*HKEY_CURRENT_USER*@*Software\\Classes\\.kmx*@**@**@*REG_SZ*@*all users*@*kmxfile*@*",
        "3*@*HKEY_CURRENT_USER*@*Software\\OnlyUser*@*True*@**@**@*User*@**@*",
    });
    ASSERT_EQ(targetGroups, 0x33);
    const ProfileList profiles = PrepareProfiles(seam, state, targetGroups, state.isWow64);
    ASSERT_EQ(profiles.size(), 2u);
    ApplyAll(records, profiles);

    const auto text = [](const char16_t* s) {
        Bytes b;
        for (const char16_t* p = s;; ++p) {
            b.push_back(std::uint8_t(*p & 0xFF));
            b.push_back(std::uint8_t(*p >> 8));
            if (*p == 0) break;
        }
        return StoredValue{kRegSz, b};
    };
    EXPECT_EQ(sys.GetValue(kHkeyUsers, u"Velmar-Mount-S-1-5-21-1\\Software\\Vendor", u"Name"), text(u"hello"))
        << sys.Dump();
    EXPECT_EQ(sys.GetValue(kHkeyUsers, u"Velmar-Mount-Classes-S-1-5-21-1\\.kmx", u""), text(u"kmxfile"))
        << sys.Dump();
    EXPECT_EQ(sys.GetValue(kHkeyUsers, u"S-1-5-21-2\\Software\\Vendor", u"Name"), text(u"hello")) << sys.Dump();
    EXPECT_EQ(sys.GetValue(kHkeyUsers, u"S-1-5-21-2\\Software\\Classes\\.kmx", u""), text(u"kmxfile"))
        << sys.Dump();
    // The key-only line reaches only the profile its target names.
    EXPECT_TRUE(sys.KeyExists(kHkeyUsers, u"Velmar-Mount-S-1-5-21-1\\Software\\OnlyUser")) << sys.Dump();
    EXPECT_FALSE(sys.KeyExists(kHkeyUsers, u"S-1-5-21-2\\Software\\OnlyUser")) << sys.Dump();

    ReleaseProfiles(seam, profiles);
    EXPECT_TRUE(sys.MountedHives().empty()) << sys.Dump();
    // What was written stays in the hive file.
    auto software = userHive->FindSubkey(u"Software");
    ASSERT_TRUE(software);
    auto vendor = software->FindSubkey(u"Vendor");
    ASSERT_TRUE(vendor);
    ASSERT_NE(vendor->FindValue(u"Name"), nullptr);
    ASSERT_TRUE(classesHive->FindSubkey(u".kmx"));
    // The logged-on user's hive stays where it is.
    EXPECT_TRUE(sys.KeyExists(kHkeyUsers, u"S-1-5-21-2"));
}

TEST_F(PerUserPhaseTest, NoTargetGroupsMeansNoProfilesAndNoCommands) {
    const RecordList records = Parse({
        "1*@*HKEY_CURRENT_USER*@*Software\\Vendor*@**@*Name*@*REG_SZ*@*Somebody*@*x*@*",
    });
    ASSERT_EQ(targetGroups, 0);
    const ProfileList profiles = PrepareProfiles(seam, state, targetGroups, state.isWow64);
    EXPECT_TRUE(profiles.empty());
    ApplyAll(records, profiles);
    ReleaseProfiles(seam, profiles);
    EXPECT_TRUE(seam.Calls().empty()) << seam.CallLog();
}

TEST_F(PerUserPhaseTest, ReleaseUnloadsExactlyWhatPrepareLoaded) {
    Parse({"1*@*HKEY_CURRENT_USER*@*Software\\Vendor*@**@*Name*@*REG_SZ*@*User*@*x*@*"});
    ASSERT_EQ(targetGroups, 0x01);
    const ProfileList profiles = PrepareProfiles(seam, state, targetGroups, state.isWow64);
    EXPECT_EQ(sys.MountedHives(), (std::vector<Text>{u"Velmar-Mount-S-1-5-21-1"}));
    seam.ClearCalls();
    ReleaseProfiles(seam, profiles);
    const auto starts = seam.CallsOf(SeamOp::CreateProcessW);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].valueName, u"reg.exe Unload HKEY_USERS\\Velmar-Mount-S-1-5-21-1");
    EXPECT_TRUE(sys.MountedHives().empty());
}

}  // namespace
}  // namespace km
