// The process-wide run state and the platform binding the pass works through.
#pragma once

#include "engine/run_state.h"

namespace km {

// Both live until the process is gone: after Cancel the worker may still be
// running while the process exits, so neither is ever destroyed.
RunState& TheRunState();
Platform& ThePlatform();

}  // namespace km
