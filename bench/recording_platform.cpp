#include "bench/recording_platform.h"

namespace km {

namespace {

std::wstring Wide(const Text& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

int RecordingPlatform::SlotOf(RegKey key) {
    if (key == kHkeyClassesRoot) return kClassesRootSlot;
    if (key == kHkeyLocalMachine) return kLocalMachineSlot;
    if (key == kHkeyUsers) return kUsersSlot;
    const auto found = open_.find(key);
    if (found != open_.end()) return found->second;
    ++unrecorded_;  // a handle the script never saw opened cannot be replayed
    return kUsersSlot;
}

RegistryCall& RecordingPlatform::Add(SeamOp op, RegKey key) {
    RegistryCall call;
    call.op = op;
    call.key = SlotOf(key);
    script_.calls.push_back(std::move(call));
    return script_.calls.back();
}

void RecordingPlatform::Opened(RegistryCall& call, bool succeeded, RegKey key) {
    call.result = script_.slots++;
    if (succeeded) open_[key] = call.result;
}

bool RecordingPlatform::RegOpenKeyExW(RegKey key, const Text& subKey, std::uint32_t options,
                                      std::uint32_t samDesired, RegKey* result) {
    RegistryCall& call = Add(SeamOp::RegOpenKeyExW, key);
    call.subKey = Wide(subKey);
    call.hasSubKey = true;
    call.options = options;
    call.sam = samDesired;
    const bool ok = ForwardingPlatform::RegOpenKeyExW(key, subKey, options, samDesired, result);
    Opened(call, ok, ok ? *result : 0);
    return ok;
}

bool RecordingPlatform::RegCreateKeyExW(RegKey key, const Text& subKey, std::uint32_t reserved,
                                        std::uint32_t options, std::uint32_t samDesired,
                                        const SecurityAttributes* attributes, RegKey* result) {
    RegistryCall& call = Add(SeamOp::RegCreateKeyExW, key);
    call.subKey = Wide(subKey);
    call.hasSubKey = true;
    call.options = options;
    call.sam = samDesired;
    call.hasAttributes = attributes != nullptr;
    call.inheritHandle = attributes ? attributes->bInheritHandle : FALSE;
    const bool ok = ForwardingPlatform::RegCreateKeyExW(key, subKey, reserved, options, samDesired,
                                                   attributes, result);
    Opened(call, ok, ok ? *result : 0);
    return ok;
}

bool RecordingPlatform::RegDeleteTreeW(RegKey key, const Text* subKey) {
    RegistryCall& call = Add(SeamOp::RegDeleteTreeW, key);
    if (subKey) call.subKey = Wide(*subKey);
    call.hasSubKey = subKey != nullptr;
    return ForwardingPlatform::RegDeleteTreeW(key, subKey);
}

bool RecordingPlatform::RegDeleteKeyExW(RegKey key, const Text& subKey, std::uint32_t samDesired,
                                        std::uint32_t reserved) {
    RegistryCall& call = Add(SeamOp::RegDeleteKeyExW, key);
    call.subKey = Wide(subKey);
    call.hasSubKey = true;
    call.sam = samDesired;
    return ForwardingPlatform::RegDeleteKeyExW(key, subKey, samDesired, reserved);
}

bool RecordingPlatform::RegSetValueExW(RegKey key, const Text& valueName, std::uint32_t reserved,
                                       std::uint32_t type, const std::uint8_t* data,
                                       std::uint32_t size) {
    RegistryCall& call = Add(SeamOp::RegSetValueExW, key);
    call.valueName = Wide(valueName);
    call.type = type;
    call.hasData = data != nullptr;
    call.size = size;
    if (data) {
        call.data.assign(data, data + size);
        // The engine ends every text buffer with a 16-bit zero, inside the size
        // (REG_SZ) or just after it (REG_MULTI_SZ).
        const bool text = type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
        if (text && size >= 2 && (data[size - 2] | data[size - 1]) != 0)
            call.data.insert(call.data.end(), data + size, data + size + 2);
    }
    return ForwardingPlatform::RegSetValueExW(key, valueName, reserved, type, data, size);
}

bool RecordingPlatform::RegDeleteKeyValueW(RegKey key, const Text* subKey,
                                           const Text& valueName) {
    RegistryCall& call = Add(SeamOp::RegDeleteKeyValueW, key);
    if (subKey) call.subKey = Wide(*subKey);
    call.hasSubKey = subKey != nullptr;
    call.valueName = Wide(valueName);
    return ForwardingPlatform::RegDeleteKeyValueW(key, subKey, valueName);
}

bool RecordingPlatform::RegQueryInfoKeyW(RegKey key, std::uint32_t* subKeys) {
    ++unrecorded_;
    return ForwardingPlatform::RegQueryInfoKeyW(key, subKeys);
}

bool RecordingPlatform::RegEnumKeyExW(RegKey key, std::uint32_t index,
                                      std::uint32_t nameCapacity, Text* name) {
    ++unrecorded_;
    return ForwardingPlatform::RegEnumKeyExW(key, index, nameCapacity, name);
}

bool RecordingPlatform::RegQueryValueExW(RegKey key, const Text& valueName, std::uint32_t* type,
                                         Bytes* data) {
    ++unrecorded_;
    return ForwardingPlatform::RegQueryValueExW(key, valueName, type, data);
}

bool RecordingPlatform::RegCloseKey(RegKey key) {
    Add(SeamOp::RegCloseKey, key);
    open_.erase(key);
    return ForwardingPlatform::RegCloseKey(key);
}

}  // namespace km
