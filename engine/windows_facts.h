// What the engine knows about how Windows lays out users and their hives,
// stated once for the engine and for the tools that must agree with it.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace km {

// Where the system lists its user profiles, below HKEY_LOCAL_MACHINE: one
// subkey per profile, named by its SID.
constexpr TextView kProfileListPath = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
// The profile folder, in each profile's subkey (stored unexpanded).
constexpr TextView kProfileImagePath = u"ProfileImagePath";
// In the profile list's own key: the folder of the default profile, which
// Windows copies for each user who logs on for the first time (REG_EXPAND_SZ).
constexpr TextView kDefaultProfileFolder = u"Default";

// LocalSystem, LocalService and NetworkService have profiles but no user to
// write for, so the profile list's entries for them are passed over.
constexpr TextView kServiceAccountSids[] = {u"S-1-5-18", u"S-1-5-19", u"S-1-5-20"};

// A profile's two hive files, by their place in the profile folder: the user
// hive, and the classes hive that HKEY_CLASSES_ROOT merges in for the user.
constexpr TextView kUserHiveInProfile = u"\\NTUSER.DAT";
constexpr TextView kClassesHiveInProfile = u"\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat";

// Where a logged-on user's classes hive appears inside the user hive, and the
// prefix by which a package line names the classes branch.
constexpr TextView kClassesBranch = u"Software\\Classes\\";
// The same key by its own path, as a per-user line's key can name it.
constexpr TextView kClassesKeyPath = kClassesBranch.substr(0, kClassesBranch.size() - 1);

// The longest account name Windows allows (the pre-Windows 2000 logon name);
// a package target that names one user is compared only with names that fit.
constexpr std::size_t kMaxAccountName = 20;

}  // namespace km
