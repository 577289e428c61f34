// The update pass: log set-up, read, apply, release, done.
#pragma once

#include <cstdint>

#include "engine/pass_observer.h"
#include "engine/run_state.h"

namespace km {

constexpr std::uint64_t kVersionUnreadable = ~std::uint64_t{0};

std::uint64_t ReadOwnFileVersion(Platform& sys);
Text FormatVersionText(std::uint64_t version);

// A package that exists but could not be read, or not whole: the log says
// nothing was applied, and the exit code says so too.
void NotePackageNotRead(Platform& sys, RunState& state);

// The whole pass; sets state.done to 1 as its last act. The shell's thread
// entry calls it and then ends the thread. An observer is told where each
// record's application begins.
void UpdateWorker(Platform& sys, RunState& state, PassObserver* observer = nullptr);

}  // namespace km
