// One registry change written as one package line, exactly: the line is
// written only when Keymason reads it back to the very change (the same
// root, key, value name, type and bytes) and keymason-check finds no error
// in it. Whatever the format cannot carry is refused with the reason, never
// approximated.
#pragma once

#include <string>

#include "engine/package_language.h"

namespace km::pack {

enum class ChangeKind { SetValue, RemoveValue, CreateKey, RemoveKey };

struct Change {
    ChangeKind kind = ChangeKind::SetValue;
    Place place = Place::MachineSoftware;
    Text key;
    Text valueName;       // value changes; empty: the default value
    std::uint32_t type = 0;  // SetValue
    Bytes data;              // SetValue
    Text target = Text(kAllUsersTarget);  // per-user places
};

struct LineResult {
    bool written = false;
    std::string line;    // UTF-8, ending in CR LF
    std::string reason;  // why it cannot be written
};

LineResult WritePackageLine(const Change& change);

// Why a key of HKEY_LOCAL_MACHINE outside the machine places has no line.
inline constexpr const char* kMachinePlacesOnly =
    "a package line reaches only SOFTWARE and SYSTEM below HKEY_LOCAL_MACHINE";

// Lines that change nothing (an All Users value removal in a key that exists
// nowhere) but make the pass prepare every profile's user hive, classes hive
// or both, as asked, so that lines for one account by its user name reach it.
std::string GroupAnchorLines(bool userHive, bool userClasses);

}  // namespace km::pack
