// A package from two snapshots of one machine, before and after an install:
// the lines that take BEFORE to AFTER, machine-wide and in one profile's
// hives. Keys known to change by themselves are left out and counted; what a
// line cannot carry is named.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "toolkit/reg_file.h"
#include "platform/memory/memory_platform.h"

namespace km::pack {

// A key whose subtree is not captured, as named ("HKLM\SOFTWARE\..."), and
// how many changes below it were left out.
struct Exclusion {
    Text key;
    std::size_t changes = 0;
};

struct CaptureOptions {
    Text target;               // the APPLY TO field of per-user lines
    std::optional<Text> user;  // the SID below HKEY_USERS whose hives are captured; none: HKEY_CURRENT_USER
    std::vector<Exclusion> exclusions;
};

struct CaptureResult {
    std::string package;               // UTF-8, CR LF line ends
    std::vector<std::string> refused;  // each change left out, with why
    std::vector<Exclusion> excluded;   // the exclusions, each with the changes it left out
};

// The key below HKEY_USERS that holds the captured profile's hive.
Text CapturedUserKey(const CaptureOptions& options);

// Lays one snapshot file into `side`: HKEY_CURRENT_USER becomes the captured
// profile's key below HKEY_USERS (unless --user names one: then it is another
// view of that key and skipped), HKEY_CURRENT_CONFIG a view of
// HKEY_LOCAL_MACHINE\SYSTEM, and skipped too. Says what it skipped.
void LoadCaptureSide(toolkit::RegFile file, const CaptureOptions& options, MemoryPlatform& side,
                     std::vector<toolkit::RegFileError>* warnings);

// Whether `key` names a key a package line reaches; why not where it does not.
std::string ExclusionProblem(const Text& key, const CaptureOptions& options);

CaptureResult Capture(const MemoryPlatform& before, const MemoryPlatform& after, const CaptureOptions& options);

}  // namespace km::pack
