// Whether a run wrote only where its records point: every successful key
// creation, value write and deletion must lie at or below a key that some
// record names, machine-wide under its root, per user under one of the names
// a profile's hive is reached by. Used by the security suite and the fuzzer.
#pragma once

#include <string>
#include <vector>

#include "engine/package_file.h"
#include "engine/package_record.h"
#include "engine/record_parser.h"
#include "platform/memory/memory_platform.h"
#include "platform/memory/memory_platform_print.h"
#include "platform/text.h"
#include "tests/support/platform_call.h"

namespace km {
namespace scope {

inline const std::vector<SeamOp> kWriteOps = {
    SeamOp::RegSetValueExW, SeamOp::RegCreateKeyExW, SeamOp::RegDeleteTreeW, SeamOp::RegDeleteKeyExW, SeamOp::RegDeleteKeyValueW};

// ASCII case folded, one trailing backslash dropped: how the registry compares.
inline std::string Normal(std::string path) {
    for (char& c : path)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    if (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

// Names shown as the in-memory platform shows the keys it names in calls.
inline std::string Join(const std::string& base, const Text& below) {
    if (below.empty()) return base;
    return base + "\\" + Shown(below);
}

// The key a call acts on, as the in-memory platform names keys ("HKLM\...").
inline std::string CallTarget(const PlatformCall& call) {
    if (call.op == SeamOp::RegSetValueExW) return call.where;
    return call.hasSubKey ? Join(call.where, call.subKey) : call.where;
}

inline std::string RootName(RegKey root) {
    switch (root) {
        case kHkeyClassesRoot:
            return "HKCR";
        case kHkeyLocalMachine:
            return "HKLM";
        case kHkeyUsers:
            return "HKU";
        default:
            return "?";
    }
}

// The keys the records name. A per-user record reaches a profile's hive by
// its SID (logged on) or by this program's mount names (loaded by the run).
inline std::vector<std::string> NamedKeys(const RecordList& records,
                                          const std::vector<Text>& sids) {
    std::vector<std::string> keys;
    for (const PackageRecord& r : records) {
        if (r.rootKind != Users) {
            keys.push_back(Normal(Join(RootName(r.rootKey), r.keyPath)));
            continue;
        }
        for (const Text& sid : sids) {
            if (r.classesKey == 1) {
                keys.push_back(
                    Normal(Join("HKU\\" + ToUtf8(sid) + "\\Software\\Classes", r.keyPath)));
                keys.push_back(Normal(Join("HKU\\Velmar-Mount-Classes-" + ToUtf8(sid), r.keyPath)));
            } else {
                keys.push_back(Normal(Join("HKU\\" + ToUtf8(sid), r.keyPath)));
                keys.push_back(Normal(Join("HKU\\Velmar-Mount-" + ToUtf8(sid), r.keyPath)));
            }
        }
    }
    return keys;
}

inline bool AtOrBelow(const std::string& path, const std::string& key) {
    return path == key || (path.size() > key.size() && path.compare(0, key.size(), key) == 0 &&
                           path[key.size()] == '\\');
}

// The records a package's bytes hold, as the pass reads them.
inline RecordList RecordsOf(std::string_view package) {
    RecordList records;
    std::uint8_t groups = 0;
    SplitPackageLines(package,
                      [&](TextView line) { records.push_back(ParseRecordLine(line, groups)); });
    return records;
}

// The successful writes that lie outside every named key, one line each.
inline std::vector<std::string> WritesOutsideRecords(const std::vector<PlatformCall>& calls,
                                                     const RecordList& records,
                                                     const std::vector<Text>& sids) {
    const std::vector<std::string> named = NamedKeys(records, sids);
    std::vector<std::string> outside;
    for (const PlatformCall& call : calls) {
        bool isWrite = false;
        for (SeamOp op : kWriteOps) isWrite = isWrite || call.op == op;
        if (!isWrite || !call.succeeded) continue;
        const std::string target = Normal(CallTarget(call));
        bool inside = false;
        for (const std::string& key : named) inside = inside || AtOrBelow(target, key);
        if (!inside) outside.push_back(call.ToString());
    }
    return outside;
}

}  // namespace scope
}  // namespace km
