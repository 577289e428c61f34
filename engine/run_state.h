// The state shared by the dialog thread and the update worker: what the shell
// hands the pass, what the pass hands back, and the cancel handshake.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace km {

enum RunMode : std::int32_t { DefaultPackage = 0, PackageArgument = 1 };

// Process exit codes; deployment systems act on them, so the values are fixed.
inline constexpr std::int32_t kExitPackageMissing = 1;
// The worker thread could not be started, so no pass ran.
inline constexpr std::int32_t kExitWorkerNotStarted = 2;
// The package exists but was not applied: it could not be read whole (nothing
// was applied), or memory ran out during the pass (it stopped there).
inline constexpr std::int32_t kExitPackageNotApplied = 3;
// The machine requires signed packages and this one's signature was missing,
// unreadable, broken, for other bytes or by a publisher it does not trust.
inline constexpr std::int32_t kExitPackageRefused = 4;

// Flags are 0/1 integers here, not bools, for two reasons: the atomics cross
// between the dialog thread and the worker as 32-bit values, and isWow64 and
// showWindow follow the shell's rule that only 1 means yes, which tests observe.

// The pass's side of Cancel, which a pass that nobody cancels also has.
struct CancelHandshake {
    // Cancel asks the pass to stop after the record it is applying.
    std::atomic<std::int32_t> cancelRequested{0};
    // Set by the pass before it loads the first hive; the shell may end at
    // once on Cancel only while this is 0.
    std::atomic<std::int32_t> hivesHeld{0};
};

struct RunState : CancelHandshake {
    Text logPath;                      // empty: logging is off
    // Written by the worker too (a package not applied), while a cancelled
    // dialog may already be reading it.
    std::atomic<std::int32_t> exitCode{0};
    std::atomic<std::int32_t> done{0};  // stored once by the worker, after all its work
    Text dataPath;
    RunMode mode = DefaultPackage;
    std::int32_t isWow64 = 0;
    std::int32_t showWindow = 0;
};

}  // namespace km
