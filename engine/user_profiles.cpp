#include "engine/user_profiles.h"

#include "engine/scoped_key.h"
#include "platform/text.h"

namespace km {

namespace {

// RegEnumKeyExW's buffer with its terminator: names of at most 254 characters.
constexpr std::uint32_t kSubkeyNameCapacity = 255;
constexpr TextView kUsersFolderPrefix = u"C:\\Users\\";

// A text value of a profile list key exactly as stored (unexpanded); empty
// when the key or the value cannot be read.
Text ReadListText(Platform& sys, const Text& keyPath, TextView valueName, std::uint32_t mask) {
    ScopedKey key(sys);
    if (!sys.RegOpenKeyExW(kHkeyLocalMachine, keyPath, 0, mask, key.Receive())) return Text();
    std::uint32_t type = 0;
    Bytes data;
    if (!sys.RegQueryValueExW(key.Get(), Text(valueName), &type, &data)) return Text();
    return TextUpToNul(data);
}

std::uint32_t ListMask(std::int32_t isWow64) { return isWow64 == 1 ? (kKeyRead | kKeyWow64_64Key) : kKeyRead; }

// One pass, left to right: occurrences are removed from the original text
// only, so text that comes together after a removal stays.
Text UserNameFromProfilePath(TextView profilePath) {
    Text name;
    name.reserve(profilePath.size());
    std::size_t i = 0;
    while (i < profilePath.size()) {
        if (profilePath.compare(i, kUsersFolderPrefix.size(), kUsersFolderPrefix) == 0) {
            i += kUsersFolderPrefix.size();
        } else {
            name.push_back(profilePath[i]);
            ++i;
        }
    }
    return name;
}

}  // namespace

bool IsServiceAccount(TextView sid) {
    for (TextView account : kServiceAccountSids)
        if (EqualsIgnoreAsciiCase(sid, account)) return true;
    return false;
}

ProfileList BuildProfileList(Platform& sys, std::int32_t isWow64) {
    const std::uint32_t mask = ListMask(isWow64);
    ProfileList profiles;
    ScopedKey listKey(sys);
    if (!sys.RegOpenKeyExW(kHkeyLocalMachine, Text(kProfileListPath), 0, mask, listKey.Receive()))
        return profiles;

    // Taken once: profiles that come or go during the pass are not seen.
    std::uint32_t count = 0;
    if (!sys.RegQueryInfoKeyW(listKey.Get(), &count)) count = 0;

    for (std::uint32_t index = 0; index < count; ++index) {
        Text sid;
        if (!sys.RegEnumKeyExW(listKey.Get(), index, kSubkeyNameCapacity, &sid)) continue;
        if (IsServiceAccount(sid)) continue;

        UserProfile profile;
        profile.profilePath = ReadListText(sys, Text(kProfileListPath) + u'\\' + sid, kProfileImagePath, mask);
        profile.userName = UserNameFromProfilePath(profile.profilePath);
        profile.sid = std::move(sid);
        profiles.push_back(std::move(profile));
    }
    return profiles;
}

UserProfile ReadDefaultProfile(Platform& sys, std::int32_t isWow64) {
    UserProfile profile;
    profile.defaultProfile = true;
    const Text stored = ReadListText(sys, Text(kProfileListPath), kDefaultProfileFolder, ListMask(isWow64));
    if (!stored.empty() && !sys.ExpandEnvironmentStringsW(stored, &profile.profilePath)) profile.profilePath.clear();
    return profile;
}

}  // namespace km
