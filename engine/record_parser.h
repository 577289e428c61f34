// Turning one package line into one record.
#pragma once

#include <string_view>

#include "engine/package_record.h"

namespace km {

// Never fails. ORs the line's per-user target groups into targetGroups.
PackageRecord ParseRecordLine(TextView line, std::uint8_t& targetGroups);
// The same into `record`, whose buffers are reused.
void ParseRecordLine(TextView line, PackageRecord& record, std::uint8_t& targetGroups);

// The TargetGroups bits the line asks for, as ParseRecordLine finds them,
// without decoding it: from the line as UTF-8 bytes (any bytes: a bad
// sequence counts as the U+FFFD it decodes to) or as UTF-16 text.
std::uint8_t LineTargetGroups(std::string_view utf8Line);
// Every bit a line can ask for: once they are all set, no line adds one.
constexpr std::uint8_t kAllLineTargetGroups = TargetGroups::kUserHive | TargetGroups::kAdministratorHive |
                                              TargetGroups::kUserClasses | TargetGroups::kAdministratorClasses;
std::uint8_t LineTargetGroups(TextView line);

}  // namespace km
