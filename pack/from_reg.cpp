#include "pack/from_reg.h"

#include "engine/windows_facts.h"
#include "platform/text.h"

namespace km::pack {

namespace {

bool StartsWithPart(TextView path, TextView part) {
    return path.size() >= part.size() && EqualsIgnoreAsciiCase(path.substr(0, part.size()), part) &&
           (path.size() == part.size() || path[part.size()] == u'\\');
}

TextView Below(TextView path, TextView part) {
    return path.size() > part.size() ? path.substr(part.size() + 1) : TextView();
}

// Where a section's key lands, or why no package line reaches it.
struct Located {
    bool reached = false;
    Place place = Place::MachineSoftware;
    Text key;
    std::string why;
};

Located Locate(const toolkit::RegFileSection& section) {
    const TextView path = section.path;
    switch (section.root) {
        case kHkeyLocalMachine:
            if (StartsWithPart(path, u"SOFTWARE"))
                return {true, Place::MachineSoftware, Text(Below(path, u"SOFTWARE")), ""};
            if (StartsWithPart(path, u"SYSTEM"))
                return {true, Place::MachineSystem, Text(Below(path, u"SYSTEM")), ""};
            return {false, {}, {}, "a package line reaches only SOFTWARE and SYSTEM below HKEY_LOCAL_MACHINE"};
        case kHkeyClassesRoot:
            return {true, Place::ClassesRoot, Text(path), ""};
        case toolkit::kHkeyCurrentUser:
            // On Windows the user's Software\Classes is the user's classes hive.
            if (StartsWithPart(path, kClassesKeyPath))
                return {true, Place::UserClasses, Text(Below(path, kClassesKeyPath)), ""};
            return {true, Place::UserHive, Text(path), ""};
        default:
            return {false, {}, {}, "root " + ToUtf8(section.rootName) +
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

}  // namespace

FromRegResult PackageFromReg(const toolkit::RegFile& file, const Text& target) {
    FromRegResult result;
    bool userHive = false, userClasses = false;
    for (const toolkit::RegFileSection& section : file.sections) {
        const Located at = Locate(section);
        if (!at.reached) {
            result.refused.push_back(Refusal{section.line, at.why});
            continue;
        }
        userHive = userHive || at.place == Place::UserHive;
        userClasses = userClasses || at.place == Place::UserClasses;
        Change change;
        change.place = at.place;
        change.key = at.key;
        change.target = target;
        AddSection(result, section, change);
    }
    // Lines for one account by its name reach it only when the pass prepares
    // the profiles, which only group lines make it do.
    if (!IsGroupTarget(target)) result.package = GroupAnchorLines(userHive, userClasses) + result.package;
    return result;
}

}  // namespace km::pack
