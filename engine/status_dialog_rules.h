// What the status dialog decides, apart from the window that carries it out:
// whether to start the worker, when a tick or Cancel ends the dialog, whether
// the window may show, where the icon goes while minimised.
#pragma once

#include <cstdint>

#include "engine/run_state.h"

namespace km {

inline constexpr std::uintptr_t kStatusTimerId = 666;
inline constexpr std::uint32_t kStatusTimerPeriodMs = 1000;

// SWP_SHOWWINDOW in a pending window position change.
inline constexpr std::uint32_t kSwpShowWindow = 0x0040;

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

bool TickEndsDialog(const RunState& state, std::uintptr_t timerId);

enum class CancelAction { EndNow, AwaitPassEnd };

// Cancel asks the pass to stop. While it holds no hive the dialog may end at
// once; otherwise the pass releases its hives first and the dialog ends when
// the pass does.
CancelAction RequestCancel(RunState& state);

// The worker's end-of-pass notice ends the dialog only after a Cancel; else
// the next tick does.
bool PassEndEndsDialog(const RunState& state);

// The show flag is cleared from every position change while showing is not
// allowed; everything else passes unchanged.
std::uint32_t FilterWindowPositionFlags(const RunState& state, std::uint32_t flags);

struct IconOrigin {
    int x = 0;
    int y = 0;
};

// The icon centred in the client area, rounding half a pixel up.
IconOrigin CentredIconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight);

}  // namespace km
