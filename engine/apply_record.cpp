#include "engine/apply_record.h"

#include <algorithm>
#include <vector>

#include "engine/scoped_key.h"
#include "platform/text.h"
#include "engine/value_encoding.h"

namespace km {

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
    WriteRecordValue(sys, record, key);
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

// The non-empty parts of a backslash-separated path.
std::vector<TextView> PathParts(const Text& path) {
    std::vector<TextView> parts;
    const TextView rest(path);
    std::size_t begin = 0;
    while (begin <= rest.size()) {
        const std::size_t cut = std::min(rest.find(u'\\', begin), rest.size());
        if (cut > begin) parts.push_back(rest.substr(begin, cut - begin));
        begin = cut + 1;
    }
    return parts;
}

// Where "Software\Classes" sits below each root as a store of its own: the
// machine's classes (what HKEY_CLASSES_ROOT shows of the machine) directly
// below HKLM, and below HKEY_USERS one level down, in each user's hive, where
// it is the link to that user's classes hive.
struct ClassesStore {
    RegKey root;
    std::size_t depthAbove;
};
constexpr ClassesStore kClassesStores[] = {{kHkeyLocalMachine, 0}, {kHkeyUsers, 1}};

}  // namespace

bool KeyRemovalRefused(RegKey root, const Text& path) {
    const std::vector<TextView> parts = PathParts(path);
    if (parts.empty()) return true;
    if (parts.size() == 1 && (root == kHkeyLocalMachine || root == kHkeyUsers)) return true;
    for (const ClassesStore& store : kClassesStores) {
        if (store.root != root || parts.size() < store.depthAbove + 1 || parts.size() > store.depthAbove + 2 ||
            !EqualsIgnoreAsciiCase(parts[store.depthAbove], u"Software"))
            continue;
        // The store itself, and a user's Software key above it: removing that
        // tree follows the link into the user's classes hive.
        if (parts.size() == store.depthAbove + 2 && EqualsIgnoreAsciiCase(parts[store.depthAbove + 1], u"Classes"))
            return true;
        if (parts.size() == store.depthAbove + 1 && root == kHkeyUsers) return true;
    }
    return false;
}

ApplySettings MakeApplySettings(std::int32_t isWow64) {
    ApplySettings settings;
    settings.isWow64 = isWow64;
    settings.accessMask = isWow64 == 1 ? (kKeyAllAccess | kKeyWow64_64Key) : kKeyAllAccess;
    settings.keyAttributes.nLength = 12;
    settings.keyAttributes.hasSecurityDescriptor = false;
    settings.keyAttributes.bInheritHandle = 1;
    return settings;
}

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

}  // namespace km
