// The Win32 platform that also writes down the registry calls it makes, so
// the floor can make exactly the same ones.
#pragma once

#include <map>

#include "bench/registry_replay.h"
#include "platform/forwarding_platform.h"
#include "platform/win32/win32_platform.h"

namespace km {

class RecordingPlatform : public ForwardingPlatform {
public:
    RecordingPlatform() : ForwardingPlatform(system_) {}

    const CallScript& Script() const { return script_; }
    // Calls the script cannot hold: reads, enumerations, unknown handles.
    int Unrecorded() const { return unrecorded_; }

    bool RegOpenKeyExW(RegKey key, const Text& subKey, std::uint32_t options,
                       std::uint32_t samDesired, RegKey* result) override;
    bool RegCreateKeyExW(RegKey key, const Text& subKey, std::uint32_t reserved,
                         std::uint32_t options, std::uint32_t samDesired,
                         const SecurityAttributes* attributes, RegKey* result) override;
    bool RegDeleteTreeW(RegKey key, const Text* subKey) override;
    bool RegDeleteKeyExW(RegKey key, const Text& subKey, std::uint32_t samDesired,
                         std::uint32_t reserved) override;
    bool RegSetValueExW(RegKey key, const Text& valueName, std::uint32_t reserved,
                        std::uint32_t type, const std::uint8_t* data,
                        std::uint32_t size) override;
    bool RegDeleteKeyValueW(RegKey key, const Text* subKey, const Text& valueName) override;
    bool RegQueryInfoKeyW(RegKey key, std::uint32_t* subKeys) override;
    bool RegEnumKeyExW(RegKey key, std::uint32_t index, std::uint32_t nameCapacity,
                       Text* name) override;
    bool RegQueryValueExW(RegKey key, const Text& valueName, std::uint32_t* type,
                          Bytes* data) override;
    bool RegCloseKey(RegKey key) override;

private:
    RegistryCall& Add(SeamOp op, RegKey key);
    int SlotOf(RegKey key);
    void Opened(RegistryCall& call, bool succeeded, RegKey key);

    Win32Platform system_;  // constructed after the base, which only keeps the reference
    CallScript script_;
    std::map<RegKey, int> open_;  // handles open now, by the slot that holds them
    int unrecorded_ = 0;
};

}  // namespace km
