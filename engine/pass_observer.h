// The pass's account of its own decisions, as it takes them: the profiles it
// lists and how it reaches each, the hives it loads and unloads, and for each
// line and profile where the line lands or why it acts nowhere. Tools that
// watch the pass's registry calls cut them by these marks and read these
// reasons; they never work out a decision of the pass a second time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/package_language.h"
#include "engine/package_record.h"
#include "engine/user_profiles.h"

namespace km {

// How the pass reaches the hives of a listed profile, decided while it
// prepares the profiles.
enum class ProfileReach : std::uint8_t {
    NotSelected,       // no per-user line's target group selects it: nothing is loaded for it
    LoggedOn,          // its hive is open under its SID
    HivesLoaded,       // not logged on: the hives the package needs are loaded for this run
    CommandLineUnfit,  // not logged on, and its SID or profile path cannot stand in reg.exe's command line
    Cancelled,         // the run was cancelled before its hives were loaded
};

// Why a per-user line passes over a prepared profile.
enum class PassedOverReason : std::uint8_t {
    AnotherTarget,    // the target is neither "All Users" nor the profile's user name
    UserNameTooLong,  // the target is its user name, longer than a target can name
    // The default profile: a user who does not exist yet belongs to no group
    // and is no account, so only All Users reaches it; and Windows builds no
    // new user's classes hive from it, so no classes line does.
    NotAllUsers,
    ClassesBranch,
};

// Why an application of a line makes no registry call.
enum class RefusalReason : std::uint8_t {
    NulInName,     // a NUL in the key path or value name would name another key or value
    ProtectedKey,  // a key-only removal of a root, a hive's top key or a classes store
};

// Why a value line sets nothing on the key it opened or created.
enum class NotSetReason : std::uint8_t {
    DataNotEncodable,  // a digit field too short, a binary character above U+00FF
    TypeNotSet,        // a type the program does not set
};

// Where an application lands: at root\path, which is the top of `place`
// and then `key`, the key below it as the line names it; in the view
// `viewFlag` names (kKeyWow64_64Key, or 0 for the program's own), through a
// key held from the line before it when `heldKey`.
struct Landing {
    Place place;
    TextView key;
    RegKey root;
    TextView path;
    std::uint32_t viewFlag;
    bool heldKey;
};

enum class HiveKindName : std::uint8_t { User, Classes };

class PassObserver {
public:
    virtual ~PassObserver() = default;
    // The machine's profile list as the pass read it; told only when a
    // per-user line needs it. `profile` below indexes it.
    virtual void ProfilesListed(const ProfileList&) {}
    virtual void ProfileReached(std::size_t /*profile*/, ProfileReach) {}
    // A load was started with reg.exe (or could not be started) under
    // HKEY_USERS\`mountName` from `file`.
    virtual void HiveLoadStarted(std::size_t /*profile*/, HiveKindName, const Text& /*mountName*/,
                                 const Text& /*file*/, bool /*started*/) {}
    // The profiles the per-user lines reach, hives marked as loaded; none
    // when no line needs them. Told once, before the first record is applied.
    virtual void ProfilesPrepared(const ProfileList&) {}
    // Record `record` (0-based, file order) as the pass read it, before any
    // application of it; valid only during the call.
    virtual void RecordRead(std::size_t /*record*/, const PackageRecord&) {}
    // The calls from here on apply record `record` (0-based, file order) at
    // its machine root (profile -1) or for profile `profile` of the prepared
    // list. A record that reaches no profile has no application.
    virtual void ApplicationStarts(std::size_t record, int profile) = 0;
    // Record `record` does not reach prepared profile `profile`.
    virtual void PassedOver(std::size_t /*record*/, std::size_t /*profile*/, PassedOverReason) {}
    virtual void Lands(const Landing&) {}
    // The application makes no call at root\path.
    virtual void Refused(RegKey /*root*/, const Text& /*path*/, RefusalReason) {}
    // The value line sets nothing; its key is still opened or created.
    virtual void ValueNotSet(NotSetReason) {}
    // No record is applied from here on.
    virtual void RecordsEnd() = 0;
    // An unload of HKEY_USERS\`mountName` was started, or could not be.
    virtual void HiveUnloadStarted(const Text& /*mountName*/, bool /*started*/) {}
};

}  // namespace km
