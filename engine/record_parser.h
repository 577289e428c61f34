// Turning one package line into one record.
#pragma once

#include <string_view>

#include "engine/package_language.h"
#include "engine/package_record.h"

namespace km {

// Never fails. ORs the line's per-user target groups into targetGroups.
PackageRecord ParseRecordLine(TextView line, std::uint8_t& targetGroups);
// The same into `record`, whose buffers are reused.
void ParseRecordLine(TextView line, PackageRecord& record, std::uint8_t& targetGroups);

// Where the parts of a line lie, in its units, as ParseRecordLine cuts it:
// parts[k] for k < separators is field k + 1, which a separator ends;
// parts[separators] runs from the last separator to the line's end and is no
// field, unless it is the text after the value data. The removal marker
// counts from markerFrom to the line's end.
struct LineSpan {
    std::size_t begin = 0, end = 0;
};
struct LineSpans {
    LineSpan parts[kRestField];
    std::size_t separators = 0;  // at most kRestField - 1
    std::size_t markerFrom = 0;
};
LineSpans CutLine(TextView line);

// The TargetGroups bits the line asks for, as ParseRecordLine finds them,
// without decoding it: from the line as UTF-8 bytes (any bytes: a bad
// sequence counts as the U+FFFD it decodes to) or as UTF-16 text.
std::uint8_t LineTargetGroups(std::string_view utf8Line);
// Every bit a line can ask for: once they are all set, no line adds one.
constexpr std::uint8_t kAllLineTargetGroups = TargetGroups::kUserHive | TargetGroups::kAdministratorHive |
                                              TargetGroups::kUserClasses | TargetGroups::kAdministratorClasses;
std::uint8_t LineTargetGroups(TextView line);

}  // namespace km
