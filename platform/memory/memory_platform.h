// The registry model of the tools' plans and of the tests: keymason-check's
// plan and keymason-pack's undo run the real update pass over it, and the
// tests run the engine on it. A real little registry with handles, views and
// loadable hives, plus files, clock, environment and processes, all of which
// can be seeded and inspected. Its state prints itself so assertion messages
// show what the registry held. A machine policy is read from its own
// HKEY_LOCAL_MACHINE, as Windows reads it; it knows no signature: asked, it
// answers that there is none.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/memory/key_source.h"
#include "platform/memory/name_index.h"
#include "platform/platform.h"

namespace km {

// A registry key tree, used both inside the registry and as a hive file.
struct MemoryKey {
    Text name;
    std::vector<std::shared_ptr<MemoryKey>> subkeys;  // creation order
    std::vector<std::pair<Text, StoredValue>> values;  // creation order
    bool deleted = false;
    MemoryKey* parent = nullptr;  // none at a root or a hive's top
    // A key of a read-through registry that is not read yet: its subkeys and
    // values come from `source` at `sourcePath` the first time anything looks
    // at them. Null once read, and for a key made here.
    std::shared_ptr<KeySource> source;
    Text sourcePath;
    // Reads the key from its source, once; its subkeys come as keys not read
    // yet. A key the source cannot read stays empty, and false is returned.
    bool Fetch() const;
    bool Fetched() const { return !source; }
    // Names compare as the registry compares them (registry_case.h); a key
    // of many subkeys is searched through an index.
    std::shared_ptr<MemoryKey> FindSubkey(TextView name) const;
    const StoredValue* FindValue(TextView name) const;
    // The slot of the value of that name, or null; a key
    // of many values is searched through an index, so that filling one key is
    // not quadratic.
    std::pair<Text, StoredValue>* FindValueSlot(TextView name) const;
    // Sets the value of that name, or adds it.
    void SetNamedValue(Text name, StoredValue value);
    // To be called after `values` or `subkeys` lost entries (erased,
    // cleared): appending is noticed by itself.
    void ValuesChanged() const;
    void SubkeysChanged() const;

private:
    mutable NameIndex valueIndex_;
    mutable std::size_t indexed_ = 0;  // slots below this are in the index
    mutable NameIndex subkeyIndex_;
    mutable std::size_t subkeysIndexed_ = 0;
};

// A started process, as the in-memory platform saw it.
struct StartedProcess {
    Text applicationName;
    Text commandLine;
    bool exited = false;
};

class MemoryPlatform : public Platform {
public:
    MemoryPlatform();
    ~MemoryPlatform() override;

    // ---- Configuration, all public so tests set them directly. ----
    // Models a 32-bit process on 64-bit Windows: without KEY_WOW64_64KEY,
    // HKLM\SOFTWARE\X is HKLM\SOFTWARE\WOW6432Node\X.
    bool wow64Redirection = true;
    LocalTime clock{2024, 3, 5, 9, 7, 2};
    std::map<std::string, Text> environment;        // name (ASCII case ignored on lookup) -> value
    std::optional<std::uint64_t> ownVersion = 0x0001000000000002ull;  // none: unreadable
    std::map<Text, std::string> files;              // full path -> bytes
    std::set<Text> folders;                         // folders that exist
    std::set<Text> unreadableFiles;                 // exist, but cannot be opened
    std::set<Text> lockedFiles;                     // exist, cannot be opened or appended to
    std::map<Text, std::size_t> readErrorAfter;     // read fails after this many bytes
    std::map<Text, Text> shortPaths;                // long path -> its 8.3 form
    Text systemDirectory = u"C:\\windows\\system32";
    // Hive files that reg.exe can load, by file path (ASCII case ignored).
    std::map<Text, std::shared_ptr<MemoryKey>> hiveFiles;
    // Hive files reg.exe could not load from the source, by the file as the
    // command named it, with why.
    std::map<Text, std::string> unloadableHiveFiles;
    bool regExeActs = true;                         // started reg.exe loads and unloads hives
    std::set<Text> hangingCommands;                 // command lines whose wait times out

