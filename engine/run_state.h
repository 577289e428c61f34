// The state shared by the dialog thread and the update worker.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace km {

enum RunMode : std::int32_t { DefaultPackage = 0, PackageArgument = 1 };

struct RunState {
    Text logPath;                      // empty: logging is off
    std::int32_t exitCode = 0;
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
