#include "engine/update_pass.h"

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/apply_record.h"
#include "engine/package_file.h"
#include "engine/package_signature.h"
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
void ApplyRecords(Platform& sys, const CancelHandshake& cancel, const PackageLines& lines, RecordReader& reader,
                  const ApplySettings& settings, const ProfileList& profiles,
                  PassObserver* observer) {
    HeldKey held(sys);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (cancel.cancelRequested.load() == 1) break;
        const PackageRecord& record = reader.Read(i);
        if (observer) observer->RecordRead(i, record);
        if (record.rootKind == Users) {
            held.Close();
            ApplyUserRecord(sys, settings, record, profiles, i);
        } else {
            if (observer) observer->ApplicationStarts(i, -1);
            ApplyRecordAt(sys, settings, record, record.rootKey, record.keyPath, &held);
        }
    }
    held.Close();
    if (observer) observer->RecordsEnd();
}


// Everything the pass holds while it runs, so that whatever stops it can
// release the hives it loaded and log the end.
struct PassRun {
    Platform& sys;
    const PassSettings& settings;
    CancelHandshake& cancel;
    LogSink log;
    PassResult result;
    ProfileList profiles;
    bool released = false;
};

void RunPass(PassRun& run, const PassPackage& source) {
    Platform& sys = run.sys;
    PassObserver* observer = run.settings.observer;
    const Text versionText = FormatVersionText(ReadOwnFileVersion(sys));
    if (run.settings.openLog) run.log = run.settings.openLog(sys);
    LogNamedValue(sys, run.log, u"Version", versionText, LogTag::kVersion);
    LogNamedValue(sys, run.log, u"DAT", source.path ? TextView(*source.path) : TextView(), LogTag::kDataPath);

    // The package's bytes as the pass applies them: as a tool made them, or
    // read from its file once.
    PackageContents package;
    if (source.bytes) {
        package = ParsePackage(*source.bytes);
    } else if (source.path) {
        FileContents file = sys.ReadWholeFile(*source.path, kNoSizeLimit);
        // Signed packages: judged on the very bytes applied below, before parsing.
        if (RefusedUnderSigningPolicy(sys, run.log, *source.path, file)) {
            run.result.exitCode = kExitPackageRefused;
            return;
        }
        package = IndexPackageFile(std::move(file));
    }
    const ApplySettings settings = MakeApplySettings(run.settings.isWow64, observer);

    // Part of a package is worse than none: a later line may undo or complete
    // an earlier one, so nothing is applied. A package that is there but
    // cannot be opened at all (access denied, held without read sharing, a
    // folder, a device) was not applied either, and must not pass for done;
    // nor may a named one that went away after it was seen (a share dropped).
    if (package.result == PackageReadResult::ReadError ||
        (package.result == PackageReadResult::NotOpened && source.path &&
         (source.named || sys.PathExists(*source.path)))) {
        LogPackageNotRead(sys, run.log);
        run.result.exitCode = kExitPackageNotApplied;
    } else {
        // Memory for decoding is taken before the hives are loaded and the
        // first change is made.
        RecordReader reader(package.lines);
        reader.Prepare();
        run.profiles = PrepareProfiles(sys, run.cancel, package.targetGroups, run.settings.isWow64, observer);
        if (observer) observer->ProfilesPrepared(run.profiles);
        ApplyRecords(sys, run.cancel, package.lines, reader, settings, run.profiles, observer);
        run.released = true;  // an unload is never started twice, even if this throws
        ReleaseProfiles(sys, run.profiles, observer);
    }
}

// Memory ran out. The records are gone with the unwinding, which frees what
// the pass held; what is left is small, so the hives still loaded can be
// released and the end logged. Neither may end the process if it fails too.
void EndOutOfMemory(PassRun& run) {
    if (!run.released) {
        try {
            ReleaseProfiles(run.sys, run.profiles, run.settings.observer);
        } catch (const std::exception&) {
        }
    }
    try {
        LogNamedValue(run.sys, run.log, u"Pass",
                      u"Memory ran out; the records from here on were not applied.",
                      LogTag::kOutOfMemory);
    } catch (const std::exception&) {
    }
    run.result.exitCode = kExitPackageNotApplied;
}

}  // namespace

void LogPackageNotRead(Platform& sys, const LogSink& log) {
    LogNamedValue(sys, log, u"DAT", u"Package could not be read whole; nothing was applied.",
                  LogTag::kReadError);
}

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


PassResult RunUpdatePass(Platform& sys, const PassPackage& package, const PassSettings& settings) {
    CancelHandshake neverCancelled;
    // Outside the pass, so that hives it loaded can be released whatever
    // stops it.
    PassRun run{sys, settings, settings.cancel ? *settings.cancel : neverCancelled, LogSink(), PassResult(),
                ProfileList(), false};
    try {
        RunPass(run, package);
    } catch (const std::bad_alloc&) {
        // A hidden deployment must end with a code, never with the runtime's
        // abort message box waiting for a click.
        EndOutOfMemory(run);
    } catch (const std::length_error&) {
        EndOutOfMemory(run);
    }
    return run.result;
}

void UpdateWorker(Platform& sys, RunState& state, PassObserver* observer) {
    PassSettings settings;
    settings.isWow64 = state.isWow64;
    settings.cancel = &state;
    settings.observer = observer;
    // The shell's log goes where its run mode puts it; the state keeps the path.
    settings.openLog = [&state](Platform& system) {
        state.logPath = LogPathFor(system, state.mode);
        return LogSink{state.logPath};
    };
    const PassResult result =
        RunUpdatePass(sys, PassPackage{&state.dataPath, nullptr, state.mode == PackageArgument}, settings);
    if (result.exitCode != 0) state.exitCode.store(result.exitCode);
    state.done.store(1);
}

}  // namespace km
