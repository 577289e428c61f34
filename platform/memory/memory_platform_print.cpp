// Readable text of the in-memory platform's state, for assertion messages.
#include <cstdio>

#include "platform/memory/memory_platform_print.h"
#include "platform/text.h"
#include "platform/value_types.h"

namespace km {

std::string HexBytes(const std::uint8_t* data, std::size_t size) {
    std::string text;
    char buffer[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(buffer, sizeof buffer, i ? " %02X" : "%02X", data[i]);
        text += buffer;
    }
    return text;
}

std::string Quoted(const std::string& bytes) { return Quoted(Widen(bytes)); }

namespace {
constexpr TextView kByLetter = u"\n\r";
}  // namespace

std::string Shown(TextView text) { return DisplayText(text, {{}, kByLetter, true}); }

std::string Quoted(TextView text) { return "\"" + DisplayText(text, {u"\"", kByLetter, true}) + "\""; }

std::string TypeText(std::uint32_t type) {
    const TextView name = RegistryTypeName(type);
    return !name.empty() ? ToUtf8(name) : "type " + std::to_string(type);
}

namespace {

// The units of a string value, terminators shown as \0.
std::string StringData(const Bytes& data) {
    Text units;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2)
        units.push_back(char16_t(data[i] | (data[i + 1] << 8)));
    return DisplayText(units, {{}, TextView(u"\0", 1), true});
}

std::string ValueText(const StoredValue& value) {
    std::string text = TypeText(value.type) + " [" + HexBytes(value.data.data(), value.data.size()) + "]";
    if (value.type == kRegSz || value.type == kRegExpandSz || value.type == kRegMultiSz)
        text += " \"" + StringData(value.data) + "\"";
    return text;
}

}  // namespace

void DumpKey(const MemoryKey& key, int depth, std::string* out) {
    const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
    *out += indent + Shown(key.name) + (key.Fetched() ? "" : " (not read)") + "\n";
    for (const auto& value : key.values)
        *out += indent + "  " + (value.first.empty() ? std::string("(default)") : Quoted(value.first)) +
                " = " + ValueText(value.second) + "\n";
    for (const auto& sub : key.subkeys) DumpKey(*sub, depth + 1, out);
}

}  // namespace km
