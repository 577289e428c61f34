// The reference package reader and update pass: every record decoded up
// front, and a key opened and closed for every line. The current reader and
// pass, which decode a record at a time and keep a key open across a run of
// value lines, are held against it: for any package they must leave the same
// registry, log, exit code and order of effects. It is never part of the
// product and is not to be improved: a change here would move the yardstick.
//
// It uses the engine's pieces that both share: the record layout, the run
// log, profile preparation and release, the apply settings, the removal
// guard, the version text, the UTF-8 decoder and ValueSetBy.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/apply_record.h"
#include "engine/package_file.h"
#include "engine/package_record.h"
#include "engine/run_state.h"
#include "engine/user_profiles.h"
#include "platform/platform.h"

namespace km::reference {

// What was read from a package: every record decoded and kept, in file order.
struct ReferenceContents {
    PackageReadResult result = PackageReadResult::NotOpened;
    RecordList records;
    std::uint8_t targetGroups = 0;
};

// Every line of a package held whole in memory (result Opened).
ReferenceContents ReferenceParse(std::string_view bytes);
// The package file at path, one record per line.
ReferenceContents ReferenceReadPackageFile(Platform& sys, const Text& path);

// One line into one record; ORs the line's per-user target groups in.
PackageRecord ParseRecordLine(TextView line, std::uint8_t& targetGroups);

// Fills data/dataSize or number from the value data field, by typeName.
void EncodeValueData(PackageRecord& record, TextView field);
// Deletes or sets the record's value on an open key.
void WriteRecordValue(Platform& sys, const PackageRecord& record, RegKey key);

// One record at one root and path: its own key opened and closed.
void ApplyRecordAt(Platform& sys, const ApplySettings& settings, const PackageRecord& record,
                   RegKey root, const Text& path);
void ApplyUserRecord(Platform& sys, const ApplySettings& settings, const PackageRecord& record,
                     const ProfileList& profiles);

// The whole pass, as UpdateWorker ran it; sets state.done to 1 as its last act.
void ReferenceWorker(Platform& sys, RunState& state);

}  // namespace km::reference
