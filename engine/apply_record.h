// Carrying out one record at one root and path.
#pragma once

#include "engine/held_key.h"
#include "engine/package_record.h"
#include "engine/pass_observer.h"

namespace km {

// Access mask and key attributes of a pass, fixed by isWow64, and who is told
// where each line lands.
struct ApplySettings {
    std::int32_t isWow64 = 0;
    PassObserver* observer = nullptr;
    std::uint32_t accessMask = kKeyAllAccess;
    SecurityAttributes keyAttributes;
};
ApplySettings MakeApplySettings(std::int32_t isWow64, PassObserver* observer = nullptr);

// A key-only removal is refused where it would wipe a whole root (an empty
// key), the top key of a hive (HKLM\SOFTWARE, HKLM\SYSTEM, a user's hive
// below HKEY_USERS), or a classes store (HKLM\SOFTWARE\Classes, a user's
// Software\Classes, and a user's Software key, whose tree holds the link to
// the user's classes hive): every file association and COM registration of
// the machine or of a user would go with it. Any letter case, any trailing
// backslash.
bool KeyRemovalRefused(RegKey root, const Text& path);
// The same rule for a key `path` below the top of a user's hive, whichever
// key the hive hangs under (the SID, or a name this run loaded it as).
bool KeyRemovalRefusedInUserHive(const Text& path);
// Whether a key-only removal of `key` below `place`'s top is refused, for
// either way a profile's hives hang (reached under its SID, or loaded by
// this run).
bool KeyRemovalRefusedAt(Place place, const Text& key);

// The registry reads a name up to its first NUL: a record whose value name
// (or whose key path) holds one is refused, as it would act on another value.
bool ValueNameHoldsNul(const PackageRecord& record);

// With `held`, a value line on the key it holds uses that key; any other
// line closes it first. A line that opens or creates its key, all but key
// removals, leaves it there for the value lines after it. Without, every
// record opens and closes its own key.
void ApplyRecordAt(Platform& sys, const ApplySettings& settings, const PackageRecord& record,
                   RegKey root, const Text& path, HeldKey* held = nullptr);

}  // namespace km
