// Value data encoding and the value writer.
#pragma once

#include <optional>

#include "engine/package_record.h"

namespace km {

// Fills data/dataSize or number from the value data field, by typeName.
void EncodeValueData(PackageRecord& record, TextView field);

// The registry type code of a type name (ASCII case ignored), if it has one.
std::optional<std::uint32_t> ValueTypeCode(TextView typeName);

// Deletes or sets the record's value on an open key; results are not examined.
void WriteRecordValue(Platform& sys, const PackageRecord& record, RegKey key);

// Releases the value buffers of every record.
void FreeRecordData(RecordList& records);

}  // namespace km
