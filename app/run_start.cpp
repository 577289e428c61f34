#include "app/run_start.h"

#include <windows.h>

#include "app/command_line_args.h"
#include "engine/command_line.h"
#include "engine/update_pass.h"

namespace km {

StartAction BeginRun(Platform& platform, RunState& state) {
    ChooseRunMode(SplitProcessCommandLine(), state);

    BOOL underWow64 = FALSE;
    Wow64Answer wow64;
    wow64.succeeded = ::IsWow64Process(::GetCurrentProcess(), &underWow64) != FALSE;
    if (!wow64.succeeded) wow64.lastError = ::GetLastError();
    wow64.isWow64 = underWow64 != FALSE;
    return PrepareStart(platform, state, wow64);
}

void RunWithoutWindow(Platform& platform, RunState& state) {
    if (BeginRun(platform, state) == StartAction::StartWorker) UpdateWorker(platform, state);
}

}  // namespace km
