// The update pass on a thread of its own.
#pragma once

#include <windows.h>

#include "engine/run_state.h"

namespace km {

// Posted to the dialog once the pass is over, so that a Cancel that had to
// wait for the pass can end the dialog at that moment.
constexpr UINT kPassEndedMessage = WM_APP + 1;

// Starts UpdateWorker on a new thread, which posts kPassEndedMessage to
// `dialog` when the pass is over. No handle to the thread is kept. False when
// no thread could be started.
bool StartUpdateWorkerThread(Platform& platform, RunState& state, HWND dialog);

}  // namespace km
