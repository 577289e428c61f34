// Carrying out one record at one root and path.
#pragma once

#include "engine/package_record.h"

namespace km {

// Access mask and key attributes of a pass, fixed by isWow64.
struct ApplySettings {
    std::int32_t isWow64 = 0;
    std::uint32_t accessMask = kKeyAllAccess;
    SecurityAttributes keyAttributes;
};
ApplySettings MakeApplySettings(std::int32_t isWow64);

void ApplyRecordAt(Platform& sys, const ApplySettings& settings, const PackageRecord& record,
                   RegKey root, const Text& path);

}  // namespace km
