// Turns the program's split command line into the run's mode and package path.
#pragma once

#include <vector>

#include "engine/run_state.h"

namespace km {

// The package applied when the command line names none.
inline constexpr char16_t kDefaultPackagePath[] = u"r:\\install.reg.dat";

// `arguments` is the split command line, entry 0 being the program itself.
// Exactly one argument names the package, taken whole and unchanged, and the
// run stays invisible; anything else is a run on the default package with the
// status window shown, the arguments ignored.
void ChooseRunMode(const std::vector<Text>& arguments, RunState& state);

}  // namespace km
