// The seam calls as text: each call's arguments, labelled, in one line.
#include "tests/support/platform_call.h"

#include <cstdio>

#include "platform/memory/memory_platform_print.h"

namespace km {

namespace {

std::string Hex(std::uint64_t number) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(number));
    return buffer;
}

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

}  // namespace

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

}  // namespace km
