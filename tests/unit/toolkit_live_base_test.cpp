#include <gtest/gtest.h>

#include "toolkit/live_base.h"
#include "toolkit/snapshot.h"
#include "platform/text.h"
#include "tests/unit/test_values.h"

namespace km::toolkit {
namespace {

// A machine's registry made of an in-memory platform and hive files, that
// counts what was read.
class FakeRegistry : public LiveRegistry {
public:
    MemoryPlatform machine;
    std::map<Text, std::shared_ptr<MemoryKey>> hiveFiles;
    std::vector<Text> loaded;

    class Below : public KeySource {
    public:
        Below(MemoryPlatform& sys, RegKey root) : sys_(sys), root_(root) {}
        bool ReadKey(const Text& path, KeyContents* contents) override {
            if (!sys_.KeyExists(root_, path)) return false;
            contents->subkeys = sys_.SubkeyNames(root_, path);
            for (const Text& name : sys_.ValueNames(root_, path))
                contents->values.emplace_back(name, *sys_.GetValue(root_, path, name));
            return true;
        }

    private:
        MemoryPlatform& sys_;
        RegKey root_;
    };

    class Hive : public KeySource {
    public:
        explicit Hive(std::shared_ptr<MemoryKey> top) : top_(std::move(top)) {}
        bool ReadKey(const Text& path, KeyContents* contents) override {
            const MemoryKey* key = top_.get();
            std::size_t from = 0;
            while (key && from < path.size()) {
                const std::size_t cut = std::min(path.find(u'\\', from), path.size());
                auto sub = key->FindSubkey(TextView(path).substr(from, cut - from));
                key = sub.get();
                from = cut + 1;
            }
            if (!key) return false;
            for (const auto& sub : key->subkeys) contents->subkeys.push_back(sub->name);
            contents->values = key->values;
            return true;
        }

    private:
        std::shared_ptr<MemoryKey> top_;
    };

