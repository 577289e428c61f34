#include "engine/update_pass.h"

#include <string>

#include "engine/apply_record.h"
#include "engine/package_file.h"
#include "engine/per_user.h"
#include "engine/run_log.h"
#include "engine/value_encoding.h"
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

void ApplyRecords(Platform& sys, RunState& state, const RecordList& records,
                  const ApplySettings& settings, const ProfileList& profiles) {
    for (const PackageRecord& record : records) {
        if (state.cancelRequested.load() == 1) return;
        if (record.rootKind == Users)
            ApplyUserRecord(sys, settings, record, profiles);
        else
            ApplyRecordAt(sys, settings, record, record.rootKey, record.keyPath);
    }
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

void UpdateWorker(Platform& sys, RunState& state) {
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
    } else {
        const ProfileList profiles = PrepareProfiles(sys, state, package.targetGroups, state.isWow64);
        ApplyRecords(sys, state, package.records, settings, profiles);
        ReleaseProfiles(sys, profiles);
    }

    if (package.result != PackageReadResult::NotOpened && !package.records.empty())
        FreeRecordData(package.records);
    state.done.store(1);
}

}  // namespace km
