// The reference value encoding and writer (see reference_pass.h). The type
// table, ValueTypeCode and ValueSetBy are the engine's.
#include "engine/value_encoding.h"

#include <algorithm>
#include <limits>

#include "platform/text.h"
#include "tests/reference/reference_pass.h"

namespace km::reference {

namespace {

constexpr TextView kLineBreak = u"*BreakLine*";
constexpr TextView kCrLf = u"\r\n";

// Hex digits of a number field: they stand at positions 2 to 9 (REG_DWORD)
// or 2 to 17 (REG_QWORD); the "0x" before them is never looked at.
constexpr std::size_t kFirstDigit = 2;
constexpr std::size_t kDwordDigits = 8;
constexpr std::size_t kQwordDigits = 16;

// Unvalidated on purpose: other characters count with whatever this gives,
// below 0 or above 15; existing packages are applied with exactly these values.
std::int64_t DigitValue(char16_t c) {
    if (c <= u'9') return std::int64_t(c) - 48;
    if (c <= u'F') return std::int64_t(c) - 55;
    return std::int64_t(c) - 87;
}

void EncodeNumber(PackageRecord& record, TextView field, std::size_t digits) {
    const std::size_t last = kFirstDigit + digits - 1;
    // A short field would have to be read past its end or guessed at.
    if (field.size() <= last) {
        record.unencodable = true;
        return;
    }
    std::uint64_t place = 1;
    std::uint64_t number = 0;  // unsigned: the sum wraps modulo 2^64
    for (std::size_t i = last + 1; i-- > kFirstDigit;) {
        number += std::uint64_t(DigitValue(field[i])) * place;
        place *= 16;
    }
    record.number = number;
}

// Keeps the buffer only when its stored size fits the 32-bit size field.
void StoreData(PackageRecord& record, Bytes bytes, std::uint64_t storedSize) {
    if (storedSize > std::numeric_limits<std::uint32_t>::max()) {
        record.unencodable = true;
        return;
    }
    record.data = std::move(bytes);
    record.dataSize = std::uint32_t(storedSize);
}

// UTF-16 little-endian followed by a 16-bit zero.
Bytes TerminatedUtf16Le(TextView text) {
    Bytes bytes(2 * (text.size() + 1), 0);
    std::uint8_t* out = bytes.data();
    for (const char16_t c : text) {
        *out++ = std::uint8_t(c & 0xFF);
        *out++ = std::uint8_t(c >> 8);
    }
    return bytes;
}

void EncodeText(PackageRecord& record, TextView field) {
    StoreData(record, TerminatedUtf16Le(field), 2 * (std::uint64_t(field.size()) + 1));
}

// The lines are separated by CR LF, not by zero characters, and no
// terminator is stored: the form existing packages expect to find.
void EncodeMultiText(PackageRecord& record, TextView field) {
    Text joined;
    joined.reserve(field.size());
    std::size_t pos = 0;
    for (std::size_t hit; (hit = field.find(kLineBreak, pos)) != TextView::npos;
         pos = hit + kLineBreak.size()) {
        joined.append(field.substr(pos, hit - pos)).append(kCrLf);
    }
    joined.append(field.substr(pos));
    StoreData(record, TerminatedUtf16Le(joined), 2 * std::uint64_t(joined.size()));
}

// One byte per character code, not hexadecimal; commas only separate.
void EncodeBinary(PackageRecord& record, TextView field) {
    Bytes bytes;
    bytes.reserve(field.size() + 1);
    for (char16_t c : field) {
        if (c == u',') continue;
        // Cutting such a character to one byte would store something else.
        if (c > 0xFF) {
            record.unencodable = true;
            return;
        }
        bytes.push_back(std::uint8_t(c));
    }
    const std::size_t stored = bytes.size();
    bytes.push_back(0);
    StoreData(record, std::move(bytes), stored);
}

}  // namespace

void EncodeValueData(PackageRecord& record, TextView field) {
    switch (ValueTypeCode(record.typeName).value_or(0)) {
        case kRegDword: EncodeNumber(record, field, kDwordDigits); break;
        case kRegQword: EncodeNumber(record, field, kQwordDigits); break;
        case kRegMultiSz: EncodeMultiText(record, field); break;
        case kRegBinary: EncodeBinary(record, field); break;
        default: EncodeText(record, field); break;  // unknown names too, though never set
    }
}

void WriteRecordValue(Platform& sys, const PackageRecord& record, RegKey key) {
    // A removal deletes whatever the type, even one without a code.
    if (record.remove == 1) {
        sys.RegDeleteKeyValueW(key, nullptr, record.valueName);
        return;
    }
    if (const std::optional<ValueToSet> value = ValueSetBy(record))
        sys.RegSetValueExW(key, record.valueName, 0, value->type, value->Data(), value->size);
}

}  // namespace km::reference
