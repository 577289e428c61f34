#include "engine/user_profiles.h"

#include "engine/text.h"

namespace km {

namespace {

constexpr TextView kProfileImagePath = u"ProfileImagePath";
// RegEnumKeyExW's buffer with its terminator: names of at most 254 characters.
constexpr std::uint32_t kSubkeyNameCapacity = 255;
// The system's service accounts have profiles but no user to write for.
constexpr TextView kServiceAccounts[] = {u"S-1-5-18", u"S-1-5-19", u"S-1-5-20"};
constexpr TextView kUsersFolderPrefix = u"C:\\Users\\";

// A key opened for reading, closed when it goes out of scope.
class ReadKey {
public:
    ReadKey(Platform& sys, RegKey root, const Text& path, std::uint32_t mask) : sys_(sys) {
        if (!sys_.RegOpenKeyExW(root, path, 0, mask, &handle_)) handle_ = 0;
    }
    ~ReadKey() {
        if (handle_ != 0) sys_.RegCloseKey(handle_);
    }
    ReadKey(const ReadKey&) = delete;
    ReadKey& operator=(const ReadKey&) = delete;
    bool IsOpen() const { return handle_ != 0; }
    RegKey Handle() const { return handle_; }

private:
    Platform& sys_;
    RegKey handle_ = 0;
};

bool IsServiceAccount(TextView sid) {
    for (TextView account : kServiceAccounts)
        if (EqualsIgnoreAsciiCase(sid, account)) return true;
    return false;
}

// The value's bytes as little-endian UTF-16, up to the first NUL unit,
// whatever type the value was stored with.
Text TextUpToNul(const Bytes& data) {
    Text text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const char16_t unit = char16_t(data[i] | (data[i + 1] << 8));
        if (unit == 0) break;
        text.push_back(unit);
    }
    return text;
}

// "ProfileImagePath" exactly as stored (unexpanded); empty when the key or the value cannot be read.
Text ReadProfilePath(Platform& sys, const Text& sid, std::uint32_t mask) {
    Text keyPath(kProfileListPath);
    keyPath += u'\\';
    keyPath += sid;
    ReadKey profileKey(sys, kHkeyLocalMachine, keyPath, mask);
    if (!profileKey.IsOpen()) return Text();
    std::uint32_t type = 0;
    Bytes data;
    if (!sys.RegQueryValueExW(profileKey.Handle(), Text(kProfileImagePath), &type, &data))
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

ProfileList BuildProfileList(Platform& sys, const RunState& state) {
    const std::uint32_t mask = state.isWow64 == 1 ? (kKeyRead | kKeyWow64_64Key) : kKeyRead;
    ProfileList profiles;
    ReadKey listKey(sys, kHkeyLocalMachine, Text(kProfileListPath), mask);
    if (!listKey.IsOpen()) return profiles;

    // Taken once: profiles that come or go during the pass are not seen.
    std::uint32_t count = 0;
    if (!sys.RegQueryInfoKeyW(listKey.Handle(), &count)) count = 0;

    for (std::uint32_t index = 0; index < count; ++index) {
        Text sid;
        if (!sys.RegEnumKeyExW(listKey.Handle(), index, kSubkeyNameCapacity, &sid)) continue;
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
