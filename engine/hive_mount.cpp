#include "engine/hive_mount.h"

#include <new>
#include <optional>

#include "engine/package_language.h"
#include "platform/text.h"

namespace km {

namespace {

constexpr TextView kRegExeName = u"reg.exe";
constexpr TextView kLoadCommand = u"reg.exe Load HKEY_USERS\\";
constexpr TextView kUnloadCommand = u"reg.exe Unload HKEY_USERS\\";

// The two hives of a profile: which half of targetGroups asks for it, where
// its file lies in the profile folder, the name it is loaded under and the
// profile fields that record the load.
struct HiveKind {
    HiveKindName name;
    std::uint8_t groups;
    TextView fileInProfile;
    TextView mountPrefix;
    std::int32_t UserProfile::*mounted;
    Text UserProfile::*key;
    bool inDefaultProfile;  // Windows copies it for a new user
};
constexpr HiveKind kHiveKinds[] = {
    {HiveKindName::User, TargetGroups::kUserHives, kUserHiveInProfile, u"Velmar-Mount-", &UserProfile::userHiveMounted,
     &UserProfile::userHiveKey, true},
    {HiveKindName::Classes, TargetGroups::kClassesHives, kClassesHiveInProfile,
     u"Velmar-Mount-Classes-", &UserProfile::classesHiveMounted, &UserProfile::classesHiveKey, false},
};

// All Users selects every profile; "Administrator" and "User" select the
// profile of that user name when either of its hives is asked for. Only All
// Users reaches the default profile, and only outside the classes branch;
// the two groups together ask for the same hives, so they load it too.
bool IsSelected(std::uint8_t groups, const UserProfile& profile) {
    if (profile.defaultProfile) return (groups & kAllUsersUserHives) == kAllUsersUserHives;
    if (SelectsEveryProfile(groups)) return true;
    const TargetRule* named = GroupTarget(profile.userName);
    return named && !IsAllUsersTarget(named->target) && (groups & (named->classesBits | named->userBits)) != 0;
}

bool IsLoggedOn(Platform& sys, std::int32_t isWow64, const Text& sid) {
    const std::uint32_t mask = isWow64 == 1 ? (kKeyRead | kKeyWow64_64Key) : kKeyRead;
    RegKey key = 0;
    if (!sys.RegOpenKeyExW(kHkeyUsers, sid, 0, mask, &key)) return false;
    sys.RegCloseKey(key);
    return true;
}

// Controls and every Unicode white space character.
bool IsWhitespaceOrControl(char16_t c) {
    if (c <= u' ' || (c >= 0x7F && c <= 0xA0)) return true;
    if (c >= 0x2000 && c <= 0x200A) return true;
    for (char16_t space : {char16_t(0x1680), char16_t(0x2028), char16_t(0x2029), char16_t(0x202F),
                           char16_t(0x205F), char16_t(0x3000)})
        if (c == space) return true;
    return false;
}

// The SID stands unquoted in the command line: a quote or a blank would
// split or reshape the tool's arguments.
bool SidFitsCommandLine(TextView sid) {
    if (sid.empty()) return false;
    for (char16_t c : sid)
        if (c == u'"' || IsWhitespaceOrControl(c)) return false;
    return true;
}

// The hive file stands between quotes; a Windows path never holds a quote or
// a control character (a TAB, CR or LF would reshape the command line). An
// empty path would name a file in the root of the current drive.
bool ProfilePathFitsCommandLine(TextView profilePath) {
    if (profilePath.empty()) return false;
    for (char16_t c : profilePath)
        if (c == u'"' || c < u' ' || (c >= 0x7F && c <= 0x9F)) return false;
    return true;
}

Text LoadCommand(const Text& mountName, const Text& hiveFile) {
    Text command(kLoadCommand);
    command += mountName;
    command += u" \"";
    command += hiveFile;
    command += u'"';
    return command;
}

Text UnloadCommand(const Text& mountName) {
    Text command(kUnloadCommand);
    command += mountName;
    return command;
}

// The shell ends at once on Cancel only while no hive is held, so the flag
// goes up before the cancel check and before the first load.
bool MayLoadHive(CancelHandshake& cancel) {
    cancel.hivesHeld.store(1);
    return cancel.cancelRequested.load() != 1;
}

// Closes a started process's handles whatever became of the wait.
class StartedProcessHandle {
public:
    explicit StartedProcessHandle(Platform& sys) : sys_(sys) {}
    ~StartedProcessHandle() {
        if (handle_ != 0) sys_.CloseProcess(handle_);
    }
    StartedProcessHandle(const StartedProcessHandle&) = delete;
    StartedProcessHandle& operator=(const StartedProcessHandle&) = delete;
    ProcessHandle* Out() { return &handle_; }
    ProcessHandle Get() const { return handle_; }

private:
    Platform& sys_;
    ProcessHandle handle_ = 0;
};

}  // namespace

bool RunHiddenCommand(Platform& sys, const Text& commandLine) {
    // By its full path, so no program of that name elsewhere on the search
    // path is started instead.
    Text application = sys.GetSystemDirectoryW();
    if (application.empty()) return false;
    if (application.back() != u'\\') application += u'\\';
    application += kRegExeName;

    const StartupInfo startup{kStartfUseShowWindow, kSwHide};
    StartedProcessHandle process(sys);
    if (!sys.CreateProcessW(application, commandLine, true, 0, startup, process.Out())) return false;
    sys.WaitForProcess(process.Get(), kRegExeWaitMs);
    return true;
}

namespace {

bool StartUnload(Platform& sys, const Text& mountName) {
    try {
        return RunHiddenCommand(sys, UnloadCommand(mountName));
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

namespace {

Text MountName(const HiveKind& hive, const UserProfile& profile) {
    return profile.defaultProfile ? Text(kDefaultProfileMount) : Text(hive.mountPrefix) + profile.sid;
}

// How a selected profile is reached without a load; none when its hives are
// to be loaded. The default profile is never logged on and has no SID.
std::optional<ProfileReach> ReachedWithoutLoad(Platform& sys, std::int32_t isWow64, UserProfile& profile) {
    if (!profile.defaultProfile && IsLoggedOn(sys, isWow64, profile.sid)) {
        profile.userHiveMounted = 0;
        profile.userHiveKey = profile.sid;
        return ProfileReach::LoggedOn;
    }
    // Without a command line that reg.exe reads as meant, the profile is
    // passed over: nothing loaded, nothing to write to or unload.
    if (!(profile.defaultProfile || SidFitsCommandLine(profile.sid)) ||
        !ProfilePathFitsCommandLine(profile.profilePath))
        return ProfileReach::CommandLineUnfit;
    return std::nullopt;
}

void LoadHive(Platform& sys, const HiveKind& hive, std::size_t p, UserProfile& profile, PassObserver* observer) {
    const Text file = profile.profilePath + Text(hive.fileInProfile);
    const Text mountName = MountName(hive, profile);
    const Text command = LoadCommand(mountName, file);
    // Marked before the start, so that whatever ends the pass from here on
    // (memory running out included) still unloads it. Started is enough: a
    // load that failed or did not finish in time only makes the writes below
    // the name fail, and the unload is still started for it.
    profile.*hive.key = mountName;
    profile.*hive.mounted = 1;
    const bool started = RunHiddenCommand(sys, command);
    if (observer) observer->HiveLoadStarted(p, hive.name, profile.*hive.key, file, started);
}

}  // namespace

void MountUserHives(Platform& sys, CancelHandshake& cancel, std::uint8_t groups,
                    std::int32_t isWow64, ProfileList& profiles, PassObserver* observer) {
    const auto tell = [observer](std::size_t p, ProfileReach reach) {
        if (observer) observer->ProfileReached(p, reach);
    };
    for (std::size_t p = 0; p < profiles.size(); ++p) {
        UserProfile& profile = profiles[p];
        if (!IsSelected(groups, profile)) {
            tell(p, ProfileReach::NotSelected);
            continue;
        }
        if (const std::optional<ProfileReach> reach = ReachedWithoutLoad(sys, isWow64, profile)) {
            tell(p, *reach);
            continue;
        }
        for (const HiveKind& hive : kHiveKinds) {
            if ((groups & hive.groups) == 0 || (profile.defaultProfile && !hive.inDefaultProfile)) continue;
            if (!MayLoadHive(cancel)) {
                for (std::size_t rest = p; rest < profiles.size(); ++rest) tell(rest, ProfileReach::Cancelled);
                return;
            }
            LoadHive(sys, hive, p, profile, observer);
        }
        tell(p, ProfileReach::HivesLoaded);
    }
}

void UnmountUserHives(Platform& sys, const ProfileList& profiles, PassObserver* observer) {
    for (const UserProfile& profile : profiles) {
        for (const HiveKind& hive : kHiveKinds) {
            if (profile.*hive.mounted != 1) continue;
            // A hive left loaded keeps the user's file locked until the
            // machine restarts, so an unload that could not start (memory
            // running out included) is tried once more, and the other hives
            // are unloaded whatever became of this one.
            const bool started = StartUnload(sys, profile.*hive.key) || StartUnload(sys, profile.*hive.key);
            if (observer) observer->HiveUnloadStarted(profile.*hive.key, started);
        }
    }
}

}  // namespace km
