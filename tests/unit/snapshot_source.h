// A machine's registry for a base that reads through, made of an in-memory
// machine: its roots, its hive files (one held as null loads but cannot be
// read) and its environment.
#pragma once

#include <memory>

#include "platform/memory/memory_platform.h"
#include "platform/memory/memory_registry.h"

namespace km {

class SnapshotSource : public RegistrySource {
public:
    explicit SnapshotSource(MemoryPlatform& machine) : machine_(machine) {}

    std::shared_ptr<KeySource> Root(RegKey root) override { return std::make_shared<RootKeys>(machine_, root); }
    std::shared_ptr<KeySource> LoadHiveFile(const Text& file, std::string* why) override {
        const auto found = machine_.hiveFiles.find(file);
        if (found != machine_.hiveFiles.end()) return std::make_shared<HiveKeys>(found->second);
        *why = "no such file";
        return nullptr;
    }
    Text ExpandEnvironment(const Text& text) override {
        Text expanded;
        machine_.ExpandEnvironmentStringsW(text, &expanded);
        return expanded;
    }

private:
    struct RootKeys : KeySource {
        RootKeys(MemoryPlatform& sys, RegKey root) : sys(sys), root(root) {}
        bool ReadKey(const Text& path, KeyContents* contents) override {
            if (!sys.KeyExists(root, path)) return false;
            contents->subkeys = sys.SubkeyNames(root, path);
            for (const Text& name : sys.ValueNames(root, path))
                contents->values.emplace_back(name, *sys.GetValue(root, path, name));
            return true;
        }
        MemoryPlatform& sys;
        RegKey root;
    };
    struct HiveKeys : KeySource {
        explicit HiveKeys(std::shared_ptr<MemoryKey> top) : top(std::move(top)) {}
        bool ReadKey(const Text& path, KeyContents* contents) override {
            std::shared_ptr<MemoryKey> key = top;
            for (const Text& part : MemoryRegistry::SplitPath(path).value_or(std::vector<Text>()))
                if (key) key = key->FindSubkey(part);
            if (!key) return false;
            for (const auto& sub : key->subkeys) contents->subkeys.push_back(sub->name);
            contents->values = key->values;
            return true;
        }
        std::shared_ptr<MemoryKey> top;
    };
    MemoryPlatform& machine_;
};

}  // namespace km
