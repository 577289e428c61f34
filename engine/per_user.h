// The per-user branch of the update pass.
#pragma once

#include "engine/apply_record.h"
#include "engine/user_profiles.h"

namespace km {

ProfileList PrepareProfiles(Platform& sys, RunState& state);
void ApplyUserRecord(Platform& sys, const ApplySettings& settings, const PackageRecord& record,
                     const ProfileList& profiles);
void ReleaseProfiles(Platform& sys, const RunState& state, const ProfileList& profiles);

}  // namespace km
