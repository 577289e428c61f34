// Loading and unloading the hives of users who are not logged on, with reg.exe.
#pragma once

#include "engine/pass_observer.h"
#include "engine/run_state.h"
#include "engine/user_profiles.h"

namespace km {

constexpr std::uint32_t kRegExeWaitMs = 30000;
// The default profile's hive is loaded under a name of its own: every name
// taken from a SID begins "Velmar-Mount-", and this one does not.
constexpr TextView kDefaultProfileMount = u"Keymason-DefaultProfile";

// Loads the hives that targetGroups asks for, of the profiles it selects that
// are not logged on; isWow64 1 probes for a logged-on user in the 64-bit view.
// The default profile is selected by All Users outside the classes branch,
// and only its user hive is loaded.
void MountUserHives(Platform& sys, CancelHandshake& cancel, std::uint8_t targetGroups,
                    std::int32_t isWow64, ProfileList& profiles, PassObserver* observer = nullptr);
void UnmountUserHives(Platform& sys, const ProfileList& profiles, PassObserver* observer = nullptr);
// Starts the system's reg.exe hidden with the command line and waits for it;
// false when it could not be started. How it ended is not told.
bool RunHiddenCommand(Platform& sys, const Text& commandLine);

}  // namespace km
