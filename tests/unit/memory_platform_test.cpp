// The in-memory platform stands in for Windows in every engine test, so its
// registry rules (paths, views, deletion, handles, hives) are checked here
// against what the real system does; and the tests' fault layer over it
// fails the calls it is told to and logs every call.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <set>

#include "platform/memory/memory_platform.h"
#include "platform/memory/memory_reg_exe.h"
#include "platform/text.h"
#include "tests/support/fault_platform.h"

namespace km {
namespace {

const Text kRegExe = u"C:\\windows\\system32\\reg.exe";
const Text kHiveFile = u"C:\\Users\\User\\NTUSER.DAT";

Bytes Dword(std::uint32_t v) {
    return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}

// The DWORD "v" of a key, or -1 when the key or value is missing.
long long MarkOf(const MemoryPlatform& sys, RegKey root, const Text& path) {
    const auto value = sys.GetValue(root, path, u"v");
    if (!value || value->data.size() != 4) return -1;
    return value->data[0] | (value->data[1] << 8);
}

long long MarkThrough(Platform& sys, RegKey key) {
    std::uint32_t type = 0;
    Bytes data;
    if (!sys.RegQueryValueExW(key, u"v", &type, &data) || data.size() != 4) return -1;
    return data[0] | (data[1] << 8);
}

RegKey Open(Platform& sys, RegKey key, const Text& path, std::uint32_t sam = kKeyRead) {
    RegKey result = 0x5555;
    const bool ok = sys.RegOpenKeyExW(key, path, 0, sam, &result);
    EXPECT_EQ(ok, result != 0) << ToUtf8(path);
    return result;
}

RegKey Create(Platform& sys, RegKey key, const Text& path,
              std::uint32_t sam = kKeyAllAccess) {
    RegKey result = 0x5555;
    SecurityAttributes attributes;
    const bool ok = sys.RegCreateKeyExW(key, path, 0, kRegOptionNonVolatile, sam, &attributes, &result);
    EXPECT_EQ(ok, result != 0) << ToUtf8(path);
    return result;
}

bool StartRegExe(Platform& sys, const Text& commandLine) {
    ProcessHandle process = 0;
    StartupInfo startup{kStartfUseShowWindow, kSwHide};
    const bool started = sys.CreateProcessW(kRegExe, commandLine, true, 0, startup, &process);
    sys.CloseProcess(process);
    return started;
}

std::shared_ptr<MemoryKey> HiveWithApp(std::uint32_t mark) {
    auto top = std::make_shared<MemoryKey>();
    auto software = std::make_shared<MemoryKey>();
    software->name = u"Software";
    auto app = std::make_shared<MemoryKey>();
    app->name = u"App";
    app->values.emplace_back(u"v", StoredValue{kRegDword, Dword(mark)});
    software->subkeys.push_back(app);
    top->subkeys.push_back(software);
    return top;
}

// ---------------------------------------------------------------- paths

TEST(MemoryRegistryTest, PathsFollowTheRegistryRules) {
    struct Case { Text path; bool opens; long long mark; } cases[] = {
        {u"Vendor\\App", true, 2},
        {u"VENDOR\\app", true, 2},     // names ignore letter case
        {u"Vendor\\App\\", true, 2},   // one trailing backslash is ignored
        {u"Vendor", true, 1},
        {u"", true, 0},                // the key itself, as a new handle
        {u"\\Vendor", false, -1},
        {u"Vendor\\\\App", false, -1},
        {u"Vendor\\App\\\\", false, -1},
        {u"\\", false, -1},
        {u"Vendor\\Missing", false, -1},
        {u"V\u00C9NDOR", true, 9},     // every letter the registry upcases folds
        {u"\u039C", false, -1},        // the micro sign is no Greek Mu
    };
    MemoryPlatform sys;
    sys.SetValue(kHkeyClassesRoot, u"", u"v", kRegDword, Dword(0));
    sys.SetValue(kHkeyClassesRoot, u"Vendor", u"v", kRegDword, Dword(1));
    sys.SetValue(kHkeyClassesRoot, u"V\u00E9ndor", u"v", kRegDword, Dword(9));
    sys.SetValue(kHkeyClassesRoot, u"Vendor\\App", u"v", kRegDword, Dword(2));
    sys.SetValue(kHkeyClassesRoot, u"\u00B5", u"v", kRegDword, Dword(5));
    // HKEY_CLASSES_ROOT is the machine's classes key, not a tree of its own.
    const RegKey machineClasses = Open(sys, kHkeyLocalMachine, u"SOFTWARE\\Classes\\Vendor\\App", kKeyRead | kKeyWow64_64Key);
    EXPECT_EQ(MarkThrough(sys, machineClasses), 2);
    sys.RegCloseKey(machineClasses);
    for (const auto& c : cases) {
        const RegKey key = Open(sys, kHkeyClassesRoot, c.path);
        EXPECT_EQ(key != 0, c.opens) << ToUtf8(c.path);
        if (!key) continue;
        EXPECT_NE(key, kHkeyClassesRoot);
        EXPECT_EQ(MarkThrough(sys, key), c.mark) << ToUtf8(c.path);
        EXPECT_TRUE(sys.RegCloseKey(key));
    }
    EXPECT_EQ(sys.OpenHandleCount(), 0);
}

TEST(MemoryRegistryTest, CreateMakesTheMissingKeysAlongThePathOnce) {
    MemoryPlatform sys;
    sys.CreateKey(kHkeyClassesRoot, u"A");
    const RegKey deep = Create(sys, kHkeyClassesRoot, u"a\\B\\c\\");
    ASSERT_NE(deep, 0u);
    const RegKey again = Create(sys, kHkeyClassesRoot, u"A\\b\\C");
    ASSERT_NE(again, 0u);
    EXPECT_NE(deep, again);
    EXPECT_TRUE(sys.RegSetValueExW(again, u"v", 0, kRegDword, Dword(5).data(), 4));
    EXPECT_EQ(MarkThrough(sys, deep), 5);  // both handles name the same key
    EXPECT_EQ(sys.SubkeyNames(kHkeyClassesRoot, u""), std::vector<Text>{u"A"});
    EXPECT_EQ(sys.SubkeyNames(kHkeyClassesRoot, u"A"), std::vector<Text>{u"B"});
    EXPECT_EQ(Create(sys, kHkeyClassesRoot, u"x\\\\y"), 0u);
    EXPECT_FALSE(sys.KeyExists(kHkeyClassesRoot, u"x"));  // a bad path creates nothing
    // What the registry refuses: a key 513 levels down, a name over 255, a value name over 16,383.
    Text levels = u"L";
    for (int i = 0; i < 512; ++i) levels += u"\\L";
    EXPECT_EQ(Create(sys, kHkeyClassesRoot, levels), 0u);
    EXPECT_EQ(Create(sys, kHkeyClassesRoot, Text(256, u'n')), 0u);
    EXPECT_FALSE(sys.RegSetValueExW(kHkeyClassesRoot, Text(16384, u'v'), 0, kRegDword, Dword(5).data(), 4));
    sys.RegCloseKey(deep);
    sys.RegCloseKey(again);
    EXPECT_EQ(sys.OpenHandleCount(), 0) << sys.Dump();
}

TEST(MemoryRegistryTest, NothingNewIsCreatedDirectlyBelowHkeyUsers) {
    MemoryPlatform sys;
    sys.CreateKey(kHkeyUsers, u"S-1-5-21-1");
    sys.CreateKey(kHkeyLocalMachine, u"SYSTEM");
    struct Case { RegKey root; Text path; bool created; } cases[] = {
        {kHkeyUsers, u"Velmar-Mount-S-1-5-21-2\\Software\\App", false},  // hive not loaded
        {kHkeyUsers, u"S-1-5-21-1\\Software\\App", true},
        {kHkeyLocalMachine, u"SYSTEM\\X", true},
        {kHkeyClassesRoot, u".new\\X", true},
    };
    for (const auto& c : cases) {
        const RegKey key = Create(sys, c.root, c.path, kKeyAllAccess | kKeyWow64_64Key);
        EXPECT_EQ(key != 0, c.created) << ToUtf8(c.path);
        EXPECT_EQ(sys.KeyExists(c.root, c.path), c.created) << ToUtf8(c.path);
        sys.RegCloseKey(key);
    }
}

// ---------------------------------------------------------------- views

TEST(MemoryRegistryTest, ThirtyTwoBitViewRedirectsMachineSoftware) {
    enum Start { Root, SoftwareHandle, Vendor64Handle };
    struct Case {
        const char* name;
        bool redirection;
        RegKey root;
        Start start;
        Text path;
        std::uint32_t sam;
        long long mark;
    } cases[] = {
        {"32-bit by default", true, kHkeyLocalMachine, Root, u"SOFTWARE\\Vendor", kKeyRead, 32},
        {"any case", true, kHkeyLocalMachine, Root, u"software\\VENDOR", kKeyRead, 32},
        {"64-bit view asked", true, kHkeyLocalMachine, Root, u"SOFTWARE\\Vendor", kKeyRead | kKeyWow64_64Key, 64},
        {"32-bit flag alone", true, kHkeyLocalMachine, Root, u"SOFTWARE\\Vendor", kKeyRead | kKeyWow64_32Key, 32},
        {"no redirection", false, kHkeyLocalMachine, Root, u"SOFTWARE\\Vendor", kKeyRead, 64},
        {"WOW6432Node named", true, kHkeyLocalMachine, Root, u"SOFTWARE\\wow6432node\\Vendor", kKeyRead, 32},
        {"SOFTWARE itself", true, kHkeyLocalMachine, Root, u"SOFTWARE", kKeyRead, 1},
        {"SYSTEM is shared", true, kHkeyLocalMachine, Root, u"SYSTEM\\Vendor", kKeyRead, 7},
        {"classes root", true, kHkeyClassesRoot, Root, u"SOFTWARE\\Vendor", kKeyRead, 8},
        {"below a SOFTWARE handle", true, kHkeyLocalMachine, SoftwareHandle, u"Vendor", kKeyRead, 32},
        {"below a 64-bit handle", true, kHkeyLocalMachine, Vendor64Handle, u"", kKeyRead, 64},
    };
    for (const auto& c : cases) {
        MemoryPlatform sys;
        sys.wow64Redirection = c.redirection;
        sys.SetValue(kHkeyLocalMachine, u"SOFTWARE", u"v", kRegDword, Dword(1));
        sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor", u"v", kRegDword, Dword(64));
        sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\WOW6432Node\\Vendor", u"v", kRegDword, Dword(32));
        sys.SetValue(kHkeyLocalMachine, u"SYSTEM\\Vendor", u"v", kRegDword, Dword(7));
        sys.SetValue(kHkeyClassesRoot, u"SOFTWARE\\Vendor", u"v", kRegDword, Dword(8));
        RegKey start = c.root;
        if (c.start == SoftwareHandle) start = Open(sys, c.root, u"SOFTWARE", kKeyRead | kKeyWow64_64Key);
        if (c.start == Vendor64Handle)
            start = Open(sys, c.root, u"SOFTWARE\\Vendor", kKeyRead | kKeyWow64_64Key);
        const RegKey key = Open(sys, start, c.path, c.sam);
        EXPECT_EQ(MarkThrough(sys, key), c.mark) << c.name << "\n" << sys.Dump();
        sys.RegCloseKey(key);
        sys.RegCloseKey(start);
        EXPECT_EQ(sys.OpenHandleCount(), 0) << c.name;
    }
}

TEST(MemoryRegistryTest, WritesAndDeletesTakeTheirViews) {
    struct Case {
        const char* name;
        bool redirection;
        std::uint32_t sam;
        const char16_t* written;  // where a create of SOFTWARE\Vendor\New lands
    } cases[] = {
        {"32-bit", true, kKeyAllAccess, u"SOFTWARE\\WOW6432Node\\Vendor\\New"},
        {"64-bit asked", true, kKeyAllAccess | kKeyWow64_64Key, u"SOFTWARE\\Vendor\\New"},
        {"no redirection", false, kKeyAllAccess, u"SOFTWARE\\Vendor\\New"},
    };
    for (const auto& c : cases) {
        MemoryPlatform sys;
        sys.wow64Redirection = c.redirection;
        const RegKey key = Create(sys, kHkeyLocalMachine, u"SOFTWARE\\Vendor\\New", c.sam);
        sys.RegCloseKey(key);
        EXPECT_TRUE(sys.KeyExists(kHkeyLocalMachine, c.written)) << c.name << "\n" << sys.Dump();
        EXPECT_EQ(sys.SubkeyNames(kHkeyLocalMachine, u"SOFTWARE").size(), 2u) << c.name;  // and Classes

        // RegDeleteKeyExW names its view; so the key is found where it was made.
        EXPECT_TRUE(sys.RegDeleteKeyExW(kHkeyLocalMachine, u"SOFTWARE\\Vendor\\New", c.sam, 0)) << c.name;
        EXPECT_FALSE(sys.KeyExists(kHkeyLocalMachine, c.written)) << c.name;
    }

    // RegDeleteTreeW has no view argument: the 32-bit process reaches only its own view.
    MemoryPlatform sys;
    sys.CreateKey(kHkeyLocalMachine, u"SOFTWARE\\Vendor\\Sub");
    sys.CreateKey(kHkeyLocalMachine, u"SOFTWARE\\WOW6432Node\\Vendor\\Sub");
    const Text vendor = u"SOFTWARE\\Vendor";
    EXPECT_TRUE(sys.RegDeleteTreeW(kHkeyLocalMachine, &vendor));
    EXPECT_TRUE(sys.KeyExists(kHkeyLocalMachine, u"SOFTWARE\\Vendor\\Sub"));
    EXPECT_FALSE(sys.KeyExists(kHkeyLocalMachine, u"SOFTWARE\\WOW6432Node\\Vendor"));
    sys.wow64Redirection = false;
    EXPECT_TRUE(sys.RegDeleteTreeW(kHkeyLocalMachine, &vendor));
    EXPECT_FALSE(sys.KeyExists(kHkeyLocalMachine, u"SOFTWARE\\Vendor"));
}

// ---------------------------------------------------------------- deletion

TEST(MemoryRegistryTest, DeletionRules) {
    struct Case {
        const char* name;
        bool (*act)(MemoryPlatform&, RegKey vendorHandle);
        bool succeeds;
        const char* left;  // what remains of HKCR\Vendor
    } cases[] = {
        {"delete a leaf with its values",
         [](MemoryPlatform& s, RegKey) { return s.RegDeleteKeyExW(kHkeyClassesRoot, u"Vendor\\App\\Leaf", 0, 0); },
         true, "Vendor[v] App[a] Other"},
        {"delete a key with subkeys",
         [](MemoryPlatform& s, RegKey) { return s.RegDeleteKeyExW(kHkeyClassesRoot, u"Vendor\\App", 0, 0); },
         false, "Vendor[v] App[a] Leaf[l] Other"},
        {"delete the open key itself when it has subkeys",
         [](MemoryPlatform& s, RegKey h) { return s.RegDeleteKeyExW(h, u"", 0, 0); },
         false, "Vendor[v] App[a] Leaf[l] Other"},
        {"delete a missing key",
         [](MemoryPlatform& s, RegKey) { return s.RegDeleteKeyExW(kHkeyClassesRoot, u"Vendor\\Nope", 0, 0); },
         false, "Vendor[v] App[a] Leaf[l] Other"},
        {"tree below a subkey",
         [](MemoryPlatform& s, RegKey) { const Text p = u"vendor\\APP"; return s.RegDeleteTreeW(kHkeyClassesRoot, &p); },
         true, "Vendor[v] Other"},
        {"tree of the open key, keeping it",
         [](MemoryPlatform& s, RegKey h) { return s.RegDeleteTreeW(h, nullptr); },
         true, "Vendor"},
        {"tree of a missing key",
         [](MemoryPlatform& s, RegKey) { const Text p = u"Vendor\\Nope"; return s.RegDeleteTreeW(kHkeyClassesRoot, &p); },
         false, "Vendor[v] App[a] Leaf[l] Other"},
        // Windows empties the root before it finds that the root itself cannot go.
        {"a root cannot go, but its contents do",
         [](MemoryPlatform& s, RegKey) { const Text p; return s.RegDeleteTreeW(kHkeyClassesRoot, &p); },
         false, ""},
        {"a root's contents",
         [](MemoryPlatform& s, RegKey) { return s.RegDeleteTreeW(kHkeyClassesRoot, nullptr); },
         true, ""},
        {"a root cannot go as a key",
         [](MemoryPlatform& s, RegKey) { return s.RegDeleteKeyExW(kHkeyClassesRoot, u"", 0, 0); },
         false, "Vendor[v] App[a] Leaf[l] Other"},
    };
    for (const auto& c : cases) {
        MemoryPlatform sys;
        sys.SetValue(kHkeyClassesRoot, u"Vendor", u"v", kRegDword, Dword(1));
        sys.SetValue(kHkeyClassesRoot, u"Vendor\\App", u"a", kRegDword, Dword(2));
        sys.SetValue(kHkeyClassesRoot, u"Vendor\\App\\Leaf", u"l", kRegDword, Dword(3));
        sys.CreateKey(kHkeyClassesRoot, u"Vendor\\Other");
        const RegKey handle = Open(sys, kHkeyClassesRoot, u"Vendor");
        EXPECT_EQ(c.act(sys, handle), c.succeeds) << c.name << "\n" << sys.Dump();
        // A flat picture: every key in tree order, its value names in brackets.
        std::string left;
        std::function<void(const Text&)> walk = [&](const Text& path) {
            const auto slash = path.rfind(u'\\');
            left += (left.empty() ? "" : " ") + ToUtf8(slash == Text::npos ? path : path.substr(slash + 1));
            const auto values = sys.ValueNames(kHkeyClassesRoot, path);
            for (const auto& v : values) left += "[" + ToUtf8(v) + "]";
            for (const auto& sub : sys.SubkeyNames(kHkeyClassesRoot, path)) walk(path + u"\\" + sub);
        };
        if (sys.KeyExists(kHkeyClassesRoot, u"Vendor")) walk(u"Vendor");
        EXPECT_EQ(left, c.left) << c.name;
        sys.RegCloseKey(handle);
    }
}

TEST(MemoryRegistryTest, HandlesToDeletedKeysFailButClose) {
    MemoryPlatform sys;
    sys.SetValue(kHkeyClassesRoot, u"Vendor\\App\\Deep", u"v", kRegDword, Dword(1));
    const RegKey app = Open(sys, kHkeyClassesRoot, u"Vendor\\App");
    const RegKey deep = Open(sys, kHkeyClassesRoot, u"Vendor\\App\\Deep");
    const Text vendor = u"Vendor";
    ASSERT_TRUE(sys.RegDeleteTreeW(kHkeyClassesRoot, &vendor));
    // The same path made again is a new key, not the one the handles held.
    sys.SetValue(kHkeyClassesRoot, u"Vendor\\App\\Deep", u"v", kRegDword, Dword(2));

    for (const RegKey key : {app, deep}) {
        RegKey sub = 0x77;
        std::uint32_t count = 99;
        Text name = u"untouched";
        Bytes data;
        EXPECT_FALSE(sys.RegOpenKeyExW(key, u"", 0, kKeyRead, &sub));
        EXPECT_EQ(sub, 0u);
        EXPECT_FALSE(sys.RegOpenKeyExW(key, u"Deep", 0, kKeyRead, &sub));
        EXPECT_EQ(Create(sys, key, u"New"), 0u);
        EXPECT_FALSE(sys.RegQueryValueExW(key, u"v", nullptr, &data));
        EXPECT_FALSE(sys.RegSetValueExW(key, u"w", 0, kRegDword, Dword(3).data(), 4));
        EXPECT_FALSE(sys.RegQueryInfoKeyW(key, &count));
        EXPECT_EQ(count, 99u);
        EXPECT_FALSE(sys.RegEnumKeyExW(key, 0, 260, &name));
        EXPECT_EQ(name, u"untouched");
        EXPECT_FALSE(sys.RegDeleteKeyValueW(key, nullptr, u"v"));
        const Text sub2 = u"Deep";
        EXPECT_FALSE(sys.RegDeleteTreeW(key, &sub2));
    }
    EXPECT_EQ(MarkOf(sys, kHkeyClassesRoot, u"Vendor\\App\\Deep"), 2);
    EXPECT_EQ(sys.OpenHandleCount(), 2);
    EXPECT_TRUE(sys.RegCloseKey(app));
    EXPECT_TRUE(sys.RegCloseKey(deep));
    EXPECT_EQ(sys.OpenHandleCount(), 0);
}

// ---------------------------------------------------------------- handles, values, enumeration

TEST(MemoryRegistryTest, HandlesAreCountedAndClosedOnce) {
    MemoryPlatform sys;
    sys.CreateKey(kHkeyLocalMachine, u"SYSTEM");
    const RegKey a = Open(sys, kHkeyLocalMachine, u"SYSTEM");
    const RegKey b = Open(sys, kHkeyLocalMachine, u"SYSTEM");
    ASSERT_NE(a, 0u);
    EXPECT_NE(a, b);
    for (const RegKey root : {kHkeyClassesRoot, kHkeyLocalMachine, kHkeyUsers}) EXPECT_NE(a, root);
    EXPECT_EQ(sys.OpenHandleCount(), 2);
    struct Case { RegKey key; bool ok; int left; } closes[] = {
        {0, true, 2}, {kHkeyLocalMachine, true, 2}, {a, true, 1}, {a, false, 1}, {0x4242, false, 1}, {b, true, 0},
    };
    for (const auto& c : closes) {
        EXPECT_EQ(sys.RegCloseKey(c.key), c.ok) << c.key;
        EXPECT_EQ(sys.OpenHandleCount(), c.left) << c.key;
    }
}

TEST(MemoryRegistryTest, ValuesIgnoreCaseAndKeepTheirPlace) {
    MemoryPlatform sys;
    const RegKey key = Create(sys, kHkeyClassesRoot, u"K");
    const Bytes text = {u'a', 0, 0, 0};
    EXPECT_TRUE(sys.RegSetValueExW(key, u"First", 0, kRegSz, text.data(), 4));
    EXPECT_TRUE(sys.RegSetValueExW(key, u"", 0, kRegDword, Dword(1).data(), 4));
    EXPECT_TRUE(sys.RegSetValueExW(key, u"FIRST", 0, kRegBinary, Dword(2).data(), 3));
    EXPECT_TRUE(sys.RegSetValueExW(key, u"Empty", 0, kRegBinary, nullptr, 0));
    EXPECT_TRUE(sys.RegSetValueExW(key, u"\u00D6l", 0, kRegBinary, nullptr, 0));
    EXPECT_TRUE(sys.RegDeleteKeyValueW(key, nullptr, u"\u00F6l"));  // one value for the registry
    EXPECT_FALSE(sys.RegSetValueExW(key, u"Bad", 0, kRegBinary, nullptr, 4));
    EXPECT_EQ(sys.ValueNames(kHkeyClassesRoot, u"K"), (std::vector<Text>{u"First", u"", u"Empty"}));

    std::uint32_t type = 0;
    Bytes data;
    ASSERT_TRUE(sys.RegQueryValueExW(key, u"first", &type, &data));
    EXPECT_EQ(type, kRegBinary);
    EXPECT_EQ(data, (Bytes{2, 0, 0}));
    EXPECT_FALSE(sys.RegQueryValueExW(key, u"Missing", &type, &data));

    EXPECT_TRUE(sys.RegDeleteKeyValueW(key, nullptr, u"fIrSt"));
    EXPECT_FALSE(sys.RegDeleteKeyValueW(key, nullptr, u"First"));
    const Text self = u"";
    EXPECT_FALSE(sys.RegDeleteKeyValueW(kHkeyClassesRoot, &self, u""));  // the root has no value ""
    const Text k = u"k";
    EXPECT_TRUE(sys.RegDeleteKeyValueW(kHkeyClassesRoot, &k, u""));
    EXPECT_EQ(sys.ValueNames(kHkeyClassesRoot, u"K"), std::vector<Text>{u"Empty"});
    sys.RegCloseKey(key);
}

// A key of many subkeys or values finds them through an index: random
// creations, removals and look-ups in either letter case (beyond ASCII too)
// agree with a plain set.
TEST(MemoryRegistryTest, ManySubkeysAreFoundAsFew) {
    MemoryPlatform sys;
    std::set<int> present;
    std::mt19937 random(7);
    const Text values = u"Values";
    for (int step = 0; step < 4000; ++step) {
        const int n = int(random() % 90);
        const Text path = Text(random() % 2 ? u"Many\\\u00f6k" : u"MANY\\\u00d6K") + Widen(std::to_string(n));
        const Text name = path.substr(5);  // a value of the subkey's name
        if (random() % 3 == 0) {
            sys.CreateKey(kHkeyClassesRoot, path);
            sys.SetValue(kHkeyClassesRoot, values, name, kRegDword, Dword(std::uint32_t(n)));
            present.insert(n);
        } else if (random() % 2) {
            EXPECT_EQ(sys.RegDeleteKeyValueW(kHkeyClassesRoot, &values, name), present.count(n) == 1) << n;
            EXPECT_EQ(sys.RegDeleteKeyExW(kHkeyClassesRoot, path, 0, 0), present.erase(n) == 1) << n;
        } else {
            EXPECT_EQ(sys.GetValue(kHkeyClassesRoot, values, name).has_value(), present.count(n) == 1) << n;
            EXPECT_EQ(sys.KeyExists(kHkeyClassesRoot, path), present.count(n) == 1) << n;
        }
    }
}

TEST(MemoryRegistryTest, EnumerationKeepsCreationOrderAndChecksCapacity) {
    MemoryPlatform sys;
    for (const Text name : {u"beta", u"Alpha", u"gamma12"}) sys.CreateKey(kHkeyUsers, name);
    struct Case { std::uint32_t index, capacity; const char16_t* name; } cases[] = {
        {0, 260, u"beta"}, {1, 6, u"Alpha"}, {1, 5, nullptr}, {2, 8, u"gamma12"}, {2, 7, nullptr},
        {3, 260, nullptr}, {0xFFFFFFFF, 260, nullptr},
    };
    for (const RegKey key : {kHkeyUsers, Open(sys, kHkeyUsers, u"")}) {
        std::uint32_t count = 0;
        EXPECT_TRUE(sys.RegQueryInfoKeyW(key, &count));
        EXPECT_EQ(count, 3u);
        for (const auto& c : cases) {
            Text name = u"before";
            EXPECT_EQ(sys.RegEnumKeyExW(key, c.index, c.capacity, &name), c.name != nullptr)
                << c.index << "/" << c.capacity;
            EXPECT_EQ(name, c.name ? c.name : u"before");
        }
        sys.RegCloseKey(key);
    }
    std::uint32_t count = 42;
    EXPECT_FALSE(sys.RegQueryInfoKeyW(0x999, &count));
    EXPECT_EQ(count, 42u);
    EXPECT_EQ(sys.OpenHandleCount(), 0);
}

// ---------------------------------------------------------------- faults and the call log

TEST(MemoryPlatformTest, FaultsFailTheChosenCallsAndChangeNothing) {
    struct Case {
        const char* name;
        void (*arm)(FaultPlatform&);
        std::vector<bool> created;  // for the three creates below
    } cases[] = {
        {"none", [](FaultPlatform&) {}, {true, true, true}},
        {"op and text", [](FaultPlatform& s) { s.FailCall(SeamOp::RegCreateKeyExW, u"Beta"); }, {true, false, true}},
        {"op only", [](FaultPlatform& s) { s.FailCall(SeamOp::RegCreateKeyExW); }, {false, false, false}},
        {"other op", [](FaultPlatform& s) { s.FailCall(SeamOp::RegOpenKeyExW); }, {true, true, true}},
        // Calls: #1 create Alpha, #2 close, #3 create Beta, #4 close, #5 create Gamma.
        {"nth overall", [](FaultPlatform& s) { s.FailNthCall(3); }, {true, false, true}},
        {"nth overall, a close", [](FaultPlatform& s) { s.FailNthCall(2); }, {true, true, true}},
        {"nth of op", [](FaultPlatform& s) { s.FailNthCallOf(SeamOp::RegCreateKeyExW, 3); }, {true, true, false}},
        {"cleared", [](FaultPlatform& s) { s.FailCall(SeamOp::RegCreateKeyExW); s.ClearFaults(); }, {true, true, true}},
    };
    for (const auto& c : cases) {
        MemoryPlatform sys;
        FaultPlatform seam{sys};
        c.arm(seam);
        int n = 0;
        for (const Text name : {u"Alpha", u"Beta", u"Gamma"}) {
            RegKey key = 0x5555;
            const bool ok = seam.RegCreateKeyExW(kHkeyClassesRoot, name, 0, 0, kKeyAllAccess, nullptr, &key);
            EXPECT_EQ(ok, c.created[n]) << c.name << " " << ToUtf8(name) << "\n" << seam.CallLog();
            EXPECT_EQ(key != 0, ok) << c.name;
            EXPECT_EQ(sys.KeyExists(kHkeyClassesRoot, name), ok) << c.name;
            seam.RegCloseKey(key);
            ++n;
        }
        const auto creates = seam.CallsOf(SeamOp::RegCreateKeyExW);
        ASSERT_EQ(creates.size(), 3u) << c.name;
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(creates[i].succeeded, c.created[i]) << c.name;
        // A failed close leaves the handle open, and the count says so.
        EXPECT_EQ(sys.OpenHandleCount(), std::string(c.name) == "nth overall, a close" ? 1 : 0) << c.name;
    }
}

TEST(MemoryPlatformTest, FaultTextMatchesValueNamesAndCommandLines) {
    MemoryPlatform sys;
    FaultPlatform seam{sys};
    seam.FailCall(SeamOp::RegSetValueExW, u"Path");
    seam.FailCall(SeamOp::CreateProcessW, u"Unload");
    const RegKey key = Create(seam, kHkeyClassesRoot, u"K");
    EXPECT_FALSE(seam.RegSetValueExW(key, u"InstallPath", 0, kRegDword, Dword(1).data(), 4));
    EXPECT_TRUE(seam.RegSetValueExW(key, u"Version", 0, kRegDword, Dword(1).data(), 4));
    EXPECT_EQ(sys.ValueNames(kHkeyClassesRoot, u"K"), std::vector<Text>{u"Version"});
    seam.RegCloseKey(key);
    ProcessHandle process = 7;
    EXPECT_FALSE(seam.CreateProcessW(kRegExe, u"reg.exe Unload HKEY_USERS\\X", true, 0, {}, &process));
    EXPECT_EQ(process, 0u);
    EXPECT_TRUE(sys.Processes().empty());
    EXPECT_EQ(sys.OpenProcessCount(), 0);
}

TEST(MemoryPlatformTest, CallsRecordTheirArgumentsAndWhere) {
    MemoryPlatform sys;
    FaultPlatform seam{sys};
    sys.CreateKey(kHkeyLocalMachine, u"SOFTWARE\\WOW6432Node\\Vendor");
    const RegKey software = Open(seam, kHkeyLocalMachine, u"SOFTWARE", kKeyRead | kKeyWow64_64Key);
    const RegKey vendor = Open(seam, software, u"Vendor", kKeyAllAccess);
    const Bytes data = {1, 2, 0xAB};
    seam.RegSetValueExW(vendor, u"Name", 0, kRegBinary, data.data(), 3);
    seam.RegDeleteTreeW(vendor, nullptr);
    seam.RegCloseKey(vendor);
    seam.RegCloseKey(software);

    const auto& calls = seam.Calls();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[0].where, "HKLM");
    EXPECT_EQ(calls[0].sam, kKeyRead | kKeyWow64_64Key);
    EXPECT_EQ(calls[1].where, "HKLM\\SOFTWARE");
    EXPECT_EQ(calls[1].subKey, u"Vendor");
    EXPECT_EQ(calls[2].where, "HKLM\\SOFTWARE\\WOW6432Node\\Vendor");
    EXPECT_EQ(calls[2].data, data);
    EXPECT_EQ(calls[2].type, kRegBinary);
    EXPECT_FALSE(calls[3].hasSubKey);
    EXPECT_EQ(calls[5].where, "HKLM\\SOFTWARE");
    for (const auto& call : calls) EXPECT_TRUE(call.succeeded) << call.ToString();

