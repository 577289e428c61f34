// The per-user branch of the update pass.
#pragma once

#include <optional>

#include "engine/apply_record.h"
#include "engine/pass_observer.h"
#include "engine/run_state.h"
#include "engine/user_profiles.h"

namespace km {

// The profiles the package's per-user lines reach (none when targetGroups is
// 0), with the hives of those not logged on loaded.
ProfileList PrepareProfiles(Platform& sys, CancelHandshake& cancel, std::uint8_t targetGroups,
                            std::int32_t isWow64, PassObserver* observer = nullptr);
// Applies the record for each profile it reaches; the settings' observer is
// told of each application as record `recordIndex`, and of each profile
// passed over.
void ApplyUserRecord(Platform& sys, const ApplySettings& settings, const PackageRecord& record,
                     const ProfileList& profiles, std::size_t recordIndex = 0);
// Why a per-user line for `target`, in the classes branch or not, passes the
// profile over; none when it reaches it.
std::optional<PassedOverReason> PassedOverBy(TextView target, const UserProfile& profile,
                                             bool classesBranch = false);
void ReleaseProfiles(Platform& sys, const ProfileList& profiles, PassObserver* observer = nullptr);

}  // namespace km
