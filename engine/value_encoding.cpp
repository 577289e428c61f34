#include "engine/value_encoding.h"

#include <algorithm>
#include <limits>

#include "engine/package_language.h"
#include "platform/text.h"

namespace km {

namespace {

// Unvalidated on purpose: other characters count with whatever this gives,
// below 0 or above 15; existing packages are applied with exactly these values.
std::int64_t DigitValue(char16_t c) {
    if (c <= u'9') return std::int64_t(c) - 48;
    if (c <= u'F') return std::int64_t(c) - 55;
    return std::int64_t(c) - 87;
}

// Hex digits of a number field stand from kFirstNumberDigit on; the "0x"
// before them is never looked at.
void EncodeNumber(PackageRecord& record, TextView field, std::size_t digits) {
    const std::size_t last = kFirstNumberDigit + digits - 1;
    // A short field would have to be read past its end or guessed at.
    if (field.size() <= last) {
        record.unencodable = true;
        return;
    }
    std::uint64_t place = 1;
    std::uint64_t number = 0;  // unsigned: the sum wraps modulo 2^64
    for (std::size_t i = last + 1; i-- > kFirstNumberDigit;) {
        number += std::uint64_t(DigitValue(field[i])) * place;
        place *= 16;
    }
    record.number = number;
}

// The record's buffer is reused from line to line: it is emptied, then
// filled. A stored size beyond the 32-bit size field keeps no buffer.
bool SizeFits(PackageRecord& record, std::uint64_t storedSize) {
    if (storedSize <= std::numeric_limits<std::uint32_t>::max()) return true;
    record.unencodable = true;
    record.data.clear();
    return false;
}

// Appends text as UTF-16 little-endian.
void AppendUtf16Le(Bytes& bytes, TextView text) {
    const std::size_t at = bytes.size();
    bytes.resize(at + 2 * text.size());
    std::uint8_t* out = bytes.data() + at;
    for (const char16_t c : text) {
        *out++ = std::uint8_t(c & 0xFF);
        *out++ = std::uint8_t(c >> 8);
    }
}

// UTF-16 little-endian followed by a 16-bit zero.
void EncodeText(PackageRecord& record, TextView field) {
    const std::uint64_t stored = 2 * (std::uint64_t(field.size()) + 1);
    if (!SizeFits(record, stored)) return;
    record.data.clear();
    record.data.reserve(std::size_t(stored));
    AppendUtf16Le(record.data, field);
    AppendUtf16Le(record.data, TextView(u"\0", 1));
    record.dataSize = std::uint32_t(stored);
}

// The lines are separated by CR LF, not by zero characters, and no
// terminator is stored: the form existing packages expect to find.
void EncodeMultiText(PackageRecord& record, TextView field) {
    Bytes& bytes = record.data;
    bytes.clear();
    // Each marker of 11 units becomes 2: the field's size bounds the result,
    // so the buffer is sized once.
    bytes.reserve(2 * (field.size() + 1));
    std::size_t pos = 0;
    for (std::size_t hit; (hit = field.find(kLineBreakMark, pos)) != TextView::npos;
         pos = hit + kLineBreakMark.size()) {
        AppendUtf16Le(bytes, field.substr(pos, hit - pos));
        AppendUtf16Le(bytes, kCrLf);
    }
    AppendUtf16Le(bytes, field.substr(pos));
    const std::uint64_t stored = bytes.size();
    if (!SizeFits(record, stored)) return;
    AppendUtf16Le(bytes, TextView(u"\0", 1));  // in the buffer, not in the stored size
    record.dataSize = std::uint32_t(stored);
}

// One byte per character code, not hexadecimal; commas only separate.
void EncodeBinary(PackageRecord& record, TextView field) {
    Bytes& bytes = record.data;
    bytes.clear();
    bytes.reserve(field.size() + 1);
    for (char16_t c : field) {
        if (c == kBinarySeparator) continue;
        // Cutting such a character to one byte would store something else.
        if (c > 0xFF) {
            record.unencodable = true;
            bytes.clear();
            return;
        }
        bytes.push_back(std::uint8_t(c));
    }
    const std::uint64_t stored = bytes.size();
    if (!SizeFits(record, stored)) return;
    bytes.push_back(0);
    record.dataSize = std::uint32_t(stored);
}

}  // namespace

std::optional<std::uint32_t> ValueTypeCode(TextView typeName) {
    for (const std::uint32_t code : kPackageTypes)
        if (EqualsIgnoreAsciiCase(typeName, RegistryTypeName(code))) return code;
    return std::nullopt;
}

void EncodeValueData(PackageRecord& record, TextView field) {
    record.data.clear();
    record.dataSize = 0;
    record.unencodable = false;
    record.number = 0;
    const std::uint32_t code = ValueTypeCode(record.typeName).value_or(0);
    if (const NumberWidth* width = NumberWidthOf(code)) {
        EncodeNumber(record, field, width->digits);
        return;
    }
    switch (code) {
        case kRegMultiSz: EncodeMultiText(record, field); break;
        case kRegBinary: EncodeBinary(record, field); break;
        default: EncodeText(record, field); break;  // unknown names too, though never set
    }
}

TextView ValueTypeName(std::uint32_t code) {
    for (const std::uint32_t named : kPackageTypes)
        if (named == code) return RegistryTypeName(code);
    return TextView();
}

std::optional<ValueToSet> ValueSetBy(const PackageRecord& record) {
    const std::optional<std::uint32_t> code = ValueTypeCode(record.typeName);
    if (record.remove == 1 || !code || record.unencodable) return std::nullopt;
    ValueToSet value;
    value.type = *code;
    if (const NumberWidth* width = NumberWidthOf(*code)) {
        value.isNumber = true;
        for (int i = 0; i < 8; ++i) value.number[i] = std::uint8_t(record.number >> (8 * i));
        value.size = std::uint32_t(width->bytes);
        return value;
    }
    // Never hand out more than the buffer holds.
    value.size = std::uint32_t(std::min<std::uint64_t>(record.dataSize, record.data.size()));
    value.buffer = record.data.empty() ? nullptr : record.data.data();
    return value;
}

ValueWrite WriteRecordValue(Platform& sys, const PackageRecord& record, RegKey key) {
    const auto taken = [](bool done) { return done ? ValueWrite::Taken : ValueWrite::Refused; };
    // A removal deletes whatever the type, even one without a code.
    if (record.remove == 1) return taken(sys.RegDeleteKeyValueW(key, nullptr, record.valueName));
    if (const std::optional<ValueToSet> value = ValueSetBy(record))
        return taken(sys.RegSetValueExW(key, record.valueName, 0, value->type, value->Data(), value->size));
    return ValueWrite::NothingWritten;
}

std::optional<NotSetReason> ValueNotSetBy(const PackageRecord& record) {
    if (record.remove == 1 || record.keyOnly == 1 || ValueSetBy(record)) return std::nullopt;
    return ValueTypeCode(record.typeName) ? NotSetReason::DataNotEncodable : NotSetReason::TypeNotSet;
}

}  // namespace km
