#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "engine/machine_policy.h"
#include "engine/update_pass.h"
#include "platform/forwarding_platform.h"
#include "platform/memory/memory_platform.h"
#include "platform/text.h"
#include "tests/support/fault_platform.h"
#include "tests/unit/registry_snapshot.h"
#include "tests/unit/test_values.h"

namespace km {
namespace {

const Text kDataPath = u"C:\\pkg\\install.reg.dat";
const Text kAppPath = u"C:\\Velmar";
const Text kLogFolder = u"C:\\Velmar\\logs";
const Text kLogPath = u"C:\\Velmar\\logs\\keymason.log";
const std::string kSoftware = "HKEY_LOCAL_MACHINE\\SOFTWARE";

std::string ValueLine(const std::string& root, const std::string& key, const std::string& name,
                      const std::string& type, const std::string& data,
                      const std::string& target = "All Users") {
    return "1*@*" + root + "*@*" + key + "*@**@*" + name + "*@*" + type + "*@*" + target + "*@*" +
           data + "*@*\r\n";
}
std::string ValueRemovalLine(const std::string& root, const std::string& key,
                             const std::string& name) {
    return "1*@*" + root + "*@*" + key + "*@**@*" + name + "*@*REG_DWORD*@*All Users*@**@*DELETE_REG\r\n";
}
std::string KeyLine(const std::string& root, const std::string& key, bool remove) {
    return "1*@*" + root + "*@*" + key + "*@*True" + (remove ? "*@*DELETE_REG" : "") + "\r\n";
}

// One entry as the log stores it, at the in-memory clock's time.
std::string Entry(int line, const std::string& label, const std::string& text) {
    std::string tag = "keymason(" + std::to_string(line) + ")";
    tag.resize(30, ' ');
    return "[2024-03-05 09:07:02] " + tag + " [" + label + "] " + text + "\r\r\n";
}
std::string StartEntries(const std::string& version = "1.0.0.2") {
    return Entry(254, "Version", version) + Entry(256, "DAT", ToUtf8(kDataPath));
}

bool IsRegistryCall(const PlatformCall& call) { return std::string(SeamOpName(call.op)).rfind("Reg", 0) == 0; }

std::size_t RegistryCallCount(const FaultPlatform& seam) {
    const auto& calls = seam.Calls();
    return std::count_if(calls.begin(), calls.end(), IsRegistryCall);
}

// A machine set up as the program meets it: run with a package argument,
// 32-bit on 64-bit Windows, APP_PATH naming the installation.
struct Machine {
    Machine() {
        sys.environment["APP_PATH"] = kAppPath;
        sys.folders.insert(u"C:\\pkg");
        sys.folders.insert(kLogFolder);
        state.mode = PackageArgument;
        state.dataPath = kDataPath;
        state.isWow64 = 1;
    }
    void Run(const std::string& package) {
        sys.files[kDataPath] = package;
        UpdateWorker(seam, state);
    }
    std::string Log() const {
        auto it = sys.files.find(kLogPath);
        return it == sys.files.end() ? "<no log>" : it->second;
    }
    MemoryPlatform sys;
    FaultPlatform seam{sys};
    RunState state;
};

// Consecutive value lines on one key share one open key: a run of lines on
// a key costs one open or create. Anything else closes it first.
TEST(UpdatePassTest, ValueLinesOnOneKeyShareItsOpenKey) {
    const std::string a = "Vendor\\A";
    const std::string classes = "HKEY_CLASSES_ROOT";
    const std::string createA = "1*@*" + kSoftware + "*@*" + a + "*@*True*@*\r\n";
    struct Case {
        const char* name;
        std::string package;
        std::vector<std::string> calls;  // opens, creates, value calls and closes, in order
    };
    const Case cases[] = {
        {"a run, then another key",
         ValueLine(kSoftware, a, "x", "REG_SZ", "1") + ValueLine(kSoftware, a, "y", "REG_DWORD", "0x00000002") +
             ValueLine(kSoftware, "Vendor\\B", "z", "REG_SZ", "3"),
         {"create SOFTWARE\\Vendor\\A", "set x", "set y", "close", "create SOFTWARE\\Vendor\\B", "set z", "close"}},
        {"the path in another ASCII case is the same key",
         ValueLine(kSoftware, a, "x", "REG_SZ", "1") + ValueLine(kSoftware, "VENDOR\\a", "y", "REG_SZ", "2"),
         {"create SOFTWARE\\Vendor\\A", "set x", "set y", "close"}},
        {"value lines use the key a key-only line created",
         createA + ValueRemovalLine(kSoftware, a, "x") + ValueLine(kSoftware, a, "y", "REG_SZ", "2"),
         {"create SOFTWARE\\Vendor\\A", "delete x", "set y", "close"}},
        {"a set uses the key a removal opened",
         ValueRemovalLine(kSoftware, a, "x") + ValueLine(kSoftware, a, "y", "REG_SZ", "2"),
         {"open SOFTWARE\\Vendor\\A", "create SOFTWARE\\Vendor\\A", "set y", "close"}},
        {"a removal never creates: a missing key is tried again by the next line",
         ValueRemovalLine(kSoftware, a, "x") + ValueRemovalLine(kSoftware, a, "y") +
             ValueLine(kSoftware, a, "z", "REG_SZ", "3"),
         {"open SOFTWARE\\Vendor\\A", "open SOFTWARE\\Vendor\\A", "create SOFTWARE\\Vendor\\A", "set z", "close"}},
        {"a key-only line on the same key closes it and holds its own",
         ValueLine(kSoftware, a, "x", "REG_SZ", "1") + createA + ValueLine(kSoftware, a, "y", "REG_SZ", "2"),
         {"create SOFTWARE\\Vendor\\A", "set x", "close", "create SOFTWARE\\Vendor\\A", "set y", "close"}},
        {"a removed key is held by nobody",
         ValueLine(kSoftware, a, "x", "REG_SZ", "1") + KeyLine(kSoftware, a, true) +
             ValueRemovalLine(kSoftware, a, "y"),
         {"create SOFTWARE\\Vendor\\A", "set x", "close", "open SOFTWARE\\Vendor\\A", "close",
          "open SOFTWARE\\Vendor\\A"}},
        {"a per-user line closes it, even one that reaches nobody",
         ValueLine(kSoftware, a, "x", "REG_SZ", "1") + ValueLine("HKEY_CURRENT_USER", a, "u", "REG_SZ", "1") +
             ValueLine(kSoftware, a, "y", "REG_SZ", "2"),
         {"open SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", "create SOFTWARE\\Vendor\\A",
          "set x", "close", "create SOFTWARE\\Vendor\\A", "set y", "close"}},
        {"the same path below another root is another key",
         ValueLine(classes, "SOFTWARE\\Vendor\\A", "x", "REG_SZ", "1") + ValueLine(kSoftware, a, "y", "REG_SZ", "2"),
         {"create SOFTWARE\\Vendor\\A", "set x", "close", "create SOFTWARE\\Vendor\\A", "set y", "close"}},
        {"a line that sets nothing keeps the run",
         ValueLine(kSoftware, a, "x", "REG_SZ", "1") + ValueLine(kSoftware, a, "n", "REG_DWORD", "0x1") +
             ValueLine(kSoftware, a, "y", "REG_SZ", "2"),
         {"create SOFTWARE\\Vendor\\A", "set x", "set y", "close"}},
    };
    for (const Case& c : cases) {
        Machine m;
        m.Run(c.package);
        std::vector<std::string> calls;
        for (const PlatformCall& call : m.seam.Calls()) {
            switch (call.op) {
                case SeamOp::RegOpenKeyExW: calls.push_back("open " + ToUtf8(call.subKey)); break;
                case SeamOp::RegCreateKeyExW: calls.push_back("create " + ToUtf8(call.subKey)); break;
                case SeamOp::RegSetValueExW: calls.push_back("set " + ToUtf8(call.valueName)); break;
                case SeamOp::RegDeleteKeyValueW: calls.push_back("delete " + ToUtf8(call.valueName)); break;
                case SeamOp::RegCloseKey: calls.push_back("close"); break;
                default: break;
            }
        }
        EXPECT_EQ(calls, c.calls) << c.name << "\n" << m.seam.CallLog();
        EXPECT_EQ(m.sys.OpenHandleCount(), 0) << c.name;
    }
}

TEST(UpdatePassTest, LogPathFollowsTheMode) {
    const Text longAppPath = u"C:\\" + Text(400, u'a');
    struct Case {
        const char* name;
        RunMode mode;
        std::optional<Text> appPath;
        std::optional<Text> shortFolder;
        std::optional<SeamOp> failing;
        Text logPath;
    } cases[] = {
        {"package argument", PackageArgument, Text(u"C:\\Program Files\\Velmar"), std::nullopt,
         std::nullopt, u"C:\\Program Files\\Velmar\\logs\\keymason.log"},
        {"package argument, short form", PackageArgument, Text(u"C:\\Program Files\\Velmar"),
         Text(u"C:\\PROGRA~1\\Velmar\\logs"), std::nullopt, u"C:\\PROGRA~1\\Velmar\\logs\\keymason.log"},
        {"short form failing keeps the expansion", PackageArgument,
         Text(u"C:\\Program Files\\Velmar"), Text(u"C:\\PROGRA~1\\Velmar\\logs"),
         SeamOp::GetShortPathNameW, u"C:\\Program Files\\Velmar\\logs\\keymason.log"},
        {"APP_PATH unset stays unexpanded", PackageArgument, std::nullopt, std::nullopt, std::nullopt,
         u"%APP_PATH%\\logs\\keymason.log"},
        {"expansion failing leaves the drive root", PackageArgument, Text(kAppPath), std::nullopt,
         SeamOp::ExpandEnvironmentStringsW, u"\\keymason.log"},
        {"long APP_PATH is kept whole", PackageArgument, longAppPath, std::nullopt, std::nullopt,
         longAppPath + u"\\logs\\keymason.log"},
        {"default package ignores APP_PATH", DefaultPackage, Text(kAppPath), std::nullopt, std::nullopt,
         u"keymason.log"},
        {"default package without APP_PATH", DefaultPackage, std::nullopt, std::nullopt, std::nullopt,
         u"keymason.log"},
    };
    for (const auto& c : cases) {
        Machine m;
        m.sys.environment.clear();
        if (c.appPath) m.sys.environment["APP_PATH"] = *c.appPath;
        if (c.shortFolder && c.appPath) {
            m.sys.folders.insert(*c.appPath + u"\\logs");
            m.sys.shortPaths[*c.appPath + u"\\logs"] = *c.shortFolder;
        }
        if (c.failing) m.seam.FailCall(*c.failing);
        m.state.mode = c.mode;
        m.Run("");
        EXPECT_EQ(ToUtf8(m.state.logPath), ToUtf8(c.logPath)) << c.name;
        EXPECT_EQ(m.state.done.load(), 1) << c.name;
    }
}

TEST(UpdatePassTest, StartEntriesComeFirstAndCarryTheVersion) {
    struct Case { std::optional<std::uint64_t> version; std::string text; } cases[] = {
        {0x0001000000000002ull, "1.0.0.2"},
        {0x000A0014001E0028ull, "10.20.30.40"},
        {0xFFFF0000FFFF0000ull, "65535.0.65535.0"},
        {std::nullopt, "65535.65535.65535.65535"},
    };
    for (const auto& c : cases) {
        Machine m;
        m.sys.ownVersion = c.version;
        m.Run(ValueLine(kSoftware, "Vendor\\Tool", "Level", "REG_DWORD", "0x0000000A"));
        EXPECT_EQ(m.Log(), StartEntries(c.text));

        // Both entries precede the read of the package and every registry call.
        const auto& calls = m.seam.Calls();
        std::vector<std::size_t> appends;
        std::size_t firstOther = calls.size();
        for (std::size_t i = 0; i < calls.size(); ++i) {
            if (calls[i].op == SeamOp::AppendToFile) appends.push_back(i);
            if ((IsRegistryCall(calls[i]) || calls[i].op == SeamOp::ReadWholeFile ||
                 calls[i].op == SeamOp::CreateProcessW) &&
                firstOther == calls.size())
                firstOther = i;
        }
        ASSERT_EQ(appends.size(), 2u) << m.seam.CallLog();
        EXPECT_LT(appends[1], firstOther) << m.seam.CallLog();
        EXPECT_EQ(Snapshot(m.sys, kHkeyLocalMachine, u"SOFTWARE\\Vendor\\Tool"),
                  "{Level=4:0a000000}");
    }
}

TEST(FormatVersionTextTest, FourUnsignedSixteenBitParts) {
    struct Case { std::uint64_t version; Text text; } cases[] = {
        {0x0001000000000002ull, u"1.0.0.2"},
        {kVersionUnreadable, u"65535.65535.65535.65535"},
        {0x8000800080008000ull, u"32768.32768.32768.32768"},
        {0, u"0.0.0.0"},
    };
    for (const auto& c : cases) EXPECT_EQ(ToUtf8(FormatVersionText(c.version)), ToUtf8(c.text));
}

TEST(UpdatePassTest, RecordsApplyInFileOrder) {
    const std::string tool = "Vendor\\Tool";
    struct Case {
        const char* name;
        std::string package;
        std::string vendorAfter;
    } cases[] = {
        {"a later line overrides",
         ValueLine(kSoftware, tool, "Level", "REG_DWORD", "0x00000001") +
             ValueLine(kSoftware, tool, "Level", "REG_DWORD", "0x00000002"),
         "{Tool{Level=4:02000000}}"},
        {"a value removal after its creation",
         ValueLine(kSoftware, tool, "Level", "REG_DWORD", "0x00000001") +
             ValueRemovalLine(kSoftware, tool, "Level"),
         "{Tool{}}"},
        {"a key removal after a creation below it",
         ValueLine(kSoftware, tool + "\\Deep", "Level", "REG_DWORD", "0x00000001") +
             KeyLine(kSoftware, "Vendor", true),
         "absent"},
        {"a creation after a key removal",
         KeyLine(kSoftware, "Vendor", true) + KeyLine(kSoftware, tool, false), "{Tool{}}"},
        {"a value removal before its creation removes nothing",
         ValueRemovalLine(kSoftware, tool, "Level") +
             ValueLine(kSoftware, tool, "Level", "REG_DWORD", "0x00000003"),
         "{Tool{Level=4:03000000}}"},
    };
    for (const auto& c : cases) {
        Machine m;
        m.Run(c.package);
        EXPECT_EQ(Snapshot(m.sys, kHkeyLocalMachine, u"SOFTWARE\\Vendor"), c.vendorAfter)
            << c.name << "\n" << m.seam.CallLog();
        EXPECT_EQ(m.sys.OpenHandleCount(), 0) << c.name;
        for (const auto& call : m.seam.Calls())
            if (call.op == SeamOp::RegOpenKeyExW || call.op == SeamOp::RegCreateKeyExW) {
                EXPECT_EQ(call.sam, 0xF013Fu) << c.name << ": " << call.ToString();
            }
        EXPECT_EQ(m.state.done.load(), 1);
    }
}

// Five records on five keys, one of each kind, with the machine they start from.
std::string MixedPackage() {
    return ValueLine(kSoftware, "T\\K1", "A", "REG_DWORD", "0x00000001") +
           KeyLine(kSoftware, "T\\K2", false) + ValueRemovalLine(kSoftware, "T\\K3", "Gone") +
           KeyLine(kSoftware, "T\\K4", true) +
           ValueLine("HKEY_CLASSES_ROOT", "K5", "", "REG_SZ", "doc");
}
void SeedMixed(MemoryPlatform& sys) {
    sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\T\\K3", u"Gone", kRegDword, {1, 0, 0, 0});
    sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\T\\K3", u"Stays", kRegDword, {2, 0, 0, 0});
    sys.SetValue(kHkeyLocalMachine, u"SOFTWARE\\T\\K4\\Sub", u"v", kRegDword, {3, 0, 0, 0});
}
std::vector<std::string> MixedState(const MemoryPlatform& sys) {
    std::vector<std::string> keys;
    for (int i = 1; i <= 4; ++i)
        keys.push_back(Snapshot(sys, kHkeyLocalMachine, u"SOFTWARE\\T\\K" + Widen(std::to_string(i))));
    keys.push_back(Snapshot(sys, kHkeyClassesRoot, u"K5"));
    return keys;
}

TEST(UpdatePassTest, AFailingRegistryCallSkipsOnlyItsRecord) {
    Machine baseline;
    SeedMixed(baseline.sys);
    baseline.Run(MixedPackage());
    const std::vector<std::string> applied = MixedState(baseline.sys);
    ASSERT_EQ(applied, (std::vector<std::string>{"{A=4:01000000}", "{}", "{Stays=4:02000000}",
                                                 "absent", "{=1:64006f0063000000}"}))
        << baseline.seam.CallLog();
    EXPECT_EQ(baseline.sys.OpenHandleCount(), 0);

    std::map<SeamOp, std::size_t> counts;
    for (const auto& call : baseline.seam.Calls())
        if (IsRegistryCall(call)) ++counts[call.op];

    for (const auto& [op, count] : counts) {
        for (std::size_t n = 1; n <= count; ++n) {
            const PlatformCall failed = baseline.seam.CallsOf(op)[n - 1];
            const std::string failedAt = failed.where + "\\" + ToUtf8(failed.subKey);
            Machine m;
            SeedMixed(m.sys);
            m.seam.FailNthCallOf(op, n);
            m.Run(MixedPackage());
            const std::string label = SeamOpName(op) + std::string(" #") + std::to_string(n) + " at " + failedAt;
            EXPECT_EQ(m.state.done.load(), 1) << label;
            EXPECT_EQ(m.Log(), StartEntries()) << label;
            if (op != SeamOp::RegCloseKey) {
                EXPECT_EQ(m.sys.OpenHandleCount(), 0) << label;
            }
            const std::vector<std::string> after = MixedState(m.sys);
            for (std::size_t k = 0; k < after.size(); ++k) {
                const std::string key = "K" + std::to_string(k + 1);
                // The record whose call failed may be left undone; every other one is applied.
                if (failedAt.find(key) != std::string::npos) continue;
                EXPECT_EQ(after[k], applied[k]) << label << ": " << key;
            }
        }
    }
}

TEST(UpdatePassTest, NothingToReadGivesJustTheStartEntries) {
    // A missing package is nothing to read only where none was named.
    struct Case {
        const char* name;
        std::function<void(MemoryPlatform&)> arrange;
        RunMode mode;
    } cases[] = {
        {"empty file", [](MemoryPlatform& s) { s.files[kDataPath] = ""; }, PackageArgument},
        {"missing default package", [](MemoryPlatform& s) { s.files.erase(kDataPath); }, DefaultPackage},
    };
    for (const auto& c : cases) {
        Machine m;
        c.arrange(m.sys);
        m.state.mode = c.mode;
        UpdateWorker(m.seam, m.state);
        EXPECT_EQ(m.sys.files[m.state.logPath], StartEntries()) << c.name;
        EXPECT_EQ(m.state.exitCode.load(), 0) << c.name;
        EXPECT_EQ(RegistryCallCount(m.seam), 0u) << c.name << "\n" << m.seam.CallLog();
        EXPECT_TRUE(m.sys.Processes().empty()) << c.name;
        EXPECT_EQ(m.state.done.load(), 1) << c.name;
    }
}

TEST(UpdatePassTest, AReadErrorAppliesNothingAndSaysSo) {
    Machine m;
    const std::string first = ValueLine("HKEY_CURRENT_USER", "Software\\X", "A", "REG_DWORD",
                                        "0x00000001", "All Users");
    const std::string second = ValueLine(kSoftware, "V", "B", "REG_DWORD", "0x00000002");
    AddProfileEntry(m.sys, u"S-1-5-21-9", u"C:\\Users\\User");  // would be loaded
    m.sys.readErrorAfter[kDataPath] = first.size() + 10;
    m.Run(first + second);
    EXPECT_EQ(m.Log(), StartEntries() + Entry(258, "DAT",
                                              "Package could not be read whole; nothing was "
                                              "applied."));
    EXPECT_EQ(RegistryCallCount(m.seam), 0u) << m.seam.CallLog();
    EXPECT_TRUE(m.sys.Processes().empty());
    EXPECT_EQ(m.state.done.load(), 1);
}

// Asks the pass to stop as soon as the first value has been set.
class CancellingPlatform : public ForwardingPlatform {
public:
    CancellingPlatform(Platform& inner, RunState& state) : ForwardingPlatform(inner), state_(state) {}
    bool RegSetValueExW(RegKey key, const Text& valueName, std::uint32_t reserved,
                        std::uint32_t type, const std::uint8_t* data,
                        std::uint32_t size) override {
        const bool ok = ForwardingPlatform::RegSetValueExW(key, valueName, reserved, type, data, size);
        state_.cancelRequested.store(1);
        return ok;
    }

private:
    RunState& state_;
};

TEST(UpdatePassTest, CancelStopsBeforeTheNextRecord) {
    RunState state;
    state.mode = DefaultPackage;
    state.dataPath = kDataPath;
    MemoryPlatform sys;
    sys.wow64Redirection = false;
    sys.files[kDataPath] = ValueLine(kSoftware, "V", "A", "REG_DWORD", "0x00000001") +
                           ValueLine(kSoftware, "V", "B", "REG_DWORD", "0x00000002") +
                           KeyLine(kSoftware, "W", false);
    CancellingPlatform cancelling(sys, state);
    UpdateWorker(cancelling, state);
    EXPECT_EQ(Snapshot(sys, kHkeyLocalMachine, u"SOFTWARE\\V"), "{A=4:01000000}");
    EXPECT_FALSE(sys.KeyExists(kHkeyLocalMachine, u"SOFTWARE\\W"));
    EXPECT_EQ(sys.OpenHandleCount(), 0);
    EXPECT_EQ(state.done.load(), 1);
}

TEST(UpdatePassTest, CancelStillReleasesTheLoadedHives) {
    RunState state;
    state.mode = DefaultPackage;
    state.dataPath = kDataPath;
    MemoryPlatform sys;
    FaultPlatform seam(sys);
    CancellingPlatform cancelling(seam, state);
    sys.wow64Redirection = false;
    AddProfileEntry(sys, u"S-1-5-21-5", u"C:\\Users\\User");
    sys.hiveFiles[u"C:\\Users\\User\\NTUSER.DAT"] = std::make_shared<MemoryKey>();
    // The default profile's hive, by machine policy, is released as well.
    seam.policyValues[{Text(kMachinePolicyKey), kDefaultProfilePolicyValue}] = {kRegDword, {1, 0, 0, 0}};
    sys.SetValue(kHkeyLocalMachine, Text(kProfileListPath), u"Default", kRegExpandSz, Utf16Bytes(u"C:\\Default"));
    sys.hiveFiles[u"C:\\Default\\NTUSER.DAT"] = std::make_shared<MemoryKey>();
    sys.files[kDataPath] =
        ValueLine("HKEY_CURRENT_USER", "Software\\X", "A", "REG_DWORD", "0x00000001") +
        ValueLine(kSoftware, "V", "B", "REG_DWORD", "0x00000002");
    UpdateWorker(cancelling, state);
    EXPECT_EQ(seam.CallsOf(SeamOp::RegSetValueExW).size(), 2u) << seam.CallLog();  // the line, in both profiles
    EXPECT_FALSE(sys.KeyExists(kHkeyLocalMachine, u"SOFTWARE\\V"));
    ASSERT_EQ(sys.Processes().size(), 4u) << seam.CallLog();
    for (std::size_t i : {2, 3}) EXPECT_NE(ToUtf8(sys.Processes()[i].commandLine).find("Unload"), std::string::npos);
    EXPECT_TRUE(sys.MountedHives().empty());
    EXPECT_EQ(sys.OpenHandleCount(), 0);
    EXPECT_EQ(state.done.load(), 1);
}

TEST(UpdatePassTest, PerUserRecordsGoToTheProfilesInFileOrder) {
    Machine m;
    AddProfileEntry(m.sys, u"S-1-5-21-7", u"C:\\Users\\User");
    m.sys.CreateKey(kHkeyUsers, u"S-1-5-21-7");  // logged on
    m.Run(ValueLine("HKEY_CURRENT_USER", "Software\\Tool", "Mode", "REG_DWORD", "0x00000003",
                    "User") +
          ValueLine("HKEY_CLASSES_ROOT", ".kmx", "", "REG_SZ", "d") +
          ValueLine("HKEY_CURRENT_USER", "Software\\Tool", "Mode", "REG_DWORD", "0x00000004",
                    "Administrator"));
    EXPECT_EQ(Snapshot(m.sys, kHkeyUsers, u"S-1-5-21-7\\Software\\Tool"), "{Mode=4:03000000}")
        << m.seam.CallLog();
    EXPECT_EQ(Snapshot(m.sys, kHkeyClassesRoot, u".kmx"), "{=1:64000000}");
    EXPECT_EQ(m.sys.OpenHandleCount(), 0);
    EXPECT_EQ(m.Log(), StartEntries());
    EXPECT_EQ(m.state.done.load(), 1);
}

}  // namespace
}  // namespace km
