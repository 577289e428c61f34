// A platform that passes every call on to an in-memory platform and notes,
// for each registry call, where it acted and what it changed: the state of
// the keys and values it touched, read just before and just after the call.
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "platform/forwarding_platform.h"
#include "platform/memory/memory_platform.h"

namespace km::toolkit {

struct KeyLocation {
    RegKey root = 0;
    Text path;  // below the root; empty for the root itself
};

enum class EffectKind { CreateKey, DeleteKey, SetValue, DeleteValue };

struct Effect {
    EffectKind kind = EffectKind::CreateKey;
    KeyLocation key;
    Text valueName;
    std::optional<StoredValue> before;  // SetValue, DeleteValue
    std::optional<StoredValue> after;   // SetValue
    bool lost = false;  // gone with a key whose contents were deleted
};

// Whether an effect changes the machine: all but a value set to what it held.
bool ChangesMachine(const Effect& effect);

struct ObservedCall {
    SeamOp op = SeamOp::RegOpenKeyExW;
    std::optional<KeyLocation> key;  // where it acted; none when the path was not one
    std::uint32_t sam = 0;
    bool succeeded = false;
    std::vector<Effect> effects;
};

class ObservedPlatform : public ForwardingPlatform {
public:
    explicit ObservedPlatform(MemoryPlatform& inner) : ForwardingPlatform(inner), memory_(inner) {}

    const std::deque<ObservedCall>& RegistryCalls() const { return calls_; }
    std::deque<ObservedCall> TakeRegistryCalls() { return std::exchange(calls_, {}); }

    bool RegOpenKeyExW(RegKey key, const Text& subKey, std::uint32_t options, std::uint32_t samDesired,
                       RegKey* result) override;
    bool RegCreateKeyExW(RegKey key, const Text& subKey, std::uint32_t reserved, std::uint32_t options,
                         std::uint32_t samDesired, const SecurityAttributes* attributes,
                         RegKey* result) override;
    bool RegDeleteTreeW(RegKey key, const Text* subKey) override;
    bool RegDeleteKeyExW(RegKey key, const Text& subKey, std::uint32_t samDesired,
                         std::uint32_t reserved) override;
    bool RegSetValueExW(RegKey key, const Text& valueName, std::uint32_t reserved, std::uint32_t type,
                        const std::uint8_t* data, std::uint32_t size) override;
    bool RegDeleteKeyValueW(RegKey key, const Text* subKey, const Text& valueName) override;
    bool RegCloseKey(RegKey key) override;

private:
    // The location that `key` and `subKey` name, as the registry splits paths.
    std::optional<KeyLocation> Locate(RegKey key, const Text* subKey) const;
    void Track(RegKey handle, const std::optional<KeyLocation>& at);
    void ListContents(const KeyLocation& at, std::vector<Effect>* out) const;

    MemoryPlatform& memory_;
    std::map<RegKey, KeyLocation> handles_;
    std::deque<ObservedCall> calls_;  // a deque: a pass of a million calls never moves them
};

// "HKEY_LOCAL_MACHINE\SOFTWARE\Vendor".
Text FullPath(const KeyLocation& key);

// The key `name` below `path`, which is empty for a root.
Text ChildPath(const Text& path, TextView name);

// A path below a root as the registry reads it; none when it is no path
// (a leading backslash, an empty part).
std::optional<KeyLocation> NormalizedLocation(RegKey root, const Text& path);

}  // namespace km::toolkit