    // ---- Reading through to a source ----
    // From here on the three roots, the hive files that reg.exe loads and
    // hiveFiles lacks, and the environment come from `source`, each key read
    // the first time it is reached. The source is never written: writes and
    // removals act on what was read.
    void ReadThrough(std::shared_ptr<RegistrySource> source);
    // Whether root\path exists and was read; a key made here counts as read.
    bool IsRead(RegKey root, const Text& path) const;
    // The registry, the hive files and the source, into `to`, a fresh
    // platform: a key not read yet stays so, over the same source. Subkeys
    // and values are copied in `order`.
    void CopyRegistryTo(MemoryPlatform& to, bool (*order)(TextView, TextView)) const;

    // ---- Seeding and inspection, without views. ----
    // Paths are below the root, without a leading backslash.
    // The key made (or there already); null where the registry would refuse it.
    std::shared_ptr<MemoryKey> CreateKey(RegKey root, const Text& path);
    // The key goes with its tree; handles held to it then see it deleted.
    void DeleteKey(RegKey root, const Text& path);
    void SetValue(RegKey root, const Text& path, const Text& name, std::uint32_t type,
                  const Bytes& data);
    bool KeyExists(RegKey root, const Text& path) const;
    std::optional<StoredValue> GetValue(RegKey root, const Text& path, const Text& name) const;
    std::vector<Text> SubkeyNames(RegKey root, const Text& path) const;
    std::vector<Text> ValueNames(RegKey root, const Text& path) const;
    // `path` with each part that exists spelled as stored (a key keeps the
    // letter case it was made with); the parts below the last existing key
    // as given.
    Text StoredPath(RegKey root, const Text& path) const;
    // The key's own name as stored (empty for a root); none where there is no such key.
    std::optional<Text> StoredName(RegKey root, const Text& path) const;
    // The value with its name as stored, or none where there is no such value.
    std::optional<std::pair<Text, StoredValue>> GetNamedValue(RegKey root, const Text& path, const Text& name) const;
    // The key itself, read from its source, for walking a whole tree; null where there is none.
    std::shared_ptr<const MemoryKey> FindKey(RegKey root, const Text& path) const;
    // The top key of a mounted hive's tree, found by its name below HKEY_USERS.
    bool IsMounted(const Text& name) const;
    std::vector<Text> MountedHives() const;  // names below HKEY_USERS that came from hive files

    // The key a root or an open handle stands for; null for anything else.
    std::shared_ptr<const MemoryKey> HandleKey(RegKey key) const;
    // The full path of the key a handle or root stands for, e.g.
    // "HKLM\SOFTWARE"; "" where it stands for none.
    std::string HandlePath(RegKey key) const;

    int OpenHandleCount() const;
    int OpenProcessCount() const;
    const std::vector<StartedProcess>& Processes() const { return processes_; }
    std::string Dump() const;      // the whole registry, the files and the mounts

    // ---- Platform ----
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
    bool CreateProcessW(const Text& applicationName, const Text& commandLine,
                        bool inheritHandles, std::uint32_t creationFlags,
                        const StartupInfo& startup, ProcessHandle* process) override;
    WaitResult WaitForProcess(ProcessHandle process, std::uint32_t timeoutMs) override;
    void CloseProcess(ProcessHandle process) override;
    Text GetSystemDirectoryW() override;
    LocalTime GetLocalTime() override;
    bool ExpandEnvironmentStringsW(const Text& source, Text* expanded) override;
    bool GetShortPathNameW(const Text& longPath, Text* shortPath) override;
    FileContents ReadWholeFile(const Text& path, std::uint64_t limit) override;
    bool AppendToFile(const Text& path, std::string_view bytes) override;
    bool PathExists(const Text& path) override;
    std::optional<std::uint64_t> GetOwnFileVersion() override;
    PolicyValue QueryPolicyValue(const Text& keyPath, const Text& valueName) override;
    SignatureFacts InspectDetachedSignature(std::string_view content, std::string_view signature,
                                            std::uint32_t certificateLimit) override;
    PublisherTrust QueryPublisherTrust(const Bytes& signer, const std::vector<Bytes>& certificates) override;

private:
    bool Redirects(std::uint32_t samDesired) const;
    void ActAsRegExe(const Text& commandLine);
    std::map<Text, std::shared_ptr<MemoryKey>>::iterator HiveFromSource(const Text& file);

    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::vector<StartedProcess> processes_;
};

}  // namespace km
