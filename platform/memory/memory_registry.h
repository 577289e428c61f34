// The key tree behind the in-memory platform: the three roots, open handles,
// path walking with the 32-bit registry view, deletion and hive mounts.
// It records nothing and injects no faults; MemoryPlatform does that.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/memory/memory_platform.h"

namespace km {

using NameOrder = bool (*)(TextView, TextView);

// Makes `key` and the keys already below it read from `source` at `path`
// and below: what they hold stays, and what the source holds beside it is
// read when it is first looked at.
void ReadBelow(MemoryKey& key, const std::shared_ptr<KeySource>& source, const Text& path);

// Copies `from`'s values and subtree into `to`, each key's subkeys and values
// in `order`; a key not read yet from its source stays so, over that source.
void CopyKeyInto(const MemoryKey& from, MemoryKey& to, NameOrder order);

class MemoryRegistry {
public:
    MemoryRegistry();

    // Where a path leads: the key to start from and the components below it.
    struct Target {
        std::shared_ptr<MemoryKey> start;
        std::vector<Text> parts;
    };

    static bool IsRoot(RegKey key);
    // A root or an open handle; null for anything else (deleted keys included).
    std::shared_ptr<MemoryKey> Resolve(RegKey key) const;
    // The components of a relative path; none for a leading backslash or an
    // empty component. A single trailing backslash is dropped.
    static std::optional<std::vector<Text>> SplitPath(const Text& path);
    // Resolves `key` and `subKey`; with `redirect`, a path that reaches
    // HKLM\SOFTWARE\<name> goes to HKLM\SOFTWARE\WOW6432Node\<name>.
    // As on Windows, HKEY_USERS\<SID>\Software\Classes leads into the user's
    // classes hive, HKEY_USERS\<SID>_Classes, wherever that is present.
    std::optional<Target> Locate(RegKey key, const Text& subKey, bool redirect) const;
    static std::shared_ptr<MemoryKey> Find(const Target& target);
    // Null where the registry would refuse the key (too deep, a name too long).
    static std::shared_ptr<MemoryKey> Create(const Target& target);

    RegKey OpenHandle(std::shared_ptr<MemoryKey> key);
    bool CloseHandle(RegKey handle);
    int HandleCount() const { return static_cast<int>(handles_.size()); }

    // Deletes a key without subkeys; never a root or a hive's top.
    bool DeleteKey(const std::shared_ptr<MemoryKey>& key);
    // Deletes the subkeys and values of `key`, and the key itself unless `keepKey`.
    // Like Windows it is not all or nothing: below a hive top it fails only after
    // the hive's contents went.
    bool DeleteTree(const std::shared_ptr<MemoryKey>& key, bool keepKey);

    // "HKLM\SOFTWARE\Vendor"; "(deleted) name" for a key deleted since.
    std::string PathOf(const MemoryKey& key) const;
    std::string PathOf(RegKey key) const;

    // Hives: a tree attached as HKEY_USERS\<name>, and detached again.
    bool Mount(const Text& name, const Text& file, const std::shared_ptr<MemoryKey>& tree);
    // Fails while a handle is open inside the hive. Hands back the tree and its file.
    bool Unmount(const Text& name, std::shared_ptr<MemoryKey>* tree, Text* file);
    bool IsMountedFile(const Text& file) const;
    const MemoryKey* MountTopByName(const Text& name) const;
    std::vector<Text> MountNames() const;
    std::string MountsText() const;

    const std::shared_ptr<MemoryKey>& Root(RegKey root) const;

private:
    struct Mount_ {
        Text name;
        Text file;
        Text originalName;
        std::shared_ptr<MemoryKey> top;
    };
    static std::vector<Text> PathFromRoot(const MemoryKey* key, const MemoryKey** root);
    Target FollowClassesLink(Target target) const;
    bool IsMountTop(const MemoryKey* key) const;
    bool Deletable(const MemoryKey& key) const;
    bool IsInside(const MemoryKey* key, const MemoryKey* top) const;

    std::shared_ptr<MemoryKey> classesRoot_, machine_, users_;
    std::map<RegKey, std::shared_ptr<MemoryKey>> handles_;
    RegKey nextHandle_ = 0x1000;
    std::vector<Mount_> mounts_;
};

}  // namespace km
