// The package language, stated once: its punctuation and markers, the order
// of a line's fields, the roots and targets a line can name, the value types
// it can set, the widths of its numbers and the limits of its fields. The
// reader (record_parser, value_encoding), the line writer below, keymason-check's
// lint and keymason-pack all take them from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/package_record.h"
#include "engine/user_profiles.h"
#include "engine/windows_facts.h"
#include "platform/value_types.h"

namespace km {

// ---- Punctuation and markers ----

// Ends every field a line uses; text after the last one is no field.
inline constexpr TextView kFieldSeparator = u"*@*";
// Anywhere from the key-only field on, in exact case: the line removes.
inline constexpr TextView kRemovalMarker = u"DELETE_REG";
// The key-only field of a line that creates or removes a key (ASCII case ignored).
inline constexpr TextView kKeyOnlyMark = u"True";
// Stands for CR LF in REG_MULTI_SZ value data.
inline constexpr TextView kLineBreakMark = u"*BreakLine*";
inline constexpr TextView kCrLf = u"\r\n";
// The leading field carries nothing; the writer puts this there.
inline constexpr TextView kLeadingFieldText = u"1";

// Field positions of a line, from 1; kRestField is whatever follows the data.
enum PackageField : int {
    kLeadingField = 1,
    kRootField,
    kKeyField,
    kKeyOnlyField,
    kValueNameField,
    kTypeField,
    kTargetField,
    kValueDataField,
    kRestField,
};
inline constexpr const char* kPackageFieldNames[] = {
    "", "leading field", "root field", "key field", "key-only field",
    "value name", "type", "apply-to field", "value data", "text after the value data",
};
// Short names of the fields for machine-read reports; 0 is the line as a whole.
inline constexpr const char* kPackageFieldIds[] = {
    "line", "leading-field", "root", "key", "key-only", "value-name", "type", "apply-to", "value-data",
};

// ---- Places ----

// Where a line lands, as a line names it: a place, and the key below its top.
enum class Place : std::uint8_t { MachineSoftware, MachineSystem, ClassesRoot, UserHive, UserClasses };

// Where a place's top lies below its root: below the key one of a profile's
// hives is open under (per-user places only), then along `branch`, which is
// empty or ends in a backslash.
struct PlaceTop {
    const Text UserProfile::*hive;
    TextView branch;
};
struct PlaceRule {
    Place place;
    RootKind kind;
    bool classes;  // per-user places: the line's key field starts with the classes branch
    RegKey root;
    PlaceTop top;        // a machine place; a profile reached under its SID
    PlaceTop loadedTop;  // a profile whose hives this run loaded
};
// In the order of Place. A hive loaded by the system is reached under the
// SID, and its classes branch lies inside it.
inline constexpr PlaceRule kPlaceRules[] = {
    {Place::MachineSoftware, MachineSoftware, false, kHkeyLocalMachine, {nullptr, u"SOFTWARE\\"},
     {nullptr, u"SOFTWARE\\"}},
    {Place::MachineSystem, MachineSystem, false, kHkeyLocalMachine, {nullptr, u"SYSTEM\\"}, {nullptr, u"SYSTEM\\"}},
    {Place::ClassesRoot, ClassesRoot, false, kHkeyClassesRoot, {nullptr, u""}, {nullptr, u""}},
    {Place::UserHive, Users, false, kHkeyUsers, {&UserProfile::userHiveKey, u""}, {&UserProfile::userHiveKey, u""}},
    {Place::UserClasses, Users, true, kHkeyUsers, {&UserProfile::userHiveKey, kClassesBranch},
     {&UserProfile::classesHiveKey, u""}},
};
inline constexpr const PlaceRule& PlaceRuleOf(Place place) { return kPlaceRules[std::size_t(place)]; }

// The place a record's line names.
Place PlaceOf(const PackageRecord& record);
// The record's key below its place's top.
TextView KeyBelowTop(const PackageRecord& record);
// The path below the root where a line of `rule`'s place naming `key` lands:
// for a per-user place, in `profile` as the pass reaches its hives.
Text PlaceKeyPath(const PlaceRule& rule, const UserProfile* profile, TextView key);

// A key as a line names it.
struct PlacedKey {
    Place place;
    Text key;
};
// Whether a place's top itself counts as a key in the place (key "").
enum class AtTop : bool { Excluded, Counts };
// Where root\path lies as a line names it: the place whose top lies deepest
// above it (ASCII case ignored) and the key below that top. The per-user
// places are those of `profile` as the pass reaches its hives, the machine
// places those of no profile; a hive open under no key holds none.
std::optional<PlacedKey> PlaceOfKey(RegKey root, TextView path, const UserProfile* profile, AtTop atTop);

// ---- Roots ----

struct RootRule {
    TextView marker;  // found anywhere in the root field, exact case
    RootKind kind;
    RegKey key;
    TextView keyPrefix;        // put before the key field
    bool takesClassesPrefix;   // a leading "Software\Classes\" marks a classes key
};
// A root field's rule, from the place a line with it names (outside the classes branch).
inline constexpr RootRule RootRuleFor(TextView marker, Place place, bool takesClassesPrefix) {
    const PlaceRule& rule = PlaceRuleOf(place);
    return {marker, rule.kind, rule.root, rule.top.hive ? TextView() : rule.top.branch, takesClassesPrefix};
}
// First match wins; a root field that matches none, an empty one too, is
// taken as a per-user root.
inline constexpr RootRule kRootRules[] = {
    RootRuleFor(u"HKEY_CLASSES_ROOT", Place::ClassesRoot, true),
    RootRuleFor(u"HKEY_LOCAL_MACHINE\\SOFTWARE", Place::MachineSoftware, false),
    RootRuleFor(u"HKEY_LOCAL_MACHINE\\SYSTEM", Place::MachineSystem, false),
};
inline constexpr RootRule kPerUserRoot = RootRuleFor(u"HKEY_CURRENT_USER", Place::UserHive, true);
// The rule of the root field a line of the place is written with.
const RootRule& RootRuleOf(Place place);
// Root fields that name the per-user branch as an author means it.
inline constexpr TextView kPerUserRootFields[] = {u"HKEY_CURRENT_USER", u"HKEY_USERS"};
// Root spellings that look like a machine root but match none of kRootRules
// (ASCII case ignored).
inline constexpr TextView kMachineRootLookalikes[] = {
    u"HKEY_LOCAL_MACHINE", u"HKEY_CLASSES_ROOT", u"HKLM", u"HKCR"};

// ---- Targets ----

struct TargetRule {
    TextView target;  // ASCII case ignored
    std::uint8_t classesBits;
    std::uint8_t userBits;
};
inline constexpr TextView kAllUsersTarget = u"All Users";
inline constexpr TargetRule kTargetRules[] = {
    {kAllUsersTarget, TargetGroups::kUserClasses | TargetGroups::kAdministratorClasses,
     TargetGroups::kUserHive | TargetGroups::kAdministratorHive},
    {u"Administrator", TargetGroups::kAdministratorClasses, TargetGroups::kAdministratorHive},
    {u"User", TargetGroups::kUserClasses, TargetGroups::kUserHive},
};
// Either half asked for by All Users selects every profile.
inline constexpr std::uint8_t kAllUsersUserHives = TargetGroups::kUserHive | TargetGroups::kAdministratorHive;
inline constexpr std::uint8_t kAllUsersClasses = TargetGroups::kUserClasses | TargetGroups::kAdministratorClasses;

// The rule a target names, if it names a group ("All Users", "Administrator", "User").
const TargetRule* GroupTarget(TextView target);
bool IsAllUsersTarget(TextView target);
// Whether the groups asked for make the pass prepare every profile, so that a
// target naming one account by its user name can reach it.
bool SelectsEveryProfile(std::uint8_t groups);
// Whether a line for the target reaches a profile only where the package
// selects every profile: the target names no group, so at most one account.
bool NeedsEveryProfile(TextView target);

// A target that names one user is compared only with names of at most
// kMaxAccountName characters, the longest account name Windows allows.

// ---- Value types ----

// The types a line can name, by the registry's names for them.
inline constexpr std::uint32_t kPackageTypes[] = {kRegSz, kRegExpandSz, kRegBinary, kRegDword, kRegMultiSz, kRegQword};
// The type a removal line names: the reader does not look at it.
inline constexpr std::uint32_t kRemovalLineType = kRegSz;

// Number data: "0x" (never read), then the hex digits of a DWORD or QWORD.
struct NumberWidth {
    std::uint32_t type;
    std::size_t digits;
    std::size_t bytes;
};
inline constexpr std::size_t kFirstNumberDigit = 2;
inline constexpr TextView kNumberPrefix = u"0x";
inline constexpr NumberWidth kNumberWidths[] = {{kRegDword, 8, 4}, {kRegQword, 16, 8}};
const NumberWidth* NumberWidthOf(std::uint32_t type);

// Binary data: one byte per character; this character only separates.
inline constexpr char16_t kBinarySeparator = u',';

// ---- Limits of the fields ----

struct KeyFieldLimit {
    RootKind kind;
    std::size_t max;  // characters, after a leading classes prefix where the root takes one
};
inline constexpr KeyFieldLimit kKeyFieldLimits[] = {
    {MachineSoftware, 250}, {MachineSystem, 252}, {ClassesRoot, 259}, {Users, 259}};
std::size_t KeyFieldLimit(RootKind kind);

struct FieldLimit {
    PackageField field;
    std::size_t max;
};
inline constexpr FieldLimit kFieldLimits[] = {
    {kKeyOnlyField, 31}, {kValueNameField, 259}, {kTypeField, 31}, {kTargetField, kMaxAccountName}};
// REG_BINARY data, in characters once its separators are removed.
inline constexpr std::size_t kMaxBinaryLength = 259;

// ---- The line writer ----

// The fields of one line as the writer puts them; the reader gives them back.
struct LineFields {
    TextView rootField;
    TextView keyField;
    bool keyOnly = false;
    bool remove = false;
    TextView valueName;
    TextView typeName;
    TextView target;
    TextView valueData;
};
// The line, ending in CR LF.
Text WriteLineText(const LineFields& fields);

}  // namespace km
