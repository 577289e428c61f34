#include "engine/user_profiles.h"

#include "engine/scoped_key.h"
#include "platform/text.h"

namespace km {

namespace {

// RegEnumKeyExW's buffer with its terminator: names of at most 254 characters.
constexpr std::uint32_t kSubkeyNameCapacity = 255;
constexpr TextView kUsersFolderPrefix = u"C:\\Users\\";

// "ProfileImagePath" exactly as stored (unexpanded); empty when the key or the value cannot be read.
Text ReadProfilePath(Platform& sys, const Text& sid, std::uint32_t mask) {
    Text keyPath(kProfileListPath);
    keyPath += u'\\';
    keyPath += sid;
    ScopedKey profileKey(sys);
    if (!sys.RegOpenKeyExW(kHkeyLocalMachine, keyPath, 0, mask, profileKey.Receive())) return Text();
    std::uint32_t type = 0;
    Bytes data;
    if (!sys.RegQueryValueExW(profileKey.Get(), Text(kProfileImagePath), &type, &data))
        return Text();
    return TextUpToNul(data);
}

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
    const std::uint32_t mask = isWow64 == 1 ? (kKeyRead | kKeyWow64_64Key) : kKeyRead;
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
        profile.profilePath = ReadProfilePath(sys, sid, mask);
        profile.userName = UserNameFromProfilePath(profile.profilePath);
        profile.sid = std::move(sid);
        profiles.push_back(std::move(profile));
    }
    return profiles;
}

}  // namespace km
