// The machine's user profiles, from the registry's profile list.
#pragma once

#include <vector>

#include "engine/run_state.h"

namespace km {

struct UserProfile {
    Text userName;     // profilePath with every "C:\Users\" removed
    Text sid;          // the profile list subkey's name
    Text profilePath;  // "ProfileImagePath" as stored, unexpanded
    std::int32_t userHiveMounted = 0;
    Text userHiveKey;
    std::int32_t classesHiveMounted = 0;
    Text classesHiveKey;
};

// Enumeration order.
using ProfileList = std::vector<UserProfile>;

// Where the system lists its user profiles, below HKEY_LOCAL_MACHINE.
constexpr TextView kProfileListPath = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

ProfileList BuildProfileList(Platform& sys, const RunState& state);

}  // namespace km
