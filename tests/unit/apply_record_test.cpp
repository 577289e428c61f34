#include <gtest/gtest.h>

#include <functional>

#include "engine/apply_record.h"
#include "platform/memory/memory_platform.h"
#include "platform/text.h"
#include "tests/support/fault_platform.h"
#include "tests/unit/registry_snapshot.h"

namespace km {
namespace {

const Text kTool = u"SOFTWARE\\Vendor\\Tool";
const Text kVendor = u"SOFTWARE\\Vendor";

Bytes Dword(std::uint32_t v) {
    return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}

PackageRecord Record(int keyOnly, int remove, std::uint64_t number = 0) {
    PackageRecord r;
    r.rootKey = kHkeyLocalMachine;
    r.rootKind = MachineSoftware;
    r.keyPath = kTool;
    r.keyOnly = keyOnly;
    r.remove = remove;
    if (keyOnly != 1) {
        r.valueName = u"Level";
        r.typeName = u"REG_DWORD";
        r.number = number;
    }
    return r;
}

class ApplyRecordTest : public ::testing::Test {
protected:
    // A 32-bit process on 64-bit Windows, as the program usually runs.
    ApplySettings settings = MakeApplySettings(1);
    MemoryPlatform sys;
};

TEST(ApplySettingsTest, MaskAndAttributesFollowIsWow64) {
    struct Case { std::int32_t isWow64; std::uint32_t mask; } cases[] = {
        {0, 0xF003F}, {1, 0xF013F}, {2, 0xF003F}, {-1, 0xF003F},  // only 1 means WOW64
    };
    for (const auto& c : cases) {
        const ApplySettings s = MakeApplySettings(c.isWow64);
        EXPECT_EQ(s.accessMask, c.mask) << c.isWow64;
        EXPECT_EQ(s.keyAttributes.nLength, 12u);
        EXPECT_FALSE(s.keyAttributes.hasSecurityDescriptor);
        EXPECT_EQ(s.keyAttributes.bInheritHandle, 1);
    }
}

TEST_F(ApplyRecordTest, EachRowActsOnTheKeyAsItStands) {
    using Seed = std::function<void(MemoryPlatform&)>;
    const Seed none = [](MemoryPlatform&) {};
    const Seed toolWithValues = [](MemoryPlatform& s) {
        s.SetValue(kHkeyLocalMachine, kTool, u"Level", kRegDword, Dword(1));
        s.SetValue(kHkeyLocalMachine, kTool, u"Other", kRegDword, Dword(2));
        s.CreateKey(kHkeyLocalMachine, kTool + u"\\Child");
    };
    struct Case {
        const char* name;
        PackageRecord record;
        Seed seed;
        std::string vendorAfter;
    } cases[] = {
        {"key removal deletes the subtree", Record(1, 1), toolWithValues, "{}"},
        {"key removal of a missing key creates nothing", Record(1, 1), none, "absent"},
        {"key creation makes the parents", Record(1, 0), none, "{Tool{}}"},
        {"key creation keeps what is there", Record(1, 0), toolWithValues,
         "{Tool{Level=4:01000000 Other=4:02000000 Child{}}}"},
        {"value removal deletes that value only", Record(0, 1), toolWithValues,
         "{Tool{Other=4:02000000 Child{}}}"},
        {"value removal of a missing key creates nothing", Record(0, 1), none, "absent"},
        {"value line creates the key with its parents", Record(0, 0, 10), none,
         "{Tool{Level=4:0a000000}}"},
        {"value line overrides", Record(0, 0, 10), toolWithValues,
         "{Tool{Level=4:0a000000 Other=4:02000000 Child{}}}"},
        {"flags other than 1 count as 0", Record(2, 2, 10), none, "{Tool{Level=4:0a000000}}"},
    };
    for (const auto& c : cases) {
        MemoryPlatform fresh;
        FaultPlatform seam{fresh};
        c.seed(fresh);
        ApplyRecordAt(seam, settings, c.record, kHkeyLocalMachine, kTool);
        EXPECT_EQ(Snapshot(fresh, kHkeyLocalMachine, kVendor), c.vendorAfter) << c.name;
        EXPECT_EQ(fresh.OpenHandleCount(), 0) << c.name << "\n" << seam.CallLog();
    }
}

TEST_F(ApplyRecordTest, KeyRemovalHitsOnlyTheViewOfThePass) {
    struct Case {
        std::int32_t isWow64;
        bool redirection;  // the process is 32-bit on a 64-bit system
    } cases[] = {{1, true}, {0, false}};
    for (const auto& c : cases) {
        MemoryPlatform fresh;
        FaultPlatform seam{fresh};
        fresh.wow64Redirection = c.redirection;
        fresh.SetValue(kHkeyLocalMachine, u"SOFTWARE\\X\\Sub", u"v", kRegDword, Dword(1));
        fresh.SetValue(kHkeyLocalMachine, u"SOFTWARE\\WOW6432Node\\X\\Sub", u"v", kRegDword,
                       Dword(2));
        PackageRecord record = Record(1, 1);
        record.keyPath = u"SOFTWARE\\X";
        ApplyRecordAt(seam, MakeApplySettings(c.isWow64), record, kHkeyLocalMachine,
                      record.keyPath);
        EXPECT_FALSE(fresh.KeyExists(kHkeyLocalMachine, u"SOFTWARE\\X"))
            << c.isWow64 << "\n" << seam.CallLog();
        EXPECT_EQ(Snapshot(fresh, kHkeyLocalMachine, u"SOFTWARE\\WOW6432Node\\X"),
                  "{Sub{v=4:02000000}}")
            << c.isWow64 << "\n" << seam.CallLog();
        EXPECT_EQ(fresh.OpenHandleCount(), 0);
        for (const auto& call : seam.CallsOf(SeamOp::RegDeleteKeyExW))
            EXPECT_EQ(call.sam, c.isWow64 == 1 ? kKeyWow64_64Key : 0u);
    }
}

TEST_F(ApplyRecordTest, EveryOpenAndCreateUsesTheMaskOfThePass) {
    struct Case { std::int32_t isWow64; std::uint32_t mask; } cases[] = {
        {0, 0xF003F}, {1, 0xF013F}};
    for (const auto& c : cases) {
        MemoryPlatform fresh;
        FaultPlatform seam{fresh};
        fresh.wow64Redirection = c.isWow64 == 1;
        fresh.SetValue(kHkeyLocalMachine, kTool, u"Level", kRegDword, Dword(1));
        const ApplySettings s = MakeApplySettings(c.isWow64);
        for (const PackageRecord& r : {Record(0, 0, 3), Record(0, 1), Record(1, 0), Record(1, 1)})
            ApplyRecordAt(seam, s, r, kHkeyLocalMachine, kTool);

        const auto opens = seam.CallsOf(SeamOp::RegOpenKeyExW);
        const auto creates = seam.CallsOf(SeamOp::RegCreateKeyExW);
        ASSERT_EQ(opens.size(), 2u) << seam.CallLog();
        ASSERT_EQ(creates.size(), 2u) << seam.CallLog();
        for (const auto& call : opens) {
            EXPECT_EQ(call.sam, c.mask);
            EXPECT_EQ(call.options, 0u);
        }
        for (const auto& call : creates) {
            EXPECT_EQ(call.sam, c.mask);
            EXPECT_EQ(call.options, kRegOptionNonVolatile);
            EXPECT_EQ(call.reserved, 0u);
            ASSERT_TRUE(call.attributes.has_value());
            EXPECT_EQ(call.attributes->nLength, 12u);
            EXPECT_EQ(call.attributes->bInheritHandle, 1);
            EXPECT_FALSE(call.attributes->hasSecurityDescriptor);
        }
        EXPECT_EQ(fresh.OpenHandleCount(), 0);
    }
}

TEST_F(ApplyRecordTest, FailedOpenOrCreateSkipsTheRecord) {
    struct Case {
        const char* name;
        SeamOp failing;
        PackageRecord record;
        std::string vendorAfter;
    } cases[] = {
        {"create for a value", SeamOp::RegCreateKeyExW, Record(0, 0, 9), "{Tool{Level=4:01000000}}"},
        {"create for a key", SeamOp::RegCreateKeyExW, Record(1, 0), "{Tool{Level=4:01000000}}"},
        {"open for a value removal", SeamOp::RegOpenKeyExW, Record(0, 1), "{Tool{Level=4:01000000}}"},
        {"open for a key removal", SeamOp::RegOpenKeyExW, Record(1, 1), "{Tool{Level=4:01000000}}"},
    };
    for (const auto& c : cases) {
        MemoryPlatform fresh;
        FaultPlatform seam{fresh};
        fresh.SetValue(kHkeyLocalMachine, kTool, u"Level", kRegDword, Dword(1));
        seam.FailCall(c.failing);
        ApplyRecordAt(seam, settings, c.record, kHkeyLocalMachine, kTool);
        EXPECT_EQ(Snapshot(fresh, kHkeyLocalMachine, kVendor), c.vendorAfter) << c.name;
        EXPECT_EQ(fresh.OpenHandleCount(), 0) << c.name;
        EXPECT_TRUE(seam.CallsOf(SeamOp::RegSetValueExW).empty()) << c.name;
        EXPECT_TRUE(seam.CallsOf(SeamOp::RegDeleteTreeW).empty()) << c.name;
    }
}

TEST_F(ApplyRecordTest, KeyRemovalNeverWipesARootOrAHiveTop) {
    struct Case {
        const char* name;
        RegKey root;
        Text path;
        Text probe;  // a key inside what the path names
        bool removed;
    } cases[] = {
        {"whole classes root", kHkeyClassesRoot, u"", u".kmx\\Inner", false},
        {"classes root by a lone backslash", kHkeyClassesRoot, u"\\", u".kmx\\Inner", false},
        {"HKLM\\SOFTWARE with its trailing backslash", kHkeyLocalMachine, u"SOFTWARE\\",
         u"SOFTWARE\\Inner", false},
        {"HKLM\\SYSTEM", kHkeyLocalMachine, u"SYSTEM", u"SYSTEM\\Inner", false},
        {"a user's hive", kHkeyUsers, u"S-1-5-21-1\\", u"S-1-5-21-1\\Inner", false},
        {"a mounted hive", kHkeyUsers, u"Velmar-Mount-S-1-5-21-1",
         u"Velmar-Mount-S-1-5-21-1\\Inner", false},
        // Classes stores: the machine's, and each user's (a link to the user's
        // classes hive, wherever the hive hangs).
        {"HKLM\\SOFTWARE\\Classes", kHkeyLocalMachine, u"SOFTWARE\\Classes",
         u"SOFTWARE\\Classes\\.kmx", false},
        {"HKLM\\SOFTWARE\\Classes in other case, trailing backslash", kHkeyLocalMachine,
         u"software\\CLASSES\\", u"SOFTWARE\\Classes\\.kmx", false},
        {"a logged-on user's classes link", kHkeyUsers, u"S-1-5-21-1\\Software\\Classes",
         u"S-1-5-21-1_Classes\\.kmx", false},
        {"the link in other case, trailing backslash", kHkeyUsers,
         u"S-1-5-21-1\\software\\classes\\", u"S-1-5-21-1_Classes\\.kmx", false},
        {"Software\\Classes in a hive the run loaded", kHkeyUsers,
         u"Velmar-Mount-S-1-5-21-1\\Software\\Classes",
         u"Velmar-Mount-S-1-5-21-1\\Software\\Classes\\.kmx", false},
        {"a user's Software key, above the link", kHkeyUsers, u"S-1-5-21-1\\software\\",
         u"S-1-5-21-1\\Software\\Vendor", false},
        {"a class through the link", kHkeyUsers, u"S-1-5-21-1\\Software\\Classes\\.kmx",
         u"S-1-5-21-1_Classes\\.kmx\\Inner", true},
        {"a class below HKLM\\SOFTWARE\\Classes", kHkeyLocalMachine,
         u"SOFTWARE\\Classes\\.kmx", u"SOFTWARE\\Classes\\.kmx\\Inner", true},
        {"a class below the classes root", kHkeyClassesRoot, u".kmx", u".kmx\\Inner", true},
        {"a key in a user's hive", kHkeyUsers, u"S-1-5-21-1\\Software\\X",
         u"S-1-5-21-1\\Software\\X\\Inner", true},
        {"a key below SOFTWARE", kHkeyLocalMachine, u"SOFTWARE\\X", u"SOFTWARE\\X\\Inner", true},
    };
    for (const auto& c : cases) {
        MemoryPlatform fresh;
        FaultPlatform seam{fresh};
        fresh.wow64Redirection = false;
        fresh.SetValue(c.root, c.probe, u"v", kRegDword, Dword(1));
        PackageRecord record = Record(1, 1);
        record.rootKey = c.root;
        ApplyRecordAt(seam, MakeApplySettings(0), record, c.root, c.path);
        EXPECT_EQ(fresh.KeyExists(c.root, c.probe), !c.removed)
            << c.name << "\n" << seam.CallLog();
        EXPECT_EQ(fresh.OpenHandleCount(), 0);
    }
}

}  // namespace
}  // namespace km
