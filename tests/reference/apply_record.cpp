// Applying one record as it was: every record opens and closes its own key
// (see reference_pass.h). KeyRemovalRefused and MakeApplySettings are the
// engine's, unchanged.
#include "engine/scoped_key.h"
#include "tests/reference/reference_pass.h"

namespace km::reference {

namespace {

enum class KeyAccess { OpenExisting, CreateMissing };

using KeyAction = void (*)(Platform& sys, const ApplySettings& settings,
                           const PackageRecord& record, RegKey root, const Text& path,
                           RegKey key);

// Removes the key in the view the pass works in: the tree through the handle
// that was opened in that view, then the emptied key itself with the same view
// flag (a delete by root and path alone would land in the 32-bit view).
void RemoveKey(Platform& sys, const ApplySettings& settings, const PackageRecord&, RegKey root,
               const Text& path, RegKey key) {
    sys.RegDeleteTreeW(key, nullptr);
    sys.RegDeleteKeyExW(root, path, settings.isWow64 == 1 ? kKeyWow64_64Key : 0, 0);
}

void KeepKey(Platform&, const ApplySettings&, const PackageRecord&, RegKey, const Text&, RegKey) {}

void WriteValue(Platform& sys, const ApplySettings&, const PackageRecord& record, RegKey,
                const Text&, RegKey key) {
    reference::WriteRecordValue(sys, record, key);
}

struct ApplyRow {
    bool keyOnly;
    bool remove;
    KeyAccess access;  // a removal never creates the key it would remove from
    KeyAction action;
};

constexpr ApplyRow kApplyRows[] = {
    {true, true, KeyAccess::OpenExisting, RemoveKey},
    {true, false, KeyAccess::CreateMissing, KeepKey},
    {false, true, KeyAccess::OpenExisting, WriteValue},
    {false, false, KeyAccess::CreateMissing, WriteValue},
};

// The registry reads a name up to its first NUL, so a path or value name
// holding one would act on another key or value than the record names
// ("SOFTWARE\<NUL>x" would reach all of SOFTWARE).
bool HoldsNul(const PackageRecord& record, const Text& path) {
    const bool valueLine = record.keyOnly != 1;
    return path.find(u'\0') != Text::npos ||
           (valueLine && record.valueName.find(u'\0') != Text::npos);
}

}  // namespace

void ApplyRecordAt(Platform& sys, const ApplySettings& settings, const PackageRecord& record,
                   RegKey root, const Text& path) {
    const bool keyOnly = record.keyOnly == 1;
    const bool remove = record.remove == 1;
    if (keyOnly && remove && KeyRemovalRefused(root, path)) return;
    if (HoldsNul(record, path)) return;

    for (const ApplyRow& row : kApplyRows) {
        if (row.keyOnly != keyOnly || row.remove != remove) continue;
        ScopedKey key(sys);
        const bool opened =
            row.access == KeyAccess::OpenExisting
                ? sys.RegOpenKeyExW(root, path, 0, settings.accessMask, key.Receive())
                : sys.RegCreateKeyExW(root, path, 0, kRegOptionNonVolatile, settings.accessMask,
                                      &settings.keyAttributes, key.Receive());
        // A failed open or create skips this record only.
        if (opened) row.action(sys, settings, record, root, path, key.Get());
        return;
    }
}

}  // namespace km::reference
