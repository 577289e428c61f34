// The machine's user profiles, from the registry's profile list.
#pragma once

#include <vector>

#include "engine/windows_facts.h"

namespace km {

struct UserProfile {
    Text userName;     // profilePath with every "C:\Users\" removed
    Text sid;          // the profile list subkey's name
    Text profilePath;  // "ProfileImagePath" as stored, unexpanded
    std::int32_t userHiveMounted = 0;
    Text userHiveKey;
    std::int32_t classesHiveMounted = 0;
    Text classesHiveKey;
    // The default profile: no SID and no user name; profilePath is its
    // folder, expanded.
    bool defaultProfile = false;
};

// Enumeration order.
using ProfileList = std::vector<UserProfile>;

// One of the service accounts, which have profiles but no user.
bool IsServiceAccount(TextView sid);

// Read in the 64-bit view when isWow64 is 1.
ProfileList BuildProfileList(Platform& sys, std::int32_t isWow64);
// The default profile's entry; its path is empty when the profile list does
// not name its folder or the name cannot be expanded.
UserProfile ReadDefaultProfile(Platform& sys, std::int32_t isWow64);

}  // namespace km
