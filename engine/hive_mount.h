// Loading and unloading the hives of users who are not logged on, with reg.exe.
#pragma once

#include "engine/user_profiles.h"

namespace km {

constexpr std::uint32_t kRegExeWaitMs = 30000;

void MountUserHives(Platform& sys, RunState& state, ProfileList& profiles);
void UnmountUserHives(Platform& sys, const RunState& state, const ProfileList& profiles);
// Starts the system's reg.exe hidden with the command line and waits for it.
void RunHiddenCommand(Platform& sys, const Text& commandLine);

}  // namespace km
