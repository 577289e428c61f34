// A registry snapshot: the sections of a .reg file laid into the in-memory
// platform's tree and its hive files, and the tree written back as sections.
//
// Hive files of users who are not logged on travel inside the snapshot as a
// pseudo-key below HKEY_USERS: "HiveFile:" followed by the file's path with
// every backslash written as a slash, for example
//   [HKEY_USERS\HiveFile:C:/Users/Administrator/NTUSER.DAT\Software\Vendor]
// The pseudo-key's own values are those of the hive's top key.
#pragma once

#include <string>
#include <vector>

#include "toolkit/reg_file.h"
#include "engine/user_profiles.h"
#include "platform/memory/memory_platform.h"
#include "platform/registry_case.h"

namespace km::toolkit {

constexpr TextView kHiveFilePrefix = u"HiveFile:";

// The profile of the base that stands in for a machine when no snapshot is given.
constexpr TextView kDefaultSid = u"S-1-5-21-1000000000-1000000000-1000000000-1001";
constexpr TextView kDefaultProfilePath = u"C:\\Users\\User";

// Lays the sections into the platform in file order, as reg import would on a
// machine that starts from nothing: removals ([-KEY], "name"=-) remove only
// what the file set before them. Keys of roots a base does not hold
// (HKEY_CURRENT_USER, HKEY_CURRENT_CONFIG) and a root's own values are
// skipped with a warning. HKLM\SOFTWARE and HKLM\SYSTEM always exist
// afterwards, as on every machine.
bool LoadSnapshot(const RegFile& file, MemoryPlatform& sys, RegFileError* error,
                  std::vector<RegFileError>* warnings = nullptr);
// The same, moving the file's names and data into the platform instead of copying them.
bool LoadSnapshot(RegFile&& file, MemoryPlatform& sys, RegFileError* error,
                  std::vector<RegFileError>* warnings = nullptr);

// An empty machine with one logged-on profile "User".
void LoadDefaultBase(MemoryPlatform& sys);

// The pseudo-key name of a hive file, and the file of a pseudo-key name.
Text HiveFileKeyName(const Text& filePath);
bool IsHiveFileKeyName(TextView name);
Text HiveFilePath(TextView keyName);

// Every key below the three roots, then every hive file, each key with its
// values, in the registry's order (names compared with ASCII letters upper-cased).
// Of a base that reads through to a source, only what was read: a key not
// read yet is left out with everything below it.
std::vector<RegFileSection> SnapshotSections(const MemoryPlatform& sys);

// The key at root\path and everything below it; nothing when it does not exist.
std::vector<RegFileSection> SubtreeSections(const MemoryPlatform& sys, RegKey root, const Text& path);

// The key at `path` below a hive's top, created with the keys above it.
std::shared_ptr<MemoryKey> EnsureTreeKey(const std::shared_ptr<MemoryKey>& top, TextView path);

}  // namespace km::toolkit
