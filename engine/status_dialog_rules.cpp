#include "engine/status_dialog_rules.h"

#include "engine/run_log.h"

namespace km {

StartAction PrepareStart(Platform& sys, RunState& state, const Wow64Answer& wow64) {
    if (!wow64.succeeded) LogWow64Failure(sys, state, wow64.lastError);
    state.isWow64 = wow64.succeeded && wow64.isWow64 ? 1 : 0;
    state.done.store(0);
    state.exitCode = 0;
    if (state.mode == PackageArgument && !sys.PathExists(state.dataPath)) {
        state.exitCode = kExitPackageMissing;
        state.done.store(1);
        return StartAction::AwaitFirstTick;
    }
    return StartAction::StartWorker;
}

void NoteWorkerNotStarted(RunState& state) {
    state.exitCode = kExitWorkerNotStarted;
    state.done.store(1);
}

CancelAction RequestCancel(RunState& state) {
    // The pass publishes hivesHeld before loading and then re-reads this flag,
    // so one of the two sides always sees the other.
    state.cancelRequested.store(1);
    if (state.hivesHeld.load() == 0 || state.done.load() == 1) return CancelAction::EndNow;
    return CancelAction::AwaitPassEnd;
}

bool PassEndEndsDialog(const RunState& state) {
    return state.cancelRequested.load() == 1;
}

}  // namespace km
