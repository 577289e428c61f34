// Readable text of the in-memory platform's calls and state, for assertion messages.
#include <cstdio>

#include "platform/memory/memory_platform_print.h"
#include "platform/text.h"
#include "platform/value_types.h"

namespace km {

namespace {

std::string Hex(std::uint64_t number) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(number));
    return buffer;
}

std::string HexBytes(const std::uint8_t* data, std::size_t size) {
    std::string text;
    char buffer[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(buffer, sizeof buffer, i ? " %02X" : "%02X", data[i]);
        text += buffer;
    }
    return text;
}

}  // namespace

std::string Quoted(const std::string& bytes) { return Quoted(Widen(bytes)); }

namespace {
constexpr TextView kByLetter = u"\n\r";
}  // namespace

std::string Shown(TextView text) { return DisplayText(text, {{}, kByLetter, true}); }

std::string Quoted(TextView text) { return "\"" + DisplayText(text, {u"\"", kByLetter, true}) + "\""; }

namespace {

// Which arguments each call has, and what its two text arguments are called.
enum Field : unsigned {
    kWhere = 1u << 0,
    kNullableSubKey = 1u << 1,
    kOptions = 1u << 2,
    kSam = 1u << 3,
    kReserved = 1u << 4,
    kType = 1u << 5,
    kAttributes = 1u << 6,
    kDataHex = 1u << 7,
    kDataText = 1u << 8,
    kProcessStart = 1u << 9,
    kProcess = 1u << 10,
    kEnum = 1u << 11,
    kTimeout = 1u << 12,
};

struct CallFormat {
    SeamOp op;
    const char* subKeyLabel;  // null: no such argument
    const char* valueLabel;
    unsigned fields;
};

const CallFormat kCallFormats[] = {
    {SeamOp::RegOpenKeyExW, "subKey", nullptr, kWhere | kOptions | kSam},
    {SeamOp::RegCreateKeyExW, "subKey", nullptr, kWhere | kReserved | kOptions | kSam | kAttributes},
    {SeamOp::RegDeleteTreeW, "subKey", nullptr, kWhere | kNullableSubKey},
    {SeamOp::RegDeleteKeyExW, "subKey", nullptr, kWhere | kSam | kReserved},
    {SeamOp::RegSetValueExW, nullptr, "value", kWhere | kReserved | kType | kDataHex},
    {SeamOp::RegDeleteKeyValueW, "subKey", "value", kWhere | kNullableSubKey},
    {SeamOp::RegQueryInfoKeyW, nullptr, nullptr, kWhere},
    {SeamOp::RegEnumKeyExW, nullptr, nullptr, kWhere | kEnum},
    {SeamOp::RegQueryValueExW, nullptr, "value", kWhere},
    {SeamOp::RegCloseKey, nullptr, nullptr, kWhere},
    {SeamOp::CreateProcessW, "application", "commandLine", kProcessStart},
    {SeamOp::WaitForProcess, nullptr, nullptr, kProcess | kTimeout},
    {SeamOp::CloseProcess, nullptr, nullptr, kProcess},
    {SeamOp::ExpandEnvironmentStringsW, "source", nullptr, 0},
    {SeamOp::GetShortPathNameW, "path", nullptr, 0},
    {SeamOp::ReadWholeFile, "path", nullptr, 0},
    {SeamOp::AppendToFile, "path", nullptr, kDataText},
    {SeamOp::PathExists, "path", nullptr, 0},
    {SeamOp::QueryPolicyValue, "key", "value", 0},
    {SeamOp::QueryPublisherTrust, nullptr, nullptr, kDataHex},
};

// The registry's names of types; others by number.
std::string TypeText(std::uint32_t type) {
    const TextView name = RegistryTypeName(type);
    return !name.empty() ? ToUtf8(name) : "type " + std::to_string(type);
}

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

std::string PlatformCall::ToString() const {
    const CallFormat* format = nullptr;
    for (const auto& candidate : kCallFormats)
        if (op == candidate.op) format = &candidate;
    const unsigned fields = format ? format->fields : 0;

    std::string text = std::string(SeamOpName(op)) + "(";
    std::string separator;
    auto add = [&](const std::string& part) {
        text += separator + part;
        separator = ", ";
    };
    if (fields & kWhere) add(where.empty() ? Hex(key) : where);
    if (fields & kProcess) add("process=" + Hex(key));
    if (format && format->subKeyLabel) {
        if (hasSubKey) add(std::string(format->subKeyLabel) + "=" + Quoted(subKey));
        else if (fields & kNullableSubKey) add(std::string(format->subKeyLabel) + "=null");
    } else if (!format && hasSubKey) {
        add(Quoted(subKey));
    }
    if (format && format->valueLabel) add(std::string(format->valueLabel) + "=" + Quoted(valueName));
    if (fields & kEnum) add("index=" + std::to_string(index) + ", capacity=" + std::to_string(capacity));
    if (fields & kReserved) add("reserved=" + std::to_string(reserved));
    if (fields & kOptions) add("options=" + std::to_string(options));
    if (fields & kSam) add("sam=" + Hex(sam));
    if (fields & kAttributes) {
        if (attributes)
            add("attributes={nLength=" + std::to_string(attributes->nLength) +
                ", descriptor=" + (attributes->hasSecurityDescriptor ? "yes" : "no") +
                ", inherit=" + std::to_string(attributes->bInheritHandle) + "}");
        else
            add("attributes=null");
    }
    if (fields & kType) add("type=" + TypeText(type));
    if (fields & kDataHex) add("data=[" + HexBytes(data.data(), data.size()) + "]");
    if (fields & kDataText) add("bytes=" + Quoted(std::string(data.begin(), data.end())));
    if (fields & kProcessStart)
        add(std::string("inherit=") + (inheritHandles ? "yes" : "no") + ", flags=" + Hex(creationFlags) +
            ", startup={dwFlags=" + Hex(startup.dwFlags) +
            ", wShowWindow=" + std::to_string(startup.wShowWindow) + "}");
    if (fields & kTimeout) add("timeoutMs=" + std::to_string(timeoutMs));
    return text + ") -> " + (succeeded ? "ok" : "FAILED");
}

std::string MemoryPlatform::CallLog() const {
    std::string log;
    for (std::size_t i = 0; i < calls_.size(); ++i)
        log += "#" + std::to_string(i + 1) + " " + calls_[i].ToString() + "\n";
    return log;
}

}  // namespace km
