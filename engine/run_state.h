// The state shared by the dialog thread and the update worker.
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

struct RunState {
    Text logPath;                      // empty: logging is off
    // Written by the worker too (a package not applied), while a cancelled
    // dialog may already be reading it.
    std::atomic<std::int32_t> exitCode{0};
    std::atomic<std::int32_t> done{0};  // stored once by the worker, after all its work
    std::uint8_t targetGroups = 0;
    Text dataPath;
    RunMode mode = DefaultPackage;
    std::int32_t isWow64 = 0;
    std::int32_t showWindow = 0;

    // Cancel asks the pass to stop after the record it is applying.
    std::atomic<std::int32_t> cancelRequested{0};
    // Set by the pass before it loads the first hive; the shell may end at
    // once on Cancel only while this is 0.
    std::atomic<std::int32_t> hivesHeld{0};
};

}  // namespace km
