#include "engine/per_user.h"

#include <optional>

#include "engine/hive_mount.h"
#include "engine/package_language.h"
#include "platform/text.h"

namespace km {

namespace {

// Why the record passes the profile over; none when it reaches it.
std::optional<PassedOverReason> PassedOverBy(const PackageRecord& record, const UserProfile& profile) {
    if (IsAllUsersTarget(record.target)) return std::nullopt;
    if (!EqualsIgnoreAsciiCase(record.target, profile.userName)) return PassedOverReason::AnotherTarget;
    if (profile.userName.size() > kMaxAccountName) return PassedOverReason::UserNameTooLong;
    return std::nullopt;
}

// Where a record lands below HKEY_USERS for one profile, by whether this run
// loaded a hive of the profile and whether the record is in the classes
// branch. A hive loaded by the system is reached under the SID, and its
// classes branch lies inside it.
struct PerUserPath {
    const Text UserProfile::*hiveKey;
    TextView branch;  // between the hive's key and the record's path
};
constexpr PerUserPath kPerUserPaths[2][2] = {
    // not loaded by this run: {outside classes, classes branch}
    {{&UserProfile::userHiveKey, u""}, {&UserProfile::userHiveKey, kClassesBranch}},
    // loaded by this run
    {{&UserProfile::userHiveKey, u""}, {&UserProfile::classesHiveKey, u""}},
};

Text PerUserKeyPath(const PackageRecord& record, const UserProfile& profile) {
    const bool loaded = profile.userHiveMounted == 1 || profile.classesHiveMounted == 1;
    const PerUserPath& row = kPerUserPaths[loaded ? 1 : 0][record.classesKey == 1 ? 1 : 0];
    Text path = profile.*row.hiveKey;
    path += u'\\';
    path += row.branch;
    path += record.keyPath;
    return path;
}

}  // namespace

ProfileList PrepareProfiles(Platform& sys, CancelHandshake& cancel, std::uint8_t targetGroups,
                            std::int32_t isWow64, PassObserver* observer) {
    if (targetGroups == 0) return ProfileList();
    ProfileList profiles = BuildProfileList(sys, isWow64);
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
        if (const std::optional<PassedOverReason> why = PassedOverBy(record, profiles[p])) {
            if (observer) observer->PassedOver(recordIndex, p, *why);
            continue;
        }
        if (observer) observer->ApplicationStarts(recordIndex, int(p));
        ApplyRecordAt(sys, settings, record, record.rootKey, PerUserKeyPath(record, profiles[p]));
    }
}

void ReleaseProfiles(Platform& sys, const ProfileList& profiles, PassObserver* observer) {
    UnmountUserHives(sys, profiles, observer);
}

}  // namespace km
