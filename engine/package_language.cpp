#include "engine/package_language.h"

#include <algorithm>
#include <iterator>

#include "platform/registry_case.h"
#include "platform/text.h"

namespace km {

namespace {

constexpr bool PlacesInOrder() {
    for (std::size_t i = 0; i < std::size(kPlaceRules); ++i)
        if (std::size_t(kPlaceRules[i].place) != i) return false;
    return true;
}
static_assert(PlacesInOrder(), "PlaceRuleOf finds a place's rule by its number");

bool HivesLoaded(const UserProfile& profile) {
    return profile.userHiveMounted == 1 || profile.classesHiveMounted == 1;
}

const PlaceTop& TopIn(const PlaceRule& rule, const UserProfile* profile) {
    return profile && HivesLoaded(*profile) ? rule.loadedTop : rule.top;
}

// The place's top below its root; none for a per-user place whose hive is
// open under no key.
std::optional<Text> TopPath(const PlaceRule& rule, const UserProfile* profile) {
    const PlaceTop& at = TopIn(rule, profile);
    Text top;
    if (at.hive) {
        top = profile->*at.hive;
        if (top.empty()) return std::nullopt;
        top += u'\\';
    }
    top += at.branch;
    if (!top.empty()) top.pop_back();  // the backslash that closes it
    return top;
}

// The rest of `path` below `top` ("" for the top itself), or none where it
// does not lie there. An empty top is the root, above every path.
std::optional<TextView> Below(TextView path, TextView top) {
    if (top.empty()) return path;
    if (path.size() < top.size() || !SameRegistryName(path.substr(0, top.size()), top)) return std::nullopt;
    if (path.size() == top.size()) return TextView();
    if (path[top.size()] != u'\\') return std::nullopt;
    return path.substr(top.size() + 1);
}

}  // namespace

Place PlaceOf(const PackageRecord& record) {
    // The classes branch is a place of its own only in a profile; a classes
    // root line drops the prefix and lands at the root.
    const bool classes = record.rootKind == Users && record.classesKey == 1;
    for (const PlaceRule& rule : kPlaceRules)
        if (rule.kind == record.rootKind && rule.classes == classes) return rule.place;
    return Place::ClassesRoot;
}

TextView KeyBelowTop(const PackageRecord& record) {
    const PlaceTop& top = PlaceRuleOf(PlaceOf(record)).top;
    const TextView key = record.keyPath;
    return top.hive ? key : key.substr(std::min(top.branch.size(), key.size()));
}

Text PlaceKeyPath(const PlaceRule& rule, const UserProfile* profile, TextView key) {
    const PlaceTop& at = TopIn(rule, profile);
    Text path;
    if (at.hive) path.append(profile->*at.hive).append(1, u'\\');
    path += at.branch;
    path += key;
    return path;
}

const RootRule& RootRuleOf(Place place) {
    for (const RootRule& rule : kRootRules)
        if (rule.kind == PlaceRuleOf(place).kind) return rule;
    return kPerUserRoot;
}

std::optional<PlacedKey> PlaceOfKey(RegKey root, TextView path, const UserProfile* profile, AtTop atTop) {
    std::optional<PlacedKey> found;
    std::size_t depth = 0;
    for (const PlaceRule& rule : kPlaceRules) {
        if (rule.root != root || (rule.top.hive != nullptr) != (profile != nullptr)) continue;
        const std::optional<Text> top = TopPath(rule, profile);
        const std::optional<TextView> rest = top ? Below(path, *top) : std::nullopt;
        if (!rest || (rest->empty() && atTop == AtTop::Excluded) || (found && top->size() <= depth)) continue;
        found = PlacedKey{rule.place, Text(*rest)};
        depth = top->size();
    }
    return found;
}

const TargetRule* GroupTarget(TextView target) {
    for (const TargetRule& rule : kTargetRules)
        if (EqualsIgnoreAsciiCase(target, rule.target)) return &rule;
    return nullptr;
}

bool IsAllUsersTarget(TextView target) { return EqualsIgnoreAsciiCase(target, kAllUsersTarget); }

bool SelectsEveryProfile(std::uint8_t groups) {
    return (groups & kAllUsersUserHives) == kAllUsersUserHives || (groups & kAllUsersClasses) == kAllUsersClasses;
}

bool NeedsEveryProfile(TextView target) { return GroupTarget(target) == nullptr; }

const NumberWidth* NumberWidthOf(std::uint32_t type) {
    for (const NumberWidth& width : kNumberWidths)
        if (width.type == type) return &width;
    return nullptr;
}

std::size_t KeyFieldLimit(RootKind kind) {
    for (const auto& limit : kKeyFieldLimits)
        if (limit.kind == kind) return limit.max;
    return 0;
}

Text WriteLineText(const LineFields& f) {
    Text line;
    line.reserve(f.rootField.size() + f.keyField.size() + f.valueName.size() + f.valueData.size() + 64);
    auto field = [&](TextView text) { line.append(text).append(kFieldSeparator); };
    field(kLeadingFieldText);
    field(f.rootField);
    field(f.keyField);
    field(f.keyOnly ? kKeyOnlyMark : TextView());
    field(f.keyOnly ? TextView() : f.valueName);
    field(f.keyOnly ? TextView() : f.typeName);
    field(f.target);
    if (f.keyOnly) {
        field(f.remove ? kRemovalMarker : TextView());
    } else if (f.remove) {
        // The data field stays empty; the marker after it makes the removal.
        field(TextView());
        line.append(kRemovalMarker);
    } else {
        field(f.valueData);
    }
    return line.append(kCrLf);
}

}  // namespace km
