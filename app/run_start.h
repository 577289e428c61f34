// How a run begins and, where no status window can be had, how it is carried
// out without one.
#pragma once

#include "engine/run_state.h"
#include "engine/status_dialog_rules.h"

namespace km {

// Chooses the mode from the process command line, asks for WOW64 and checks
// the package, as the status dialog does when it starts.
StartAction BeginRun(Platform& platform, RunState& state);

// The status dialog could not be created (no desktop to show it on: a
// service, an agent's session without a display). The run is the same
// without it: a missing package still exits 1, and otherwise the pass runs
// here to its end, since nothing could cancel it. The exit code is the
// run's.
void RunWithoutWindow(Platform& platform, RunState& state);

}  // namespace km
