// The plan: the real update pass run over the in-memory registry, and a
// report of what each package line did there, per root and per profile.
#pragma once

#include <map>
#include <string>

#include "platform/memory/memory_platform.h"

namespace km::check {

struct PlanInput {
    std::string packageName;   // as the report names it
    std::string packageBytes;  // the package file
    std::string baseName;      // how the report names the base
    // Profiles whose hives could not be read, by SID, with the reason.
    std::map<Text, std::string> notInspected;
};

// `machine` holds the base; afterwards it holds the state after the pass.
std::string RunPlan(const PlanInput& input, MemoryPlatform& machine);

}  // namespace km::check
