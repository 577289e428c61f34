// A whole machine as a comparable value, copies of a machine, and a package
// applied to one: shared by the keymason-pack tests.
#pragma once

#include <map>
#include <string>

#include "toolkit/snapshot.h"
#include "engine/update_pass.h"
#include "platform/registry_case.h"
#include "platform/text.h"

namespace km::pack {

// Every key of the machine and its hive files, with its values, names folded.
using State = std::map<Text, std::map<Text, StoredValue>>;

// With `exactCase`, names keep their letter case, as the registry shows them.
inline State StateOf(const MemoryPlatform& sys, bool exactCase = false) {
    State state;
    const auto name = [exactCase](TextView text) { return exactCase ? Text(text) : RegistryFold(text); };
    for (const toolkit::RegFileSection& s : toolkit::SnapshotSections(sys)) {
        auto& values = state[name(toolkit::RootName(s.root) + u"\\" + s.path)];
        for (const toolkit::RegFileValue& v : s.values) values[name(v.name)] = v.value;
    }
    return state;
}

inline void Copy(const MemoryPlatform& from, MemoryPlatform& to) {
    to.wow64Redirection = false;
    toolkit::RegFile file;
    file.sections = toolkit::SnapshotSections(from);
    toolkit::LoadSnapshot(file, to, nullptr);
}

inline void Apply(MemoryPlatform& sys, const std::string& package) {
    RunState state;
    state.mode = PackageArgument;
    state.isWow64 = 1;
    state.dataPath = u"C:\\p.reg.dat";
    sys.files[state.dataPath] = package;
    UpdateWorker(sys, state);
    sys.files.erase(state.dataPath);
}

}  // namespace km::pack
