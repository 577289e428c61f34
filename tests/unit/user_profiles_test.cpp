#include "engine/user_profiles.h"

#include <gtest/gtest.h>

#include "platform/memory/memory_platform.h"
#include "platform/text.h"
#include "tests/support/fault_platform.h"
#include "tests/unit/test_values.h"

namespace km {
namespace {

class ProfileListTest : public testing::Test {
protected:
    void SetUp() override { sys.wow64Redirection = false; }

    void AddProfile(const Text& sid, const Text& path, std::uint32_t type = kRegExpandSz) {
        sys.SetValue(kHkeyLocalMachine, Text(kProfileListPath) + u"\\" + sid, u"ProfileImagePath", type,
                     Utf16Bytes(path));
    }
    void AddProfileWithoutPath(const Text& sid) {
        sys.CreateKey(kHkeyLocalMachine, Text(kProfileListPath) + u"\\" + sid);
    }

    static std::vector<Text> Sids(const ProfileList& profiles) {
        std::vector<Text> sids;
        for (const UserProfile& p : profiles) sids.push_back(p.sid);
        return sids;
    }

    MemoryPlatform sys;
    FaultPlatform seam{sys};
    std::int32_t isWow64 = 0;
};

TEST_F(ProfileListTest, ServiceAccountsAreSkippedInAnyLetterCase) {
    struct Case {
        const char* name;
        std::vector<Text> subkeys;
        std::vector<Text> expected;
    } cases[] = {
        {"only service accounts", {u"S-1-5-18", u"S-1-5-19", u"S-1-5-20"}, {}},
        {"lower case", {u"s-1-5-18", u"s-1-5-19", u"s-1-5-20"}, {}},
        {"among users", {u"S-1-5-21-1", u"s-1-5-19", u"S-1-5-21-2"}, {u"S-1-5-21-1", u"S-1-5-21-2"}},
        {"look-alikes stay", {u"S-1-5-180", u"S-1-5-2", u"S-1-5-18 "}, {u"S-1-5-180", u"S-1-5-2", u"S-1-5-18 "}},
    };
    for (const Case& c : cases) {
        MemoryPlatform fresh;
        fresh.wow64Redirection = false;
        for (const Text& sid : c.subkeys)
            fresh.SetValue(kHkeyLocalMachine, Text(kProfileListPath) + u"\\" + sid, u"ProfileImagePath", kRegExpandSz,
                           Utf16Bytes(u"C:\\Users\\Someone"));
        EXPECT_EQ(Sids(BuildProfileList(fresh, isWow64)), c.expected) << c.name;
    }
}

TEST_F(ProfileListTest, MissingProfileListGivesEmptyList) {
    EXPECT_TRUE(BuildProfileList(seam, isWow64).empty());
    EXPECT_EQ(sys.OpenHandleCount(), 0);
}

TEST_F(ProfileListTest, FailedCountGivesEmptyList) {
    AddProfile(u"S-1-5-21-1", u"C:\\Users\\User");
    seam.FailCall(SeamOp::RegQueryInfoKeyW);
    EXPECT_TRUE(BuildProfileList(seam, isWow64).empty());
    EXPECT_TRUE(seam.CallsOf(SeamOp::RegEnumKeyExW).empty());
    EXPECT_EQ(sys.OpenHandleCount(), 0);
}

TEST_F(ProfileListTest, EntriesFollowEnumerationOrderWithFreshMountFields) {
    AddProfile(u"S-1-5-21-30", u"C:\\Users\\Zed");
    AddProfile(u"S-1-5-21-10", u"C:\\Users\\Amy");
    AddProfile(u"S-1-5-21-20", u"C:\\Users\\Max");
    ProfileList profiles = BuildProfileList(seam, isWow64);
    ASSERT_EQ(Sids(profiles), (std::vector<Text>{u"S-1-5-21-30", u"S-1-5-21-10", u"S-1-5-21-20"}));
    for (const UserProfile& p : profiles) {
        EXPECT_EQ(p.userHiveMounted, 0);
        EXPECT_EQ(p.classesHiveMounted, 0);
        EXPECT_TRUE(p.userHiveKey.empty());
        EXPECT_TRUE(p.classesHiveKey.empty());
    }
    EXPECT_EQ(profiles[1].profilePath, u"C:\\Users\\Amy");
    EXPECT_EQ(sys.OpenHandleCount(), 0);
}

TEST_F(ProfileListTest, UserNameIsThePathWithEveryExactUsersPrefixRemoved) {
    struct Case {
        Text path;
        Text userName;
    } cases[] = {
        {u"C:\\Users\\Administrator", u"Administrator"},
        {u"C:\\Users\\User", u"User"},
        {u"C:\\Users\\Administrator.PC01", u"Administrator.PC01"},
        {u"c:\\users\\Administrator", u"c:\\users\\Administrator"},
        {u"D:\\Users\\Bob", u"D:\\Users\\Bob"},
        {u"C:\\Users\\Bob\\C:\\Users\\Sub", u"Bob\\Sub"},
        {u"C:\\Users\\C:\\Users\\Bob", u"Bob"},
        // Removal works on the original text only: what joins up afterwards stays.
        {u"C:\\UsC:\\Users\\ers\\Bob", u"C:\\Users\\Bob"},
        {u"C:\\Users\\", u""},
        {u"C:\\Users", u"C:\\Users"},
        {u"%SystemDrive%\\Users\\Bob", u"%SystemDrive%\\Users\\Bob"},
    };
    for (const Case& c : cases) {
        MemoryPlatform fresh;
        fresh.wow64Redirection = false;
        fresh.SetValue(kHkeyLocalMachine, Text(kProfileListPath) + u"\\S-1-5-21-1", u"ProfileImagePath", kRegExpandSz,
                       Utf16Bytes(c.path));
        ProfileList profiles = BuildProfileList(fresh, isWow64);
        ASSERT_EQ(profiles.size(), 1u) << ToUtf8(c.path);
        EXPECT_EQ(profiles[0].profilePath, c.path);
        EXPECT_EQ(profiles[0].userName, c.userName) << ToUtf8(c.path);
    }
}

TEST_F(ProfileListTest, ProfilePathIsReadAsStoredUpToTheFirstNul) {
    struct Case {
        const char* name;
        std::uint32_t type;
        Bytes data;
        Text path;
    } cases[] = {
        {"expand string stays unexpanded", kRegExpandSz, Utf16Bytes(u"%SystemDrive%\\Users\\Bob"),
         u"%SystemDrive%\\Users\\Bob"},
        {"plain string", kRegSz, Utf16Bytes(u"C:\\Users\\Bob"), u"C:\\Users\\Bob"},
        {"type not examined", kRegBinary, Utf16Bytes(u"C:\\Users\\Bin", false), u"C:\\Users\\Bin"},
        {"cut at the first NUL", kRegSz, Utf16Bytes(Text(u"C:\\Users\\A\0junk", 15)), u"C:\\Users\\A"},
        {"odd byte left over", kRegBinary, Bytes{'A', 0, 'B', 0, 'C'}, u"AB"},
        {"empty data", kRegSz, Bytes{}, u""},
        {"no terminator stored", kRegSz, Utf16Bytes(u"C:\\Users\\Eve", false), u"C:\\Users\\Eve"},
        {"longer than 259 characters kept whole", kRegSz, Utf16Bytes(u"C:\\Users\\" + Text(300, u'x')),
         u"C:\\Users\\" + Text(300, u'x')},
    };
    for (const Case& c : cases) {
        MemoryPlatform fresh;
        fresh.wow64Redirection = false;
        fresh.SetValue(kHkeyLocalMachine, Text(kProfileListPath) + u"\\S-1-5-21-1", u"ProfileImagePath", c.type, c.data);
        ProfileList profiles = BuildProfileList(fresh, isWow64);
        ASSERT_EQ(profiles.size(), 1u) << c.name;
        EXPECT_EQ(profiles[0].profilePath, c.path) << c.name;
    }
}

TEST_F(ProfileListTest, UnreadableProfileStillGivesAnEntryWithItsSid) {
    AddProfileWithoutPath(u"S-1-5-21-1");
    AddProfile(u"S-1-5-21-2", u"C:\\Users\\Locked");
    AddProfile(u"S-1-5-21-3", u"C:\\Users\\Unread");
    seam.FailCall(SeamOp::RegOpenKeyExW, u"S-1-5-21-2");
    seam.FailCall(SeamOp::RegQueryValueExW);
    ProfileList profiles = BuildProfileList(seam, isWow64);
    ASSERT_EQ(Sids(profiles), (std::vector<Text>{u"S-1-5-21-1", u"S-1-5-21-2", u"S-1-5-21-3"}));
    for (const UserProfile& p : profiles) {
        EXPECT_TRUE(p.profilePath.empty()) << ToUtf8(p.sid);
        EXPECT_TRUE(p.userName.empty()) << ToUtf8(p.sid);
    }
    EXPECT_EQ(sys.OpenHandleCount(), 0);
}

TEST_F(ProfileListTest, SubkeyThatCannotBeEnumeratedIsSkipped) {
    AddProfile(u"S-1-5-21-1", u"C:\\Users\\A");
    AddProfile(u"S-1-5-21-2", u"C:\\Users\\B");
    AddProfile(u"S-1-5-21-3", u"C:\\Users\\C");
    seam.FailNthCallOf(SeamOp::RegEnumKeyExW, 2);
    EXPECT_EQ(Sids(BuildProfileList(seam, isWow64)), (std::vector<Text>{u"S-1-5-21-1", u"S-1-5-21-3"}));
    const auto enums = seam.CallsOf(SeamOp::RegEnumKeyExW);
    ASSERT_EQ(enums.size(), 3u);
    for (std::uint32_t i = 0; i < enums.size(); ++i) {
        EXPECT_EQ(enums[i].index, i);
        EXPECT_EQ(enums[i].capacity, 255u);
    }
}

TEST_F(ProfileListTest, SubkeyNamesUpTo254CharactersAreRead) {
    const Text longest = u"S-1-5-21-" + Text(245, u'1');   // 254 characters
    const Text tooLong = u"S-1-5-21-" + Text(246, u'2');   // 255 characters
    AddProfile(longest, u"C:\\Users\\Long");
    AddProfile(tooLong, u"C:\\Users\\TooLong");
    ProfileList profiles = BuildProfileList(seam, isWow64);
    ASSERT_EQ(profiles.size(), 1u);
    EXPECT_EQ(profiles[0].sid, longest);
    EXPECT_EQ(profiles[0].userName, u"Long");
}

TEST_F(ProfileListTest, AccessMaskFollowsIsWow64) {
    struct Case {
        std::int32_t isWow64;
        std::uint32_t mask;
    } cases[] = {{1, 0x20119}, {0, 0x20019}, {2, 0x20019}};
    for (const Case& c : cases) {
        MemoryPlatform fresh;  // redirects the 32-bit view, as under WOW64
        FaultPlatform freshSeam{fresh};
        fresh.SetValue(kHkeyLocalMachine, Text(kProfileListPath) + u"\\S-1-5-21-1", u"ProfileImagePath", kRegSz,
                       Utf16Bytes(u"C:\\Users\\User"));
        ProfileList profiles = BuildProfileList(freshSeam, c.isWow64);
        const auto opens = freshSeam.CallsOf(SeamOp::RegOpenKeyExW);
        ASSERT_FALSE(opens.empty());
        for (const PlatformCall& open : opens) EXPECT_EQ(open.sam, c.mask) << "isWow64 " << c.isWow64;
        // Only the 64-bit view holds the profile list.
        EXPECT_EQ(profiles.size(), c.isWow64 == 1 ? 1u : 0u) << "isWow64 " << c.isWow64;
    }
}

}  // namespace
}  // namespace km
