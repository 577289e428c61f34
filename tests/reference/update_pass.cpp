// The update pass as it was: the whole package decoded into records first,
// then each applied on its own (see reference_pass.h). The log, profile
// preparation and release and the version text are the engine's, unchanged.
#include <new>
#include <stdexcept>
#include <string>

#include "engine/per_user.h"
#include "engine/run_log.h"
#include "engine/update_pass.h"
#include "platform/text.h"
#include "tests/reference/reference_pass.h"

namespace km::reference {

namespace {

Text LogFolder(Platform& sys) {
    Text folder;
    if (!sys.ExpandEnvironmentStringsW(u"%APP_PATH%\\logs", &folder)) return Text();
    // The 8.3 form where the folder has one; otherwise the expanded text stays.
    Text shortForm;
    if (sys.GetShortPathNameW(folder, &shortForm)) folder = shortForm;
    return folder;
}

Text LogPathFor(Platform& sys, RunMode mode) {
    if (mode == PackageArgument) return LogFolder(sys) + u"\\keymason.log";
    return u"keymason.log";
}

// Releases the value buffers of every record.
void FreeRecordData(RecordList& records) {
    for (PackageRecord& record : records) Bytes().swap(record.data);
}

void ApplyRecords(Platform& sys, RunState& state, const RecordList& records,
                  const ApplySettings& settings, const ProfileList& profiles) {
    for (const PackageRecord& record : records) {
        if (state.cancelRequested.load() == 1) return;
        if (record.rootKind == Users)
            reference::ApplyUserRecord(sys, settings, record, profiles);
        else
            reference::ApplyRecordAt(sys, settings, record, record.rootKey, record.keyPath);
    }
}

void RunPass(Platform& sys, RunState& state, ProfileList& profiles, bool& released) {
    const Text versionText = FormatVersionText(ReadOwnFileVersion(sys));
    state.logPath = LogPathFor(sys, state.mode);
    LogNamedValue(sys, state, u"Version", versionText, LogTag::kVersion);
    LogNamedValue(sys, state, u"DAT", state.dataPath, LogTag::kDataPath);

    ReferenceContents package = ReferenceReadPackageFile(sys, state.dataPath);
    const ApplySettings settings = MakeApplySettings(state.isWow64);

    if (package.result == PackageReadResult::ReadError) {
        // Part of a package is worse than none: a later line may undo or
        // complete an earlier one, so nothing is applied.
        LogNamedValue(sys, state, u"DAT",
                      u"Package could not be read whole; nothing was applied.",
                      LogTag::kReadError);
        state.exitCode.store(kExitPackageNotApplied);
    } else {
        profiles = PrepareProfiles(sys, state, package.targetGroups, state.isWow64);
        ApplyRecords(sys, state, package.records, settings, profiles);
        released = true;  // an unload is never started twice, even if this throws
        ReleaseProfiles(sys, profiles);
    }

    if (package.result != PackageReadResult::NotOpened && !package.records.empty())
        FreeRecordData(package.records);
}

// Memory ran out. The records are gone with the unwinding, which frees what
// the pass held; what is left is small, so the hives still loaded can be
// released and the end logged. Neither may end the process if it fails too.
void EndOutOfMemory(Platform& sys, RunState& state, const ProfileList& profiles, bool released) {
    if (!released) {
        try {
            ReleaseProfiles(sys, profiles);
        } catch (const std::exception&) {
        }
    }
    try {
        LogNamedValue(sys, state, u"Pass",
                      u"Memory ran out; the records from here on were not applied.",
                      LogTag::kOutOfMemory);
    } catch (const std::exception&) {
    }
    state.exitCode.store(kExitPackageNotApplied);
}

}  // namespace

void ReferenceWorker(Platform& sys, RunState& state) {
    // Outside the pass, so that hives it loaded can be released whatever
    // stops it.
    ProfileList profiles;
    bool released = false;
    try {
        RunPass(sys, state, profiles, released);
    } catch (const std::bad_alloc&) {
        // A hidden deployment must end with a code, never with the runtime's
        // abort message box waiting for a click.
        EndOutOfMemory(sys, state, profiles, released);
    } catch (const std::length_error&) {
        EndOutOfMemory(sys, state, profiles, released);
    }
    state.done.store(1);
}

}  // namespace km::reference
