#include "engine/package_language.h"

#include "platform/text.h"

namespace km {

const TargetRule* GroupTarget(TextView target) {
    for (const TargetRule& rule : kTargetRules)
        if (EqualsIgnoreAsciiCase(target, rule.target)) return &rule;
    return nullptr;
}

bool IsAllUsersTarget(TextView target) { return EqualsIgnoreAsciiCase(target, kAllUsersTarget); }

bool SelectsEveryProfile(std::uint8_t groups) {
    return (groups & kAllUsersUserHives) == kAllUsersUserHives || (groups & kAllUsersClasses) == kAllUsersClasses;
}

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
