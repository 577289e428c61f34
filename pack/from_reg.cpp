#include "pack/from_reg.h"

#include <algorithm>

#include "engine/package_language.h"
#include "platform/text.h"
#include "platform/registry_case.h"

namespace km::pack {

namespace {

// Where a section's key lands, or why no package line reaches it.
struct Located {
    std::optional<PlacedKey> at;
    std::string why;
};

Located Locate(const toolkit::RegFileSection& section) {
    switch (section.root) {
        case kHkeyLocalMachine:
        case kHkeyClassesRoot:
            if (auto at = PlaceOfKey(section.root, section.path, nullptr, AtTop::Counts)) return {at, ""};
            return {std::nullopt, kMachinePlacesOnly};
        case toolkit::kHkeyCurrentUser: {
            // The user's own hive, as a line reaches a logged-on user's: its
            // Software\Classes is the user's classes hive.
            UserProfile user;
            user.userHiveKey = u"HKEY_CURRENT_USER";
            const Text path = section.path.empty() ? user.userHiveKey : user.userHiveKey + u"\\" + section.path;
            return {PlaceOfKey(kHkeyUsers, path, &user, AtTop::Counts), ""};
        }
        default:
            return {std::nullopt, "root " + ToUtf8(section.rootName) +
                                      " is not one a package reaches (HKEY_LOCAL_MACHINE\\SOFTWARE, "
                                      "\\SYSTEM, HKEY_CLASSES_ROOT, HKEY_CURRENT_USER)"};
    }
}

// Writes the change's line, or says why it is left out.
bool Add(FromRegResult& result, const Change& change, int line) {
    const LineResult written = WritePackageLine(change);
    if (written.written)
        result.package += written.line;
    else
        result.refused.push_back(Refusal{line, written.reason});
    return written.written;
}

// The lines of one section that a package line reaches: `change` gives its
// place, key and target.
void AddSection(FromRegResult& result, const toolkit::RegFileSection& section, Change change) {
    if (section.remove) {
        change.kind = ChangeKind::RemoveKey;
        Add(result, change, section.line);
        return;
    }
    // reg import makes the key of every section; a value line makes it too,
    // a removal does not.
    bool setsValue = false;
    for (const toolkit::RegFileValue& value : section.values) setsValue = setsValue || !value.remove;
    if (!setsValue) {
        change.kind = ChangeKind::CreateKey;
        Add(result, change, section.line);
    }
    bool keyMade = !setsValue;
    for (const toolkit::RegFileValue& value : section.values) {
        Change line = change;
        line.kind = value.remove ? ChangeKind::RemoveValue : ChangeKind::SetValue;
        line.valueName = value.name;
        line.type = value.value.type;
        line.data = value.value.data;
        const bool written = Add(result, line, value.line ? value.line : section.line);
        keyMade = keyMade || (written && !value.remove);
    }
    // Every value that would have made the key was left out: the key
    // itself still comes, as reg import makes it.
    if (!keyMade) {
        change.kind = ChangeKind::CreateKey;
        Add(result, change, section.line);
    }
}

// Room for the lines the file makes, so that a large package is not copied
// over and over as it grows: UTF-8 takes up to three bytes a unit, a data
// field about four characters a byte. Room never written takes no memory.
std::size_t PackageRoom(const toolkit::RegFile& file, const Text& target) {
    std::size_t room = 0;
    for (const toolkit::RegFileSection& section : file.sections) {
        const std::size_t line = 3 * (section.path.size() + target.size()) + 128;
        room += line;
        for (const toolkit::RegFileValue& value : section.values)
            room += line + 3 * value.name.size() + 4 * value.value.data.size();
    }
    return room;
}

}  // namespace

FromRegResult PackageFromReg(const toolkit::RegFile& file, const Text& target) {
    FromRegResult result;
    result.package.reserve(PackageRoom(file, target));
    bool userHive = false, userClasses = false;
    for (const toolkit::RegFileSection& section : file.sections) {
        const Located located = Locate(section);
        if (!located.at) {
            result.refused.push_back(Refusal{section.line, located.why});
            continue;
        }
        userHive = userHive || located.at->place == Place::UserHive;
        userClasses = userClasses || located.at->place == Place::UserClasses;
        Change change;
        change.place = located.at->place;
        change.key = located.at->key;
        change.target = target;
        AddSection(result, section, change);
    }
    // Lines for one account by its name reach it only when the pass prepares
    // the profiles, which only group lines make it do.
    if (NeedsEveryProfile(target)) result.package.insert(0, GroupAnchorLines(userHive, userClasses));
    // A key is tried after its values; the report reads in the file's order.
    std::stable_sort(result.refused.begin(), result.refused.end(),
                     [](const Refusal& a, const Refusal& b) { return a.line < b.line; });
    return result;
}

}  // namespace km::pack
