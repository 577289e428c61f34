#include "engine/per_user.h"

#include <optional>

#include "engine/hive_mount.h"
#include "engine/machine_policy.h"
#include "engine/package_language.h"
#include "platform/text.h"

namespace km {

std::optional<PassedOverReason> PassedOverBy(TextView target, const UserProfile& profile, bool classesBranch) {
    if (profile.defaultProfile) {
        if (!IsAllUsersTarget(target)) return PassedOverReason::NotAllUsers;
        if (classesBranch) return PassedOverReason::ClassesBranch;
        return std::nullopt;
    }
    if (IsAllUsersTarget(target)) return std::nullopt;
    if (!EqualsIgnoreAsciiCase(target, profile.userName)) return PassedOverReason::AnotherTarget;
    if (profile.userName.size() > kMaxAccountName) return PassedOverReason::UserNameTooLong;
    return std::nullopt;
}

ProfileList PrepareProfiles(Platform& sys, CancelHandshake& cancel, std::uint8_t targetGroups,
                            std::int32_t isWow64, PassObserver* observer) {
    if (targetGroups == 0) return ProfileList();
    ProfileList profiles = BuildProfileList(sys, isWow64);
    // Last, so that the machine's own profiles keep their places.
    if (PolicyIsOn(sys, kDefaultProfilePolicyValue)) profiles.push_back(ReadDefaultProfile(sys, isWow64));
    if (observer) observer->ProfilesListed(profiles);
    try {
        MountUserHives(sys, cancel, targetGroups, isWow64, profiles, observer);
    } catch (...) {
        // The list dies here: release what it loaded before the error goes
        // on; a second failure while doing so must not end the process.
        try {
            UnmountUserHives(sys, profiles, observer);
        } catch (...) {
        }
        throw;
    }
    return profiles;
}

void ApplyUserRecord(Platform& sys, const ApplySettings& settings, const PackageRecord& record,
                     const ProfileList& profiles, std::size_t recordIndex) {
    PassObserver* observer = settings.observer;
    for (std::size_t p = 0; p < profiles.size(); ++p) {
        if (const std::optional<PassedOverReason> why = PassedOverBy(record.target, profiles[p], record.classesKey == 1)) {
            if (observer) observer->PassedOver(recordIndex, p, *why);
            continue;
        }
        if (observer) observer->ApplicationStarts(recordIndex, int(p));
        ApplyRecordAt(sys, settings, record, record.rootKey,
                      PlaceKeyPath(PlaceRuleOf(PlaceOf(record)), &profiles[p], record.keyPath));
    }
}

void ReleaseProfiles(Platform& sys, const ProfileList& profiles, PassObserver* observer) {
    UnmountUserHives(sys, profiles, observer);
}

}  // namespace km
