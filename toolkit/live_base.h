// A base read from a machine's registry, read only: the profile list, the
// users' hives and the keys that the package's lines touch, nothing else.
// The registry itself comes in through LiveRegistry; on Windows that is the
// machine's (live_base_win32.cpp).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/memory/memory_platform.h"

namespace km::toolkit {

struct KeyContents {
    std::vector<Text> subkeys;
    std::vector<std::pair<Text, StoredValue>> values;
};

// Keys below one top: a root of the registry, or a hive file's top key.
class KeySource {
public:
    virtual ~KeySource() = default;
    // False when the key cannot be opened for reading.
    virtual bool ReadKey(const Text& path, KeyContents* contents) = 0;
};

class LiveRegistry {
public:
    virtual ~LiveRegistry() = default;
    virtual std::unique_ptr<KeySource> Root(RegKey root) = 0;
    // A hive file loaded privately and read only; it stays loaded while the
    // source lives. None, with the reason, when it cannot be loaded so.
    virtual std::unique_ptr<KeySource> LoadHiveFile(const Text& file, std::string* why) = 0;
    virtual Text ExpandEnvironment(const Text& text) = 0;
};

// Fills `base` with what the package's plan reads. Profiles whose hive
// cannot be read are named in `notInspected`, by SID.
void CollectLiveBase(LiveRegistry& registry, std::string_view packageBytes, MemoryPlatform& base,
                     std::map<Text, std::string>* notInspected);

// The machine's registry; defined on Windows only.
std::unique_ptr<LiveRegistry> OpenMachineRegistry();

}  // namespace km::toolkit
