// Where a read-through in-memory registry reads what it does not hold yet:
// the keys below each root, the hive files that reg.exe loads, and the
// environment. It is only ever read; on Windows it is the machine's registry,
// in tests a snapshot.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace km {

struct StoredValue {
    std::uint32_t type = 0;
    Bytes data;
    bool operator==(const StoredValue& o) const { return type == o.type && data == o.data; }
};

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

class RegistrySource {
public:
    virtual ~RegistrySource() = default;
    // HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE or HKEY_USERS.
    virtual std::shared_ptr<KeySource> Root(RegKey root) = 0;
    // A hive file loaded privately and read only; it stays loaded while the
    // source lives. None, with the reason, when it cannot be loaded so.
    virtual std::shared_ptr<KeySource> LoadHiveFile(const Text& file, std::string* why) = 0;
    virtual Text ExpandEnvironment(const Text& text) = 0;
};

}  // namespace km
