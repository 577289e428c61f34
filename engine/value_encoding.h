// Value data encoding and the value writer.
#pragma once

#include <optional>

#include "engine/package_record.h"
#include "engine/pass_observer.h"

namespace km {

// Fills data/dataSize or number from the value data field, by typeName.
// The record's data buffer is reused.
void EncodeValueData(PackageRecord& record, TextView field);

// The registry type code of a type name (ASCII case ignored), if it has one.
std::optional<std::uint32_t> ValueTypeCode(TextView typeName);
// The package's name of a type code; empty for a type no line can name.
TextView ValueTypeName(std::uint32_t code);

// The value a record sets, as it reaches RegSetValueExW: a view of the
// record's buffer, or its number in 4 or 8 bytes.
struct ValueToSet {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    bool isNumber = false;
    std::uint8_t number[8] = {};
    const std::uint8_t* buffer = nullptr;  // the record's data; null when it has none
    const std::uint8_t* Data() const { return isNumber ? number : buffer; }
};
// None for a removal, a type without a code, or data that cannot be encoded.
std::optional<ValueToSet> ValueSetBy(const PackageRecord& record);

// What a line's value write came to: the registry took it, refused it, or
// the line writes nothing (a type without a code, data that cannot be encoded).
enum class ValueWrite { Taken, Refused, NothingWritten };

// Deletes or sets the record's value on an open key.
ValueWrite WriteRecordValue(Platform& sys, const PackageRecord& record, RegKey key);

// Why a set line sets nothing; none for a line that sets its value or removes one.
std::optional<NotSetReason> ValueNotSetBy(const PackageRecord& record);

}  // namespace km
