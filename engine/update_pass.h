// The update pass: log set-up, read, apply, release, done.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/pass_observer.h"
#include "engine/run_log.h"
#include "engine/run_state.h"

namespace km {

constexpr std::uint64_t kVersionUnreadable = ~std::uint64_t{0};

std::uint64_t ReadOwnFileVersion(Platform& sys);
Text FormatVersionText(std::uint64_t version);

// The package a pass applies: the file at `path`, or, where `bytes` is set,
// a package a tool made in memory. The caller's, not copied: they outlive
// the pass, and handing them over takes no memory.
struct PassPackage {
    const Text* path = nullptr;         // none: a package made in memory has no file
    const std::string* bytes = nullptr;
    // The file was named by whoever started the run, who saw it there: one
    // that cannot be read is never taken for a package that is not there.
    bool named = false;
};

// How a pass runs: the registry view (isWow64 1: a 32-bit program on 64-bit
// Windows, in the 64-bit view), who may cancel it, who watches it, and where
// its log goes, worked out when the pass opens it (none: no log).
struct PassSettings {
    std::int32_t isWow64 = 0;
    CancelHandshake* cancel = nullptr;  // none: never cancelled
    PassObserver* observer = nullptr;
    std::function<LogSink(Platform&)> openLog;
};

struct PassResult {
    std::int32_t exitCode = 0;  // 0, kExitPackageNotApplied or kExitPackageRefused
};

// A package that exists but could not be read, or not whole: the log says
// nothing was applied.
void LogPackageNotRead(Platform& sys, const LogSink& log);

// The whole pass: log set-up, read, apply, release.
PassResult RunUpdatePass(Platform& sys, const PassPackage& package, const PassSettings& settings);

// The shell's pass: the log where the run mode puts it, the package and
// settings from the shared state, the result back into it, and state.done set
// to 1 as its last act. The shell's thread entry calls it and then ends the
// thread.
void UpdateWorker(Platform& sys, RunState& state, PassObserver* observer = nullptr);

}  // namespace km