    EXPECT_EQ(calls[2].ToString(),
              "RegSetValueExW(HKLM\\SOFTWARE\\WOW6432Node\\Vendor, value=\"Name\", reserved=0, "
              "type=REG_BINARY, data=[01 02 AB]) -> ok");
    EXPECT_EQ(calls[3].ToString(), "RegDeleteTreeW(HKLM\\SOFTWARE\\WOW6432Node\\Vendor, subKey=null) -> ok");
    const std::string log = seam.CallLog();
    EXPECT_NE(log.find("#2 RegOpenKeyExW(HKLM\\SOFTWARE, subKey=\"Vendor\", options=0, sam=0xF003F) -> ok"),
              std::string::npos)
        << log;
    seam.ClearCalls();
    EXPECT_TRUE(seam.Calls().empty());
}

// ---------------------------------------------------------------- reg.exe and hives

TEST(MemoryPlatformTest, RegExeLoadAndUnloadRoundTrip) {
    MemoryPlatform sys;
    sys.hiveFiles[kHiveFile] = HiveWithApp(1);
    // The file name in the command differs in case, as Windows paths may.
    ASSERT_TRUE(StartRegExe(sys, u"reg.exe Load HKEY_USERS\\Velmar-Mount-S-1 \"c:\\users\\user\\ntuser.dat\""));
    ASSERT_TRUE(sys.IsMounted(u"velmar-mount-s-1"));
    EXPECT_EQ(sys.MountedHives(), std::vector<Text>{u"Velmar-Mount-S-1"});
    EXPECT_EQ(MarkOf(sys, kHkeyUsers, u"Velmar-Mount-S-1\\Software\\App"), 1);

    const RegKey app = Create(sys, kHkeyUsers, u"Velmar-Mount-S-1\\Software\\App\\New");
    ASSERT_NE(app, 0u) << sys.Dump();
    EXPECT_TRUE(sys.RegSetValueExW(app, u"v", 0, kRegDword, Dword(5).data(), 4));
    EXPECT_EQ(sys.HandlePath(app), "HKU\\Velmar-Mount-S-1\\Software\\App\\New");

    // An open handle inside keeps the hive loaded, as on Windows.
    StartRegExe(sys, u"reg.exe Unload HKEY_USERS\\Velmar-Mount-S-1");
    EXPECT_TRUE(sys.IsMounted(u"Velmar-Mount-S-1"));
    sys.RegCloseKey(app);
    StartRegExe(sys, u"reg.exe  unload   hku\\Velmar-Mount-S-1");
    EXPECT_FALSE(sys.IsMounted(u"Velmar-Mount-S-1")) << sys.Dump();
    EXPECT_FALSE(sys.KeyExists(kHkeyUsers, u"Velmar-Mount-S-1"));
    EXPECT_TRUE(sys.MountedHives().empty());

    // The file now holds what was written, and loads again under another name.
    ASSERT_EQ(sys.hiveFiles.size(), 1u);
    StartRegExe(sys, u"reg.exe Load HKEY_USERS\\Other \"C:\\Users\\User\\NTUSER.DAT\"");
    EXPECT_EQ(MarkOf(sys, kHkeyUsers, u"Other\\Software\\App\\New"), 5) << sys.Dump();
    EXPECT_EQ(sys.OpenProcessCount(), 0);
    EXPECT_EQ(sys.Processes().size(), 4u);
}

TEST(MemoryPlatformTest, RegExeLoadFailsQuietly) {
    struct Case {
        const char* name;
        Text application;
        Text commandLine;
        bool acts;
    } cases[] = {
        {"missing file", kRegExe, u"reg.exe Load HKEY_USERS\\M \"C:\\Users\\Nobody\\NTUSER.DAT\"", false},
        {"name taken", kRegExe, u"reg.exe Load HKEY_USERS\\S-1-5-18 \"C:\\Users\\User\\NTUSER.DAT\"", false},
        {"file in use", kRegExe, u"reg.exe Load HKEY_USERS\\Second \"C:\\Users\\User\\NTUSER.DAT\"", false},
        {"not below HKEY_USERS", kRegExe, u"reg.exe Load HKEY_LOCAL_MACHINE\\M \"C:\\Users\\User\\NTUSER.DAT\"", false},
        {"nested name", kRegExe, u"reg.exe Load HKEY_USERS\\A\\B \"C:\\Users\\User\\NTUSER.DAT\"", false},
        {"extra word", kRegExe, u"reg.exe Load HKEY_USERS\\M \"C:\\Users\\User\\NTUSER.DAT\" /y", false},
        {"another program", u"C:\\windows\\system32\\notreg.exe", u"reg.exe Load HKEY_USERS\\M \"C:\\Users\\User\\NTUSER.DAT\"", false},
        {"unquoted file", kRegExe, u"reg.exe LOAD HKEY_USERS\\M C:\\Users\\User\\NTUSER.DAT", true},
        {"application in any case", u"C:\\WINDOWS\\SYSTEM32\\REG.EXE", u"reg.exe Load HKEY_USERS\\M \"C:\\Users\\User\\NTUSER.DAT\"", true},
    };
    for (const auto& c : cases) {
        MemoryPlatform sys;
        sys.CreateKey(kHkeyUsers, u"S-1-5-18");
        sys.hiveFiles[kHiveFile] = HiveWithApp(1);
        if (std::string(c.name) == "file in use")
            StartRegExe(sys, u"reg.exe Load HKEY_USERS\\First \"C:\\Users\\User\\NTUSER.DAT\"");
        ProcessHandle process = 0;
        EXPECT_TRUE(sys.CreateProcessW(c.application, c.commandLine, true, 0, {}, &process)) << c.name;
        sys.CloseProcess(process);
        EXPECT_EQ(sys.IsMounted(u"M"), c.acts) << c.name << "\n" << sys.Dump();
        EXPECT_FALSE(sys.IsMounted(u"Second")) << c.name;
        EXPECT_FALSE(sys.KeyExists(kHkeyUsers, u"S-1-5-18\\Software")) << c.name;
    }

    MemoryPlatform off;
    off.regExeActs = false;
    off.hiveFiles[kHiveFile] = HiveWithApp(1);
    StartRegExe(off, u"reg.exe Load HKEY_USERS\\M \"C:\\Users\\User\\NTUSER.DAT\"");
    EXPECT_FALSE(off.IsMounted(u"M"));
    EXPECT_EQ(off.Processes().size(), 1u);
}

// Keys as nested names, "a{b c{d}}", in creation order.
std::string Tree(const MemoryPlatform& sys, RegKey root, const Text& path = Text()) {
    std::string out;
    for (const auto& sub : sys.SubkeyNames(root, path)) {
        const Text full = path.empty() ? sub : path + u"\\" + sub;
        const std::string inner = Tree(sys, root, full);
        out += (out.empty() ? "" : " ") + ToUtf8(sub) + (inner.empty() ? "" : "{" + inner + "}");
    }
    return out;
}

TEST(MemoryPlatformTest, HiveTopsCannotBeDeletedButTheirContentsCan) {
    struct Case {
        const char* name;
        bool (*act)(MemoryPlatform&);
        bool succeeds;
        const char* users;
        const char* machine;
    } cases[] = {
        {"a mounted hive by name",
         [](MemoryPlatform& s) { const Text p = u"M"; return s.RegDeleteTreeW(kHkeyUsers, &p); },
         false, "S-1-5-18{Software{A}} Empty M", "SOFTWARE{Classes Vendor{Sub}} SYSTEM{X}"},
        {"a loaded user hive as a key",
         [](MemoryPlatform& s) { return s.RegDeleteKeyExW(kHkeyUsers, u"Empty", 0, 0); },
         false, "S-1-5-18{Software{A}} Empty M{Software{App}}", "SOFTWARE{Classes Vendor{Sub}} SYSTEM{X}"},
        {"HKLM\\SOFTWARE",
         [](MemoryPlatform& s) { const Text p = u"software\\"; return s.RegDeleteTreeW(kHkeyLocalMachine, &p); },
         false, "S-1-5-18{Software{A}} Empty M{Software{App}}", "SOFTWARE{Classes} SYSTEM{X}"},
        // It stops at the first hive top: the later hives keep their contents.
        {"all of HKEY_USERS",
         [](MemoryPlatform& s) { return s.RegDeleteTreeW(kHkeyUsers, nullptr); },
         false, "S-1-5-18 Empty M{Software{App}}", "SOFTWARE{Classes Vendor{Sub}} SYSTEM{X}"},
        {"inside a mounted hive",
         [](MemoryPlatform& s) { const Text p = u"M\\Software"; return s.RegDeleteTreeW(kHkeyUsers, &p); },
         true, "S-1-5-18{Software{A}} Empty M", "SOFTWARE{Classes Vendor{Sub}} SYSTEM{X}"},
        {"a mounted hive's contents through its handle",
         [](MemoryPlatform& s) {
             RegKey top = 0;
             s.RegOpenKeyExW(kHkeyUsers, u"M", 0, kKeyAllAccess, &top);
             const bool ok = s.RegDeleteTreeW(top, nullptr);
             s.RegCloseKey(top);
             return ok;
         },
         true, "S-1-5-18{Software{A}} Empty M", "SOFTWARE{Classes Vendor{Sub}} SYSTEM{X}"},
    };
    for (const auto& c : cases) {
        MemoryPlatform sys;
        sys.CreateKey(kHkeyUsers, u"S-1-5-18\\Software\\A");
        sys.CreateKey(kHkeyUsers, u"Empty");
        sys.hiveFiles[kHiveFile] = HiveWithApp(1);
        StartRegExe(sys, u"reg.exe Load HKEY_USERS\\M \"C:\\Users\\User\\NTUSER.DAT\"");
        sys.CreateKey(kHkeyLocalMachine, u"SOFTWARE\\Vendor\\Sub");
        sys.CreateKey(kHkeyLocalMachine, u"SYSTEM\\X");
        EXPECT_EQ(c.act(sys), c.succeeds) << c.name << "\n" << sys.Dump();
        EXPECT_EQ(Tree(sys, kHkeyUsers), c.users) << c.name;
        EXPECT_EQ(Tree(sys, kHkeyLocalMachine), c.machine) << c.name;
        EXPECT_TRUE(sys.IsMounted(u"M")) << c.name;
        EXPECT_EQ(sys.OpenHandleCount(), 0) << c.name;
    }
}

TEST(MemoryPlatformTest, CommandWordsAndRegExeCommands) {
    struct Split { Text line; std::vector<Text> words; } splits[] = {
        {u"reg.exe Load HKEY_USERS\\A \"C:\\Documents and Settings\\x\\NTUSER.DAT\"",
         {u"reg.exe", u"Load", u"HKEY_USERS\\A", u"C:\\Documents and Settings\\x\\NTUSER.DAT"}},
        {u"  a\t b  ", {u"a", u"b"}},
        {u"a \"\" b", {u"a", u"", u"b"}},
        {u"x\"y z\"w", {u"xy zw"}},
        {u"\"open quote runs on", {u"open quote runs on"}},
        {u"", {}},
    };
    for (const auto& s : splits) EXPECT_EQ(SplitCommandWords(s.line), s.words) << ToUtf8(s.line);

    struct Parse { Text line; bool ok; RegExeCommand::Verb verb; Text name; Text file; } parses[] = {
        {u"reg.exe Load HKEY_USERS\\N \"F\"", true, RegExeCommand::Verb::Load, u"N", u"F"},
        {u"reg.exe unload hkey_users\\N", true, RegExeCommand::Verb::Unload, u"N", u""},
        {u"reg.exe Unload HKU\\N", true, RegExeCommand::Verb::Unload, u"N", u""},
        {u"reg.exe Unload HKEY_USERS\\", false, {}, u"", u""},
        {u"reg.exe Unload HKEY_USERS\\N extra", false, {}, u"", u""},
        {u"reg.exe Load HKEY_USERS\\N", false, {}, u"", u""},
        {u"reg.exe Load HKEY_USERS\\N \"\"", false, {}, u"", u""},
        {u"reg.exe Query HKEY_USERS\\N", false, {}, u"", u""},
        {u"reg.exe", false, {}, u"", u""},
    };
    for (const auto& p : parses) {
        const auto command = ParseRegExeCommand(p.line);
        ASSERT_EQ(command.has_value(), p.ok) << ToUtf8(p.line);
        if (!command) continue;
        EXPECT_EQ(command->verb, p.verb) << ToUtf8(p.line);
        EXPECT_EQ(command->mountName, p.name) << ToUtf8(p.line);
        EXPECT_EQ(command->file, p.file) << ToUtf8(p.line);
    }
}

TEST(MemoryPlatformTest, ProcessesAreCountedAndWaitedFor) {
    MemoryPlatform sys;
    FaultPlatform seam{sys};
    sys.hangingCommands.insert(u"slow.exe");
    ProcessHandle fast = 0, slow = 0;
    ASSERT_TRUE(seam.CreateProcessW(u"C:\\fast.exe", u"fast.exe", false, 0, {}, &fast));
    ASSERT_TRUE(seam.CreateProcessW(u"C:\\slow.exe", u"slow.exe", false, 0, {}, &slow));
    EXPECT_NE(fast, slow);
    EXPECT_EQ(sys.OpenProcessCount(), 2);
    EXPECT_EQ(seam.WaitForProcess(fast, 1000), WaitResult::Exited);
    EXPECT_EQ(seam.WaitForProcess(slow, 1000), WaitResult::TimedOut);
    EXPECT_EQ(seam.WaitForProcess(0x9999, 1000), WaitResult::Failed);
    EXPECT_TRUE(sys.Processes()[0].exited);
    EXPECT_FALSE(sys.Processes()[1].exited);
    seam.CloseProcess(fast);
    EXPECT_EQ(seam.WaitForProcess(fast, 0), WaitResult::Failed);
    seam.CloseProcess(slow);
    EXPECT_EQ(sys.OpenProcessCount(), 0);
    ProcessHandle none = 5;
    EXPECT_FALSE(seam.CreateProcessW(u"C:\\x.exe", u"x", false, 0, {}, nullptr));
    seam.FailNthCallOf(SeamOp::WaitForProcess, 5);  // counted from the first call
    ASSERT_TRUE(seam.CreateProcessW(u"C:\\x.exe", u"x", false, 0, {}, &none));
    EXPECT_EQ(seam.WaitForProcess(none, 0), WaitResult::Failed);
    seam.CloseProcess(none);
}

// ---------------------------------------------------------------- environment, paths, files

TEST(MemoryPlatformTest, EnvironmentExpansionKeepsWhatItCannotExpand) {
    MemoryPlatform sys;
    sys.environment["APP_PATH"] = u"C:\\App";
    sys.environment["Empty"] = u"";
    struct Case { Text source, expanded; } cases[] = {
        {u"%APP_PATH%\\logs", u"C:\\App\\logs"},
        {u"%app_path%", u"C:\\App"},
        {u"%APP_PATH%%APP_PATH%", u"C:\\AppC:\\App"},
        {u"%EMPTY%x", u"x"},
        {u"%UNKNOWN%\\logs", u"%UNKNOWN%\\logs"},
        {u"100%", u"100%"},
        {u"%", u"%"},
        {u"%%", u"%%"},
        {u"a%b", u"a%b"},
        // An unknown name's closing % may open the next name, as on Windows.
        {u"%UNKNOWN%APP_PATH%", u"%UNKNOWNC:\\App"},
        {u"%APP PATH%", u"%APP PATH%"},
        {u"", u""},
    };
    for (const auto& c : cases) {
        Text expanded = u"stale";
        EXPECT_TRUE(sys.ExpandEnvironmentStringsW(c.source, &expanded)) << ToUtf8(c.source);
        EXPECT_EQ(expanded, c.expanded) << ToUtf8(c.source);
    }
    FaultPlatform seam{sys};
    seam.FailCall(SeamOp::ExpandEnvironmentStringsW);
    Text expanded = u"stale";
    EXPECT_FALSE(seam.ExpandEnvironmentStringsW(u"%APP_PATH%", &expanded));
    EXPECT_EQ(expanded, u"stale");
}

TEST(MemoryPlatformTest, ShortPathsExistOnlyForKnownPaths) {
    MemoryPlatform sys;
    sys.folders.insert(u"C:\\Program Files\\App");
    sys.files[u"C:\\data.txt"] = "x";
    sys.shortPaths[u"C:\\Program Files\\App"] = u"C:\\PROGRA~1\\App";
    struct Case { Text path; bool ok; Text shortPath; } cases[] = {
        {u"C:\\Program Files\\App", true, u"C:\\PROGRA~1\\App"},
        {u"c:\\program files\\app", true, u"C:\\PROGRA~1\\App"},
        {u"C:\\data.txt", true, u"C:\\data.txt"},
        {u"C:\\missing", false, u"before"},
    };
    for (const auto& c : cases) {
        Text shortPath = u"before";
        EXPECT_EQ(sys.GetShortPathNameW(c.path, &shortPath), c.ok) << ToUtf8(c.path);
        EXPECT_EQ(shortPath, c.shortPath) << ToUtf8(c.path);
    }
}

TEST(MemoryPlatformTest, ReadingFilesReportsEachFailure) {
    MemoryPlatform sys;
    sys.files[u"C:\\ok.dat"] = "hello";
    sys.files[u"C:\\cut.dat"] = "hello";
    sys.readErrorAfter[u"C:\\cut.dat"] = 2;
    sys.files[u"C:\\short.dat"] = "hi";
    sys.readErrorAfter[u"C:\\short.dat"] = 10;
    sys.files[u"C:\\locked.dat"] = "x";
    sys.lockedFiles.insert(u"C:\\locked.dat");
    sys.unreadableFiles.insert(u"C:\\denied.dat");
    sys.folders.insert(u"C:\\dir");
    struct Case { Text path; FileReadStatus status; std::string bytes; bool exists; } cases[] = {
        {u"C:\\ok.dat", FileReadStatus::Read, "hello", true},
        {u"c:\\OK.DAT", FileReadStatus::Read, "hello", true},
        {u"C:\\cut.dat", FileReadStatus::ReadError, "he", true},
        {u"C:\\short.dat", FileReadStatus::ReadError, "hi", true},
        {u"C:\\locked.dat", FileReadStatus::NotOpened, "", true},
        {u"C:\\denied.dat", FileReadStatus::NotOpened, "", true},
        {u"C:\\dir", FileReadStatus::NotOpened, "", true},
        {u"C:\\missing.dat", FileReadStatus::NotOpened, "", false},
    };
    for (const auto& c : cases) {
        const FileContents contents = sys.ReadWholeFile(c.path, kNoSizeLimit);
        EXPECT_EQ(contents.status, c.status) << ToUtf8(c.path);
        EXPECT_EQ(contents.bytes, c.bytes) << ToUtf8(c.path);
        EXPECT_EQ(sys.PathExists(c.path), c.exists) << ToUtf8(c.path);
    }
}

TEST(MemoryPlatformTest, AppendingCreatesFilesOnlyWhereItCan) {
    struct Case { Text path; bool ok; } cases[] = {
        {u"C:\\App\\logs\\keymason.log", true},
        {u"c:\\app\\LOGS\\new.log", true},
        {u"C:\\App\\missing\\keymason.log", false},
        {u"C:\\App\\logs", false},  // a folder
        {u"C:\\App\\logs\\locked.log", false},
        {u"C:\\top.log", true},     // the drive always exists
        {u"keymason.log", true},    // the current folder
    };
    for (const auto& c : cases) {
        MemoryPlatform sys;
        sys.folders.insert(u"C:\\App\\logs");
        sys.lockedFiles.insert(u"C:\\App\\logs\\locked.log");
        EXPECT_EQ(sys.AppendToFile(c.path, "ab"), c.ok) << ToUtf8(c.path);
        EXPECT_EQ(sys.AppendToFile(c.path, "c\n"), c.ok) << ToUtf8(c.path);
        EXPECT_EQ(sys.ReadWholeFile(c.path, kNoSizeLimit).bytes, c.ok ? "abc\n" : "") << ToUtf8(c.path);
        EXPECT_EQ(sys.files.size(), c.ok ? 1u : 0u) << ToUtf8(c.path) << "\n" << sys.Dump();
    }
    MemoryPlatform sys;
    FaultPlatform seam{sys};
    sys.files[u"C:\\Log.txt"] = "1";
    EXPECT_TRUE(seam.AppendToFile(u"c:\\log.TXT", "2"));  // the same file, another spelling
    EXPECT_EQ(sys.files.size(), 1u);
    EXPECT_EQ(sys.files[u"C:\\Log.txt"], "12");
    seam.FailNthCallOf(SeamOp::AppendToFile, 2);
    EXPECT_FALSE(seam.AppendToFile(u"C:\\Log.txt", "3"));
    EXPECT_EQ(sys.files[u"C:\\Log.txt"], "12");
}

TEST(MemoryPlatformTest, DumpShowsKeysValuesMountsAndFiles) {
    MemoryPlatform sys;
    const Bytes sz = {u'h', 0, u'i', 0, 0, 0};
    sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor", u"Name", kRegSz, sz);
    sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Vendor", u"", kRegDword, Dword(0x1234));
    sys.hiveFiles[kHiveFile] = HiveWithApp(1);
    StartRegExe(sys, u"reg.exe Load HKEY_USERS\\M \"C:\\Users\\User\\NTUSER.DAT\"");
    sys.files[u"C:\\a.log"] = "line\n";
    const std::string dump = sys.Dump();
    for (const char* expected : {
             "  HKLM\n    SOFTWARE\n      Classes\n      Vendor\n        \"Name\" = REG_SZ [68 00 69 00 00 00] \"hi\\0\"\n",
             "        (default) = REG_DWORD [34 12 00 00]\n",
             "  HKU\n    M\n      Software\n        App\n",
             "HKU\\M <- C:\\Users\\User\\NTUSER.DAT",
             "C:\\a.log = \"line\\n\"",
         })
        EXPECT_NE(dump.find(expected), std::string::npos) << expected << "\n---\n" << dump;
}

TEST(MemoryPlatformTest, VersionClockAndSystemFolderFollowTheSettings) {
    MemoryPlatform sys;
    FaultPlatform seam{sys};
    EXPECT_EQ(seam.GetOwnFileVersion(), 0x0001000000000002ull);
    sys.ownVersion.reset();
    EXPECT_FALSE(seam.GetOwnFileVersion().has_value());
    EXPECT_FALSE(seam.Calls().back().succeeded);
    sys.clock = LocalTime{2025, 12, 31, 23, 59, 58};
    EXPECT_EQ(seam.GetLocalTime().second, 58);
    EXPECT_EQ(seam.GetSystemDirectoryW(), u"C:\\windows\\system32");
    seam.FailCall(SeamOp::GetSystemDirectoryW);
    EXPECT_EQ(seam.GetSystemDirectoryW(), u"");
}

}  // namespace
}  // namespace km