    std::unique_ptr<KeySource> Root(RegKey root) override { return std::make_unique<Below>(machine, root); }
    std::unique_ptr<KeySource> LoadHiveFile(const Text& file, std::string* why) override {
        loaded.push_back(file);
        auto found = hiveFiles.find(file);
        if (found == hiveFiles.end()) {
            *why = "no such file";
            return nullptr;
        }
        return std::make_unique<Hive>(found->second);
    }
    Text ExpandEnvironment(const Text& text) override {
        Text out = text;
        const Text variable = u"%SystemDrive%";
        const std::size_t at = out.find(variable);
        if (at != Text::npos) out.replace(at, variable.size(), u"C:");
        return out;
    }
};

StoredValue Sz(TextView text) { return StoredValue{kRegSz, Utf16Bytes(text)}; }

TEST(LiveBaseTest, ReadsOnlyWhatThePackageTouchesAndTheUsersHives) {
    FakeRegistry registry;
    MemoryPlatform& m = registry.machine;
    const Text list = Text(kProfileListPath);
    m.SetValue(kHkeyLocalMachine, list + u"\\S-1-5-18", u"ProfileImagePath", kRegSz, Sz(u"C:\\Windows").data);
    m.SetValue(kHkeyLocalMachine, list + u"\\S-1-5-21-1", u"ProfileImagePath", kRegSz, Sz(u"C:\\Users\\User").data);
    m.SetValue(kHkeyLocalMachine, list + u"\\S-1-5-21-2", u"ProfileImagePath", kRegExpandSz,
               Sz(u"%SystemDrive%\\Users\\Administrator").data);
    m.SetValue(kHkeyLocalMachine, list + u"\\S-1-5-21-3", u"ProfileImagePath", kRegSz, Sz(u"C:\\Users\\Gone").data);
    m.SetValue(kHkeyLocalMachine, list + u"\\S-1-5-21-4", u"ProfileImagePath", kRegSz, Sz(u"C:\\Users\\Stub").data);
    registry.hiveFiles[u"C:\\Users\\Stub\\NTUSER.DAT"] = nullptr;  // loads, but nothing can be read
    m.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor\\Tool", u"Level", kRegDword, {1, 0, 0, 0});
    m.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor\\Other", u"Untouched", kRegDword, {1, 0, 0, 0});
    m.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Old\\Deep\\Deeper", u"Lost", kRegSz, Sz(u"x").data);
    m.SetValue(kHkeyUsers, u"S-1-5-21-1\\Software\\Vendor", u"Color", kRegSz, Sz(u"blue").data);
    m.SetValue(kHkeyUsers, u"S-1-5-21-1\\Software\\Elsewhere", u"X", kRegSz, Sz(u"x").data);
    auto hive = std::make_shared<MemoryKey>();
    SetTreeValue(*EnsureTreeKey(hive, u"Software\\Vendor"), u"Color", Sz(u"green"));
    SetTreeValue(*EnsureTreeKey(hive, u"Software\\Unrelated"), u"Y", Sz(u"y"));
    registry.hiveFiles[u"C:\\Users\\Administrator\\NTUSER.DAT"] = hive;

    const std::string package =
        "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*Vendor\\Tool*@**@*Level*@*REG_DWORD*@**@*0x00000002*@*\n"
        "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*Old*@*True*@**@**@**@**@*DELETE_REG\n"
        "1*@*HKEY_CURRENT_USER*@*Software\\Vendor*@**@*Color*@*REG_SZ*@*All Users*@*red*@*\n";
    MemoryPlatform base;
    std::map<Text, std::string> notInspected;
    CollectLiveBase(registry, package, base, &notInspected);

    EXPECT_TRUE(base.GetValue(kHkeyLocalMachine, list + u"\\S-1-5-21-2", u"ProfileImagePath").has_value());
    EXPECT_TRUE(base.GetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor\\Tool", u"Level").has_value());
    EXPECT_FALSE(base.KeyExists(kHkeyLocalMachine, u"SOFTWARE\\Vendor\\Other"));
    // A key removal reads all that it would lose.
    EXPECT_TRUE(base.GetValue(kHkeyLocalMachine, u"SOFTWARE\\Old\\Deep\\Deeper", u"Lost").has_value());
    EXPECT_TRUE(base.GetValue(kHkeyUsers, u"S-1-5-21-1\\Software\\Vendor", u"Color").has_value());
    EXPECT_FALSE(base.KeyExists(kHkeyUsers, u"S-1-5-21-1\\Software\\Elsewhere"));
    EXPECT_TRUE(base.KeyExists(kHkeyLocalMachine, u"SYSTEM"));

    // Hives of users who are not logged on: loaded by their expanded path,
    // kept under the path the engine composes; the service account is left out.
    EXPECT_EQ(registry.loaded, (std::vector<Text>{u"C:\\Users\\Administrator\\NTUSER.DAT", u"C:\\Users\\Gone\\NTUSER.DAT",
                                                  u"C:\\Users\\Stub\\NTUSER.DAT"}));
    ASSERT_EQ(base.hiveFiles.count(u"%SystemDrive%\\Users\\Administrator\\NTUSER.DAT"), 1u);
    const auto& copied = base.hiveFiles[u"%SystemDrive%\\Users\\Administrator\\NTUSER.DAT"];
    ASSERT_TRUE(copied->FindSubkey(u"Software"));
    EXPECT_NE(copied->FindSubkey(u"Software")->FindSubkey(u"Vendor")->FindValue(u"Color"), nullptr);
    EXPECT_EQ(copied->FindSubkey(u"Software")->FindSubkey(u"Unrelated"), nullptr);
    EXPECT_EQ(notInspected,
              (std::map<Text, std::string>{{u"S-1-5-21-3", "C:\\Users\\Gone\\NTUSER.DAT: no such file"},
                                           {u"S-1-5-21-4", "C:\\Users\\Stub\\NTUSER.DAT: loaded, but its keys cannot be read"}}));
    EXPECT_EQ(base.hiveFiles.count(u"C:\\Users\\Stub\\NTUSER.DAT"), 0u) << "never taken for an empty hive";
}

TEST(LiveBaseTest, AMachineOnlyPackageLoadsNoHive) {
    FakeRegistry registry;
    registry.machine.SetValue(kHkeyLocalMachine, Text(kProfileListPath) + u"\\S-1-5-21-2", u"ProfileImagePath",
                              kRegSz, Sz(u"C:\\Users\\Administrator").data);
    MemoryPlatform base;
    std::map<Text, std::string> notInspected;
    CollectLiveBase(registry, "1*@*HKEY_CLASSES_ROOT*@*.ext*@*True*@*\n", base, &notInspected);
    EXPECT_TRUE(registry.loaded.empty());
    EXPECT_TRUE(notInspected.empty());
    EXPECT_FALSE(base.KeyExists(kHkeyClassesRoot, u".ext"));
}

}  // namespace
}  // namespace km::toolkit
