// Machine policy: values below the one key where Group Policy puts
// Keymason's, read in the 64-bit view, each on or off by one rule.
#pragma once

#include "platform/platform.h"

namespace km {

// Below HKEY_LOCAL_MACHINE.
inline const Text kMachinePolicyKey = u"SOFTWARE\\Policies\\Keymason";
// On: per-user lines for All Users also reach the default profile, from
// which Windows makes the profile of each user who logs on for the first time.
inline const Text kDefaultProfilePolicyValue = u"IncludeDefaultProfile";

// Off only when the value is absent or reads as zero: REG_DWORD 0, REG_QWORD
// 0, REG_BINARY of one to eight zero bytes, or the text "0". Any other value
// of any type is on, and so is one that exists but cannot be read: an
// administrator's evident wish is never dropped unsaid.
bool PolicyIsOn(Platform& sys, const Text& valueName);

}  // namespace km
