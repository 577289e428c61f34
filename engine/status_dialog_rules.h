// What a run decides for the status dialog, apart from the window that
// carries it out: whether to start the worker, what Cancel does, and whether
// the pass's end ends the dialog.
#pragma once

#include <cstdint>

#include "engine/run_state.h"

namespace km {

// The answer of the WOW64 query for the own process.
struct Wow64Answer {
    bool succeeded = false;
    bool isWow64 = false;
    std::uint32_t lastError = 0;  // read right after a failed query
};

enum class StartAction { StartWorker, AwaitFirstTick };

// Dialog initialisation once the mode is chosen: records the WOW64 answer (a
// failed query is logged and counts as not WOW64), resets done and exitCode,
// and checks that a package named on the command line exists. A missing one
// ends the run with exit code 1 at the first tick, without a worker.
StartAction PrepareStart(Platform& sys, RunState& state, const Wow64Answer& wow64);

// The worker thread could not be started: end at the first tick, exit code 2.
void NoteWorkerNotStarted(RunState& state);

enum class CancelAction { EndNow, AwaitPassEnd };

// Cancel asks the pass to stop. While it holds no hive the dialog may end at
// once; otherwise the pass releases its hives first and the dialog ends when
// the pass does.
CancelAction RequestCancel(RunState& state);

// The worker's end-of-pass notice ends the dialog only after a Cancel; else
// the next tick does.
bool PassEndEndsDialog(const RunState& state);

}  // namespace km
