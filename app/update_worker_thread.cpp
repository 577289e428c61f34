#include "app/update_worker_thread.h"

#include <process.h>

#include <memory>

#include "engine/update_pass.h"
#include "platform/win32/win32_handle.h"

namespace km {
namespace {

// What the thread needs; it holds the dialog's window handle rather than the
// dialog object, which may be gone by the time the pass ends.
struct WorkerStart {
    Platform& platform;
    RunState& state;
    HWND dialog;
};

unsigned __stdcall WorkerEntry(void* argument) {
    {
        const std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(argument));
        UpdateWorker(start->platform, start->state);
        ::PostMessageW(start->dialog, kPassEndedMessage, 0, 0);
    }
    _endthreadex(0);
    return 0;
}

}  // namespace

bool StartUpdateWorkerThread(Platform& platform, RunState& state, HWND dialog) {
    auto start = std::make_unique<WorkerStart>(WorkerStart{platform, state, dialog});
    const uintptr_t thread = _beginthreadex(nullptr, 0, &WorkerEntry, start.get(), 0, nullptr);
    if (thread == 0) return false;
    start.release();  // the thread owns it now
    // Closed on return: nobody waits for the thread, it runs on by itself.
    const UniqueKernelHandle handle(reinterpret_cast<HANDLE>(thread));
    return true;
}

}  // namespace km
