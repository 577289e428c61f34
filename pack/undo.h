// The undo of a package, worked out before it runs: the real update pass
// over a copy of the base, then every difference it made, machine-wide and in
// each profile's hives, turned back into package lines (and .reg sections
// for what reg import can reach). What cannot be put back exactly is named
// item by item, never dropped.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "toolkit/reg_file.h"
#include "platform/memory/memory_platform.h"

namespace km::pack {

struct UndoResult {
    std::string package;                         // UTF-8, CR LF line ends
    std::vector<toolkit::RegFileSection> regFile;  // HKLM, HKCR, logged-on users' HKEY_USERS
    std::vector<std::string> notes;              // how each profile is reached
    std::vector<std::string> unrestorable;       // each item that cannot be put back, and why
    // Why no undo was made, if none was: the pass stopped before the
    // package's last line (memory ran out), so what it would touch is unknown.
    std::string notMade;
};

// `base` is the machine before the package runs; it is left as it is.
// `notInspected`: profiles whose hives could not be read (SID -> why).
UndoResult PlanUndo(const MemoryPlatform& base, const std::string& packageBytes,
                    const std::map<Text, std::string>& notInspected = {});
// The same on `machine` itself, which holds the state after the package
// afterwards: no copy of a large base is made.
UndoResult PlanUndoIn(MemoryPlatform& machine, const std::string& packageBytes,
                      const std::map<Text, std::string>& notInspected = {});

}  // namespace km::pack
