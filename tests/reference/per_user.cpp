// The per-user branch as it was (see reference_pass.h). PrepareProfiles and
// ReleaseProfiles are the engine's, unchanged.
#include "engine/windows_facts.h"
#include "platform/text.h"
#include "tests/reference/reference_pass.h"

namespace km::reference {

namespace {

constexpr TextView kAllUsers = u"All Users";

bool Matches(const PackageRecord& record, const UserProfile& profile) {
    if (EqualsIgnoreAsciiCase(record.target, kAllUsers)) return true;
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

void ApplyUserRecord(Platform& sys, const ApplySettings& settings, const PackageRecord& record,
                     const ProfileList& profiles) {
    for (const UserProfile& profile : profiles)
        if (Matches(record, profile))
            reference::ApplyRecordAt(sys, settings, record, record.rootKey,
                                     PerUserKeyPath(record, profile));
}

}  // namespace km::reference
