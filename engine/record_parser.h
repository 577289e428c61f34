// Turning one package line into one record.
#pragma once

#include "engine/package_record.h"

namespace km {

// Never fails. ORs the line's per-user target groups into targetGroups.
PackageRecord ParseRecordLine(TextView line, std::uint8_t& targetGroups);

}  // namespace km
