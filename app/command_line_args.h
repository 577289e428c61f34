// The process command line split by the system's rules.
#pragma once

#include <vector>

#include "platform/platform.h"

namespace km {

// Entry 0 is the program; double quotes group words and are removed.
// Empty when the line cannot be split.
std::vector<Text> SplitProcessCommandLine();

}  // namespace km
