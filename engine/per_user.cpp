#include "engine/per_user.h"

#include "engine/hive_mount.h"
#include "engine/package_language.h"
#include "platform/text.h"

namespace km {

namespace {

bool Matches(const PackageRecord& record, const UserProfile& profile) {
    if (IsAllUsersTarget(record.target)) return true;
    return profile.userName.size() <= kMaxAccountName &&
           EqualsIgnoreAsciiCase(record.target, profile.userName);
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
                            std::int32_t isWow64) {
    if (targetGroups == 0) return ProfileList();
    ProfileList profiles = BuildProfileList(sys, isWow64);
    try {
        MountUserHives(sys, cancel, targetGroups, isWow64, profiles);
    } catch (...) {
        // The list dies here: release what it loaded before the error goes
        // on; a second failure while doing so must not end the process.
        try {
            UnmountUserHives(sys, profiles);
        } catch (...) {
        }
        throw;
    }
    return profiles;
}

void ApplyUserRecord(Platform& sys, const ApplySettings& settings, const PackageRecord& record,
                     const ProfileList& profiles, PassObserver* observer, std::size_t recordIndex) {
    for (std::size_t p = 0; p < profiles.size(); ++p) {
        if (!Matches(record, profiles[p])) continue;
        if (observer) observer->ApplicationStarts(recordIndex, int(p));
        ApplyRecordAt(sys, settings, record, record.rootKey, PerUserKeyPath(record, profiles[p]));
    }
}

void ReleaseProfiles(Platform& sys, const ProfileList& profiles) { UnmountUserHives(sys, profiles); }

}  // namespace km
