#include "engine/apply_record.h"

#include <algorithm>
#include <vector>

#include "engine/scoped_key.h"
#include "platform/text.h"
#include "platform/registry_case.h"
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
    return path.find(u'\0') != Text::npos || ValueNameHoldsNul(record);
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

// Keys a key-only removal never takes, by root and path ("*" is any one
// key): the hives below HKLM and HKEY_USERS; the machine's classes (what
// HKEY_CLASSES_ROOT shows of the machine); and in each user's hive the
// Software\Classes link to the user's classes hive, and the Software key
// whose tree holds it. An empty path, a whole root, is never taken either.
struct ProtectedKey {
    RegKey root;
    TextView parts[3];
    std::size_t depth;
};
constexpr ProtectedKey kProtectedKeys[] = {
    {kHkeyLocalMachine, {u"*"}, 1},
    {kHkeyUsers, {u"*"}, 1},
    {kHkeyLocalMachine, {u"SOFTWARE", u"Classes"}, 2},
    {kHkeyUsers, {u"*", u"Software"}, 2},
    {kHkeyUsers, {u"*", u"Software", u"Classes"}, 3},
};

bool Matches(const ProtectedKey& key, RegKey root, const std::vector<TextView>& parts) {
    if (key.root != root || key.depth != parts.size()) return false;
    for (std::size_t i = 0; i < key.depth; ++i)
        if (key.parts[i] != u"*" && !SameRegistryName(parts[i], key.parts[i])) return false;
    return true;
}

}  // namespace

bool ValueNameHoldsNul(const PackageRecord& record) {
    return record.keyOnly != 1 && record.valueName.find(u'\0') != Text::npos;
}

bool KeyRemovalRefused(RegKey root, const Text& path) {
    const std::vector<TextView> parts = PathParts(path);
    if (parts.empty()) return true;
    for (const ProtectedKey& key : kProtectedKeys)
        if (Matches(key, root, parts)) return true;
    return false;
}

bool KeyRemovalRefusedInUserHive(const Text& path) {
    std::vector<TextView> parts{TextView(u"*")};  // the hive's own key, whichever it is
    for (TextView part : PathParts(path)) parts.push_back(part);
    for (const ProtectedKey& key : kProtectedKeys)
        if (Matches(key, kHkeyUsers, parts)) return true;
    return false;
}

bool KeyRemovalRefusedAt(Place place, const Text& key) {
    const PlaceRule& rule = PlaceRuleOf(place);
    if (rule.kind != Users) return KeyRemovalRefused(rule.root, Text(rule.top.branch) + key);
    return KeyRemovalRefusedInUserHive(Text(rule.top.branch) + key) ||
           KeyRemovalRefusedInUserHive(Text(rule.loadedTop.branch) + key);
}

ApplySettings MakeApplySettings(std::int32_t isWow64, PassObserver* observer) {
    ApplySettings settings;
    settings.isWow64 = isWow64;
    settings.observer = observer;
    settings.accessMask = isWow64 == 1 ? (kKeyAllAccess | kKeyWow64_64Key) : kKeyAllAccess;
    settings.keyAttributes.nLength = 12;
    settings.keyAttributes.hasSecurityDescriptor = false;
    settings.keyAttributes.bInheritHandle = 1;
    return settings;
}

void ApplyRecordAt(Platform& sys, const ApplySettings& settings, const PackageRecord& record,
                   RegKey root, const Text& path, HeldKey* held) {
    const bool keyOnly = record.keyOnly == 1;
    const bool remove = record.remove == 1;
    const RegKey shared = held && !keyOnly ? held->Find(root, path) : 0;
    if (held && shared == 0) held->Close();
    PassObserver* observer = settings.observer;
    if (keyOnly && remove && KeyRemovalRefused(root, path)) {
        if (observer) observer->Refused(root, path, RefusalReason::ProtectedKey);
        return;
    }
    if (HoldsNul(record, path)) {
        if (observer) observer->Refused(root, path, RefusalReason::NulInName);
        return;
    }
    if (observer) {
        observer->Lands(Landing{PlaceOf(record), KeyBelowTop(record), root, path,
                                settings.isWow64 == 1 ? kKeyWow64_64Key : 0, shared != 0});
        if (const std::optional<NotSetReason> why = ValueNotSetBy(record)) observer->ValueNotSet(*why);
    }
    if (shared != 0) {
        // A failure that is the line's own would come back on a key of its
        // own too. A held key that no longer answers is gone (another program
        // removed it meanwhile): the line is applied again with its own key,
        // as it would be without one held, and so are the lines after it. A
        // line that writes nothing still creates its key, so it asks too.
        if (WriteRecordValue(sys, record, shared) == ValueWrite::Taken || held->Answers()) return;
        held->Close();
    }

    for (const ApplyRow& row : kApplyRows) {
        if (row.keyOnly != keyOnly || row.remove != remove) continue;
        ScopedKey key(sys);
        const bool opened =
            row.access == KeyAccess::OpenExisting
                ? sys.RegOpenKeyExW(root, path, 0, settings.accessMask, key.Receive())
                : sys.RegCreateKeyExW(root, path, 0, kRegOptionNonVolatile, settings.accessMask,
                                      &settings.keyAttributes, key.Receive());
        // A failed open or create skips this record only.
        if (!opened) return;
        row.action(sys, settings, record, root, path, key.Get());
        // The key a line opened or created serves the value lines after it;
        // a removed key serves none.
        if (held && !(keyOnly && remove)) held->Keep(root, path, key);
        return;
    }
}

}  // namespace km
