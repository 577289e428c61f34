// A machine as a per-user package meets it: 32-bit on 64-bit Windows, run with
// a package argument, APP_PATH naming the installation, and two user profiles:
// Administrator, logged on (its hive hangs below HKEY_USERS under its SID),
// and User, not logged on (its two hive files lie in its profile folder).
// Shared by the fault sweep, the bad-input and security suites and the
// update-pass fuzzer.
#pragma once

#include <memory>
#include <string>

#include "engine/machine_policy.h"
#include "engine/run_state.h"
#include "engine/update_pass.h"
#include "platform/memory/memory_platform.h"
#include "tests/support/fault_platform.h"
#include "tests/unit/test_values.h"

namespace km {
namespace machine {

inline const Text kDataPath = u"C:\\pkg\\install.reg.dat";
inline const Text kAppPath = u"C:\\Velmar";
inline const Text kLogFolder = u"C:\\Velmar\\logs";
inline const Text kLogPath = u"C:\\Velmar\\logs\\keymason.log";

inline const Text kAdminSid = u"S-1-5-21-100-200-300-500";
inline const Text kAdminFolder = u"C:\\Users\\Administrator";
inline const Text kUserSid = u"S-1-5-21-100-200-300-1001";
inline const Text kUserFolder = u"C:\\Users\\User";
inline const Text kUserHiveFile = u"C:\\Users\\User\\NTUSER.DAT";
inline const Text kUserClassesFile =
    u"C:\\Users\\User\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat";
inline const Text kUserMount = u"Velmar-Mount-S-1-5-21-100-200-300-1001";
inline const Text kUserClassesMount = u"Velmar-Mount-Classes-S-1-5-21-100-200-300-1001";
inline const Text kDefaultHiveFile = u"C:\\Users\\Default\\NTUSER.DAT";

// A hive file's tree with one key and value in it, so a run that wipes or
// misplaces it shows.
inline std::shared_ptr<MemoryKey> HiveTree(const Text& keyName) {
    auto top = std::make_shared<MemoryKey>();
    top->name = u"hive";
    auto key = std::make_shared<MemoryKey>();
    key->name = keyName;
    key->parent = top.get();
    key->values.emplace_back(u"Seed", StoredValue{kRegDword, {7, 0, 0, 0}});
    top->subkeys.push_back(key);
    return top;
}

struct TwoProfileMachine {
    TwoProfileMachine() {
        sys.environment["APP_PATH"] = kAppPath;
        sys.folders.insert(u"C:\\pkg");
        sys.folders.insert(kLogFolder);
        state.mode = PackageArgument;
        state.dataPath = kDataPath;
        state.isWow64 = 1;

        // A service account comes first, as on Windows; it is never a target.
        AddProfileEntry(sys, u"S-1-5-18", u"%systemroot%\\system32\\config\\systemprofile");
        AddProfileEntry(sys, kAdminSid, kAdminFolder);
        AddProfileEntry(sys, kUserSid, kUserFolder);
        sys.CreateKey(kHkeyUsers, kAdminSid + u"\\Software\\Classes");
        sys.SetValue(kHkeyUsers, kAdminSid + u"\\Environment", u"Seed", kRegDword, {7, 0, 0, 0});
        // Administrator's own hive file is in use by the system: not loadable.
        sys.hiveFiles[kUserHiveFile] = HiveTree(u"Environment");
        sys.hiveFiles[kUserClassesFile] = HiveTree(u"Seeded");
    }

    // The policy that lets All Users lines reach the default profile.
    void IncludeDefaultProfile() {
        seam.policyValues[{Text(kMachinePolicyKey), kDefaultProfilePolicyValue}] = {kRegDword, {1, 0, 0, 0}};
        sys.environment["SystemDrive"] = u"C:";
        sys.SetValue(kHkeyLocalMachine, Text(kProfileListPath), u"Default", kRegExpandSz,
                     Utf16Bytes(u"%SystemDrive%\\Users\\Default"));
        sys.hiveFiles[kDefaultHiveFile] = HiveTree(u"Environment");
    }

    void Run(const std::string& package) {
        sys.files[kDataPath] = package;
        UpdateWorker(seam, state);
    }

    std::string Log() const {
        auto it = sys.files.find(kLogPath);
        return it == sys.files.end() ? std::string() : it->second;
    }

    MemoryPlatform sys;    // seeded and inspected directly
    FaultPlatform seam{sys};  // what the pass runs on: faults and the call log
    RunState state;
};

// Package lines, CR LF ended.
inline std::string ValueLine(const std::string& root, const std::string& key,
                             const std::string& name, const std::string& type,
                             const std::string& data, const std::string& target = "All Users") {
    return "1*@*" + root + "*@*" + key + "*@**@*" + name + "*@*" + type + "*@*" + target + "*@*" +
           data + "*@*\r\n";
}
inline std::string ValueRemovalLine(const std::string& root, const std::string& key,
                                    const std::string& name,
                                    const std::string& target = "All Users") {
    return "1*@*" + root + "*@*" + key + "*@**@*" + name + "*@*REG_SZ*@*" + target +
           "*@**@*DELETE_REG\r\n";
}
inline std::string KeyLine(const std::string& root, const std::string& key, bool remove,
                           const std::string& target = "All Users") {
    return "1*@*" + root + "*@*" + key + "*@*True*@**@**@*" + target + "*@*" +
           (remove ? "DELETE_REG" : "") + "*@*\r\n";
}

}  // namespace machine
}  // namespace km
