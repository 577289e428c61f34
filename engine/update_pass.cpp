#include "engine/update_pass.h"

#include <new>
#include <stdexcept>
#include <string>

#include "engine/apply_record.h"
#include "engine/package_file.h"
#include "engine/per_user.h"
#include "engine/run_log.h"
#include "platform/text.h"

namespace km {

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

// Records are decoded one at a time as the pass reaches them. Consecutive
// value lines on one machine key share its open key; per-user lines never do.
// The held key is closed before this returns, so none is open when the hives
// are released.
void ApplyRecords(Platform& sys, RunState& state, const PackageLines& lines, RecordReader& reader,
                  const ApplySettings& settings, const ProfileList& profiles,
                  PassObserver* observer) {
    HeldKey held(sys);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (state.cancelRequested.load() == 1) break;
        const PackageRecord& record = reader.Read(i);
        if (record.rootKind == Users) {
            held.Close();
            ApplyUserRecord(sys, settings, record, profiles, observer, i);
        } else {
            if (observer) observer->ApplicationStarts(i, -1);
            ApplyRecordAt(sys, settings, record, record.rootKey, record.keyPath, &held);
        }
    }
    held.Close();
    if (observer) observer->RecordsEnd();
}

void RunPass(Platform& sys, RunState& state, PassObserver* observer, ProfileList& profiles,
             bool& released) {
    const Text versionText = FormatVersionText(ReadOwnFileVersion(sys));
    state.logPath = LogPathFor(sys, state.mode);
    LogNamedValue(sys, state, u"Version", versionText, LogTag::kVersion);
    LogNamedValue(sys, state, u"DAT", state.dataPath, LogTag::kDataPath);

    PackageContents package = ReadPackageFile(sys, state.dataPath);
    const ApplySettings settings = MakeApplySettings(state.isWow64);

    if (package.result == PackageReadResult::ReadError) {
        // Part of a package is worse than none: a later line may undo or
        // complete an earlier one, so nothing is applied.
        LogNamedValue(sys, state, u"DAT",
                      u"Package could not be read whole; nothing was applied.",
                      LogTag::kReadError);
        state.exitCode.store(kExitPackageNotApplied);
    } else {
        // Memory for decoding is taken before the hives are loaded and the
        // first change is made.
        RecordReader reader(package.lines);
        reader.Prepare();
        profiles = PrepareProfiles(sys, state, package.targetGroups, state.isWow64);
        if (observer) observer->ProfilesPrepared(profiles);
        ApplyRecords(sys, state, package.lines, reader, settings, profiles, observer);
        released = true;  // an unload is never started twice, even if this throws
        ReleaseProfiles(sys, profiles);
    }
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

std::uint64_t ReadOwnFileVersion(Platform& sys) {
    return sys.GetOwnFileVersion().value_or(kVersionUnreadable);
}

Text FormatVersionText(std::uint64_t version) {
    const std::uint32_t ms = static_cast<std::uint32_t>(version >> 32);
    const std::uint32_t ls = static_cast<std::uint32_t>(version);
    const std::uint32_t parts[] = {ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF};
    std::string text;
    for (std::uint32_t part : parts) {
        if (!text.empty()) text += '.';
        text += std::to_string(part);
    }
    return Widen(text);
}


void UpdateWorker(Platform& sys, RunState& state, PassObserver* observer) {
    // Outside the pass, so that hives it loaded can be released whatever
    // stops it.
    ProfileList profiles;
    bool released = false;
    try {
        RunPass(sys, state, observer, profiles, released);
    } catch (const std::bad_alloc&) {
        // A hidden deployment must end with a code, never with the runtime's
        // abort message box waiting for a click.
        EndOutOfMemory(sys, state, profiles, released);
    } catch (const std::length_error&) {
        EndOutOfMemory(sys, state, profiles, released);
    }
    state.done.store(1);
}

}  // namespace km
