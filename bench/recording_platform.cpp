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

RegistryCall& RecordingPlatform::Add(RegistryOp op, RegKey key) {
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
    RegistryCall& call = Add(RegistryOp::OpenKey, key);
    call.subKey = Wide(subKey);
    call.hasSubKey = true;
    call.options = options;
    call.sam = samDesired;
    const bool ok = Win32Platform::RegOpenKeyExW(key, subKey, options, samDesired, result);
    Opened(call, ok, ok ? *result : 0);
    return ok;
}

bool RecordingPlatform::RegCreateKeyExW(RegKey key, const Text& subKey, std::uint32_t reserved,
                                        std::uint32_t options, std::uint32_t samDesired,
                                        const SecurityAttributes* attributes, RegKey* result) {
    RegistryCall& call = Add(RegistryOp::CreateKey, key);
    call.subKey = Wide(subKey);
    call.hasSubKey = true;
    call.options = options;
    call.sam = samDesired;
    call.hasAttributes = attributes != nullptr;
    call.inheritHandle = attributes ? attributes->bInheritHandle : FALSE;
    const bool ok = Win32Platform::RegCreateKeyExW(key, subKey, reserved, options, samDesired,
                                                   attributes, result);
    Opened(call, ok, ok ? *result : 0);
    return ok;
}

bool RecordingPlatform::RegDeleteTreeW(RegKey key, const Text* subKey) {
    RegistryCall& call = Add(RegistryOp::DeleteTree, key);
    if (subKey) call.subKey = Wide(*subKey);
    call.hasSubKey = subKey != nullptr;
    return Win32Platform::RegDeleteTreeW(key, subKey);
}

bool RecordingPlatform::RegDeleteKeyExW(RegKey key, const Text& subKey, std::uint32_t samDesired,
                                        std::uint32_t reserved) {
    RegistryCall& call = Add(RegistryOp::DeleteKey, key);
    call.subKey = Wide(subKey);
    call.hasSubKey = true;
    call.sam = samDesired;
    return Win32Platform::RegDeleteKeyExW(key, subKey, samDesired, reserved);
}

bool RecordingPlatform::RegSetValueExW(RegKey key, const Text& valueName, std::uint32_t reserved,
                                       std::uint32_t type, const std::uint8_t* data,
                                       std::uint32_t size) {
    RegistryCall& call = Add(RegistryOp::SetValue, key);
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
    return Win32Platform::RegSetValueExW(key, valueName, reserved, type, data, size);
}

bool RecordingPlatform::RegDeleteKeyValueW(RegKey key, const Text* subKey,
                                           const Text& valueName) {
    RegistryCall& call = Add(RegistryOp::DeleteValue, key);
    if (subKey) call.subKey = Wide(*subKey);
    call.hasSubKey = subKey != nullptr;
    call.valueName = Wide(valueName);
    return Win32Platform::RegDeleteKeyValueW(key, subKey, valueName);
}

bool RecordingPlatform::RegQueryInfoKeyW(RegKey key, std::uint32_t* subKeys) {
    ++unrecorded_;
    return Win32Platform::RegQueryInfoKeyW(key, subKeys);
}

bool RecordingPlatform::RegEnumKeyExW(RegKey key, std::uint32_t index,
                                      std::uint32_t nameCapacity, Text* name) {
    ++unrecorded_;
    return Win32Platform::RegEnumKeyExW(key, index, nameCapacity, name);
}

bool RecordingPlatform::RegQueryValueExW(RegKey key, const Text& valueName, std::uint32_t* type,
                                         Bytes* data) {
    ++unrecorded_;
    return Win32Platform::RegQueryValueExW(key, valueName, type, data);
}

bool RecordingPlatform::RegCloseKey(RegKey key) {
    Add(RegistryOp::CloseKey, key);
    open_.erase(key);
    return Win32Platform::RegCloseKey(key);
}

}  // namespace km
