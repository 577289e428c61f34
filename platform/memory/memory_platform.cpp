#include "platform/memory/memory_platform.h"

#include <algorithm>
#include <string_view>

#include "platform/memory/memory_platform_print.h"
#include "platform/memory/memory_reg_exe.h"
#include "platform/memory/memory_registry.h"
#include "platform/registry_limits.h"
#include "platform/text.h"
#include "platform/registry_case.h"

namespace km {

struct MemoryPlatform::Impl {
    MemoryRegistry registry;
    std::shared_ptr<RegistrySource> source;  // what is not read yet; none: nothing more to read

    std::map<ProcessHandle, std::size_t> processes;  // open handle -> index in processes_
    ProcessHandle nextProcess = 0x2000;
};

namespace {

bool EndsWithIgnoreAsciiCase(TextView text, TextView tail) {
    return text.size() >= tail.size() &&
           EqualsIgnoreAsciiCase(text.substr(text.size() - tail.size()), tail);
}

// File paths compare as Windows compares them: exact first, then ASCII case folded.
const Text& PathKey(const Text& key) { return key; }
template <class V>
const Text& PathKey(const std::pair<const Text, V>& entry) { return entry.first; }

template <class Container>
auto FindPath(Container& container, const Text& path) -> decltype(container.begin()) {
    auto exact = container.find(path);
    if (exact != container.end()) return exact;
    return std::find_if(container.begin(), container.end(), [&](const auto& entry) {
        return EqualsIgnoreAsciiCase(PathKey(entry), path);
    });
}

template <class Container>
bool HasPath(const Container& container, const Text& path) {
    return FindPath(container, path) != container.end();
}

// The path Windows opens for one typed: trailing dots and blanks dropped from
// its last part, an 8.3 form read as the long path it stands for.
Text OpenedPath(const std::map<Text, Text>& shortPaths, Text path) {
    const std::size_t last = path.rfind(u'\\') + 1;  // npos + 1 is 0
    const std::size_t kept = path.find_last_not_of(u". ");
    const bool literal = path.compare(0, 4, u"\\\\?\\") == 0;  // \\?\ paths are taken as written
    if (!literal && kept != Text::npos && kept >= last) path.resize(kept + 1);  // "." and ".." stay
    for (const auto& [longPath, shortPath] : shortPaths)
        if (EqualsIgnoreAsciiCase(shortPath, path)) return longPath;
    return path;
}

}  // namespace

MemoryPlatform::MemoryPlatform() : impl_(std::make_unique<Impl>()) {}
MemoryPlatform::~MemoryPlatform() = default;

bool MemoryPlatform::Redirects(std::uint32_t samDesired) const {
    return wow64Redirection && (samDesired & kKeyWow64_64Key) == 0;
}

// ---- Seeding and inspection ----

std::shared_ptr<MemoryKey> MemoryPlatform::CreateKey(RegKey root, const Text& path) {
    const auto target = impl_->registry.Locate(root, path, false);
    return target ? MemoryRegistry::Create(*target) : nullptr;
}

void MemoryPlatform::DeleteKey(RegKey root, const Text& path) {
    auto target = impl_->registry.Locate(root, path, false);
    if (auto found = target ? MemoryRegistry::Find(*target) : nullptr) impl_->registry.DeleteTree(found, false);
}

void MemoryPlatform::SetValue(RegKey root, const Text& path, const Text& name, std::uint32_t type,
                              const Bytes& data) {
    auto target = impl_->registry.Locate(root, path, false);
    if (!target || name.size() > kMaxValueNameLength) return;
    if (auto key = MemoryRegistry::Create(*target)) key->SetNamedValue(name, StoredValue{type, data});
}

namespace {
std::shared_ptr<MemoryKey> Lookup(const MemoryRegistry& registry, RegKey root, const Text& path) {
    auto target = registry.Locate(root, path, false);
    return target ? MemoryRegistry::Find(*target) : nullptr;
}
// The key with its contents read from the source, if they were not yet.
std::shared_ptr<MemoryKey> ReadKey(const MemoryRegistry& registry, RegKey root, const Text& path) {
    auto key = Lookup(registry, root, path);
    if (key) key->Fetch();
    return key;
}
}  // namespace

bool MemoryPlatform::KeyExists(RegKey root, const Text& path) const {
    return Lookup(impl_->registry, root, path) != nullptr;
}

std::optional<StoredValue> MemoryPlatform::GetValue(RegKey root, const Text& path,
                                                    const Text& name) const {
    auto key = Lookup(impl_->registry, root, path);
    if (!key) return std::nullopt;
    const StoredValue* value = key->FindValue(name);
    if (!value) return std::nullopt;
    return *value;
}

std::vector<Text> MemoryPlatform::SubkeyNames(RegKey root, const Text& path) const {
    std::vector<Text> names;
    if (auto key = ReadKey(impl_->registry, root, path))
        for (const auto& sub : key->subkeys) names.push_back(sub->name);
    return names;
}

std::optional<Text> MemoryPlatform::StoredName(RegKey root, const Text& path) const {
    const auto key = Lookup(impl_->registry, root, path);
    if (!key) return std::nullopt;
    return path.empty() ? Text() : key->name;
}

Text MemoryPlatform::StoredPath(RegKey root, const Text& path) const {
    Text out;
    bool existing = true;
    for (std::size_t begin = 0; begin < path.size();) {
        const std::size_t cut = std::min(path.find(u'\\', begin), path.size());
        Text part = path.substr(begin, cut - begin);
        const Text next = out.empty() ? part : out + u"\\" + part;
        if (existing) {
            if (auto key = Lookup(impl_->registry, root, next)) part = key->name;
            else existing = false;
        }
        out = out.empty() ? part : out + u"\\" + part;
        begin = cut + 1;
    }
    return out;
}

std::optional<std::pair<Text, StoredValue>> MemoryPlatform::GetNamedValue(RegKey root, const Text& path,
                                                                          const Text& name) const {
    auto key = Lookup(impl_->registry, root, path);
    if (!key) return std::nullopt;
    const auto* slot = key->FindValueSlot(name);
    if (!slot) return std::nullopt;
    return *slot;
}

std::shared_ptr<const MemoryKey> MemoryPlatform::FindKey(RegKey root, const Text& path) const {
    return ReadKey(impl_->registry, root, path);
}

std::vector<Text> MemoryPlatform::ValueNames(RegKey root, const Text& path) const {
    std::vector<Text> names;
    if (auto key = ReadKey(impl_->registry, root, path))
        for (const auto& value : key->values) names.push_back(value.first);
    return names;
}

bool MemoryPlatform::IsRead(RegKey root, const Text& path) const {
    auto key = Lookup(impl_->registry, root, path);
    return key && key->Fetched();
}

void MemoryPlatform::ReadThrough(std::shared_ptr<RegistrySource> source) {
    // HKEY_CLASSES_ROOT is a key below HKEY_LOCAL_MACHINE here, and read as one.
    for (const RegKey root : {kHkeyLocalMachine, kHkeyUsers})
        ReadBelow(*impl_->registry.Root(root), source->Root(root), Text());
    impl_->source = std::move(source);
}

void MemoryPlatform::CopyRegistryTo(MemoryPlatform& to, NameOrder order) const {
    for (const RegKey root : {kHkeyLocalMachine, kHkeyUsers})  // HKEY_CLASSES_ROOT lies below HKLM
        CopyKeyInto(*impl_->registry.Root(root), *to.impl_->registry.Root(root), order);
    for (const auto& [file, tree] : hiveFiles) {
        if (!tree) continue;
        auto copy = std::make_shared<MemoryKey>();
        copy->name = tree->name;
        CopyKeyInto(*tree, *copy, order);
        to.hiveFiles[file] = std::move(copy);
    }
    to.unloadableHiveFiles = unloadableHiveFiles;
    to.impl_->source = impl_->source;
}

bool MemoryPlatform::IsMounted(const Text& name) const {
    return impl_->registry.MountTopByName(name) != nullptr;
}

std::vector<Text> MemoryPlatform::MountedHives() const { return impl_->registry.MountNames(); }

std::shared_ptr<const MemoryKey> MemoryPlatform::HandleKey(RegKey key) const { return impl_->registry.Resolve(key); }

std::string MemoryPlatform::HandlePath(RegKey key) const { return impl_->registry.PathOf(key); }

int MemoryPlatform::OpenHandleCount() const { return impl_->registry.HandleCount(); }

int MemoryPlatform::OpenProcessCount() const { return static_cast<int>(impl_->processes.size()); }

// ---- Registry ----

namespace {
// Only loaded hives hang directly below HKEY_USERS: a write below a hive that
// is not loaded must fail, not make a key of that name.
bool CreatesBelowHkeyUsers(const MemoryRegistry& registry, const MemoryRegistry::Target& target) {
    return target.start == registry.Root(kHkeyUsers) && !target.parts.empty() &&
           !target.start->FindSubkey(target.parts.front());
}
}  // namespace

bool MemoryPlatform::RegOpenKeyExW(RegKey key, const Text& subKey, std::uint32_t /*options*/,
                                   std::uint32_t samDesired, RegKey* result) {
    if (result) *result = 0;
    auto target = impl_->registry.Locate(key, subKey, Redirects(samDesired));
    auto found = target ? MemoryRegistry::Find(*target) : nullptr;
    if (!found || !result) return false;
    *result = impl_->registry.OpenHandle(found);
    return true;
}

bool MemoryPlatform::RegCreateKeyExW(RegKey key, const Text& subKey, std::uint32_t /*reserved*/,
                                     std::uint32_t /*options*/, std::uint32_t samDesired,
                                     const SecurityAttributes* /*attributes*/, RegKey* result) {
    if (result) *result = 0;
    auto target = impl_->registry.Locate(key, subKey, Redirects(samDesired));
    if (!target || !result || CreatesBelowHkeyUsers(impl_->registry, *target)) return false;
    auto created = MemoryRegistry::Create(*target);
    if (!created) return false;  // deeper or longer than the registry holds
    *result = impl_->registry.OpenHandle(std::move(created));
    return true;
}

bool MemoryPlatform::RegDeleteTreeW(RegKey key, const Text* subKey) {
    auto& registry = impl_->registry;
    if (!subKey) {
        auto start = registry.Resolve(key);
        return start && registry.DeleteTree(start, true);
    }
    // No view argument: it acts as a 32-bit process does.
    auto target = registry.Locate(key, *subKey, wow64Redirection);
    auto found = target ? MemoryRegistry::Find(*target) : nullptr;
    return found && registry.DeleteTree(found, false);
}

bool MemoryPlatform::RegDeleteKeyExW(RegKey key, const Text& subKey, std::uint32_t samDesired,
                                     std::uint32_t /*reserved*/) {
    auto target = impl_->registry.Locate(key, subKey, Redirects(samDesired));
    auto found = target ? MemoryRegistry::Find(*target) : nullptr;
    return found && impl_->registry.DeleteKey(found);
}

bool MemoryPlatform::RegSetValueExW(RegKey key, const Text& valueName, std::uint32_t /*reserved*/,
                                    std::uint32_t type, const std::uint8_t* data,
                                    std::uint32_t size) {
    auto target = impl_->registry.Resolve(key);
    if (!target || (!data && size != 0) || valueName.size() > kMaxValueNameLength) return false;
    target->SetNamedValue(valueName, StoredValue{type, data ? Bytes(data, data + size) : Bytes()});
    return true;
}

bool MemoryPlatform::RegDeleteKeyValueW(RegKey key, const Text* subKey, const Text& valueName) {
    // Like RegDeleteTreeW it takes no view and acts as a 32-bit process does.
    auto target = impl_->registry.Locate(key, subKey ? *subKey : Text(),
                                         subKey && wow64Redirection);
    auto found = target ? MemoryRegistry::Find(*target) : nullptr;
    if (!found) return false;
    found->Fetch();
    auto& values = found->values;
    auto value = std::find_if(values.begin(), values.end(), [&](const auto& v) {
        return SameRegistryName(v.first, valueName);
    });
    if (value == values.end()) return false;
    values.erase(value);
    found->ValuesChanged();
    return true;
}

bool MemoryPlatform::RegQueryInfoKeyW(RegKey key, std::uint32_t* subKeys) {
    auto found = impl_->registry.Resolve(key);
    if (!found) return false;
    found->Fetch();
    if (subKeys) *subKeys = static_cast<std::uint32_t>(found->subkeys.size());
    return true;
}

bool MemoryPlatform::RegEnumKeyExW(RegKey key, std::uint32_t index, std::uint32_t nameCapacity,
                                   Text* name) {
    auto found = impl_->registry.Resolve(key);
    if (!found || !name) return false;
    found->Fetch();
    if (index >= found->subkeys.size()) return false;
    const Text& subName = found->subkeys[index]->name;
    if (subName.size() + 1 > nameCapacity) return false;
    *name = subName;
    return true;
}

bool MemoryPlatform::RegQueryValueExW(RegKey key, const Text& valueName, std::uint32_t* type,
                                      Bytes* data) {
    auto found = impl_->registry.Resolve(key);
    const StoredValue* value = found ? found->FindValue(valueName) : nullptr;
    if (!value) return false;
    if (type) *type = value->type;
    if (data) *data = value->data;
    return true;
}

bool MemoryPlatform::RegCloseKey(RegKey key) {
    if (key == 0 || MemoryRegistry::IsRoot(key)) return true;
    return impl_->registry.CloseHandle(key);
}

// ---- Processes ----

// The hive file from the source, read through like the roots, and kept
// among the hive files; where it cannot be loaded, why is kept instead.
std::map<Text, std::shared_ptr<MemoryKey>>::iterator MemoryPlatform::HiveFromSource(const Text& file) {
    std::string why;
    if (auto hive = impl_->source->LoadHiveFile(impl_->source->ExpandEnvironment(file), &why)) {
        auto top = std::make_shared<MemoryKey>();
        top->name = file;
        top->source = std::move(hive);
        // A load that succeeds but leaves the hive unreadable (Wine's, for
        // one) would pass for an empty hive, and what is planned on it would
        // be wrong.
        if (top->Fetch()) return hiveFiles.emplace(file, std::move(top)).first;
        why = "loaded, but its keys cannot be read";
    }
    unloadableHiveFiles[file] = why;
    return hiveFiles.end();
}

void MemoryPlatform::ActAsRegExe(const Text& commandLine) {
    const auto command = ParseRegExeCommand(commandLine);
    if (!command) return;
    auto& registry = impl_->registry;
    if (command->verb == RegExeCommand::Verb::Load) {
        auto file = FindPath(hiveFiles, command->file);
        if (file == hiveFiles.end() && impl_->source) file = HiveFromSource(command->file);
        if (file != hiveFiles.end()) registry.Mount(command->mountName, file->first, file->second);
        return;
    }
    std::shared_ptr<MemoryKey> tree;
    Text file;
    if (registry.Unmount(command->mountName, &tree, &file)) hiveFiles[file] = tree;
}

bool MemoryPlatform::CreateProcessW(const Text& applicationName, const Text& commandLine,
                                    bool /*inheritHandles*/, std::uint32_t /*creationFlags*/,
                                    const StartupInfo& /*startup*/, ProcessHandle* process) {
    if (process) *process = 0;
    if (!process) return false;
    processes_.push_back(StartedProcess{applicationName, commandLine, false});
    *process = impl_->nextProcess++;
    impl_->processes.emplace(*process, processes_.size() - 1);
    if (regExeActs && EndsWithIgnoreAsciiCase(applicationName, u"\\reg.exe"))
        ActAsRegExe(commandLine);
    return true;
}

WaitResult MemoryPlatform::WaitForProcess(ProcessHandle process, std::uint32_t /*timeoutMs: it never waits*/) {
    auto found = impl_->processes.find(process);
    if (found == impl_->processes.end()) return WaitResult::Failed;
    StartedProcess& started = processes_[found->second];
    if (hangingCommands.count(started.commandLine)) return WaitResult::TimedOut;
    started.exited = true;
    return WaitResult::Exited;
}

void MemoryPlatform::CloseProcess(ProcessHandle process) { impl_->processes.erase(process); }

Text MemoryPlatform::GetSystemDirectoryW() { return systemDirectory; }

// ---- Clock, environment ----

LocalTime MemoryPlatform::GetLocalTime() { return clock; }

namespace {

const Text* FindVariable(const std::map<std::string, Text>& environment, TextView name) {
    const std::string wanted = ToUtf8(name);
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; };
    for (const auto& entry : environment) {
        const std::string& key = entry.first;
        if (key.size() == wanted.size() &&
            std::equal(key.begin(), key.end(), wanted.begin(),
                       [&](char a, char b) { return fold(a) == fold(b); }))
            return &entry.second;
    }
    return nullptr;
}

// As Windows expands: an unknown %NAME% keeps its text, and its closing %
// may open the next name; a % without a partner stays as it is.
Text Expand(const std::map<std::string, Text>& environment, TextView source) {
    Text out;
    std::size_t at = 0;
    while (at < source.size()) {
        if (source[at] != u'%') {
            out.push_back(source[at++]);
            continue;
        }
        const auto close = source.find(u'%', at + 1);
        if (close == TextView::npos) {
            out.append(source.substr(at));
            break;
        }
        const TextView name = source.substr(at + 1, close - at - 1);
        const Text* value = name.empty() ? nullptr : FindVariable(environment, name);
        if (value) {
            out += *value;
            at = close + 1;
        } else {
            out.push_back(u'%');
            out.append(name);
            at = close;
        }
    }
    return out;
}

}  // namespace

bool MemoryPlatform::ExpandEnvironmentStringsW(const Text& source, Text* expanded) {
    if (!expanded) return false;
    *expanded = impl_->source ? impl_->source->ExpandEnvironment(source) : Expand(environment, source);
    return true;
}

bool MemoryPlatform::GetShortPathNameW(const Text& longPath, Text* shortPath) {
    if (!shortPath || !(HasPath(folders, longPath) || HasPath(files, longPath))) return false;
    auto mapped = FindPath(shortPaths, longPath);
    *shortPath = mapped != shortPaths.end() ? mapped->second : longPath;
    return true;
}

// ---- Files ----

FileContents MemoryPlatform::ReadWholeFile(const Text& typed, std::uint64_t limit) {
    FileContents contents;
    const Text path = OpenedPath(shortPaths, typed);
    if (HasPath(folders, path) || HasPath(unreadableFiles, path) || HasPath(lockedFiles, path))
        return contents;
    auto file = FindPath(files, path);
    if (file == files.end()) return contents;
    if (file->second.size() > limit) {
        contents.status = FileReadStatus::TooLarge;
        return contents;
    }
    contents.finalPath = file->first;  // the name as the file holds it
    auto cut = FindPath(readErrorAfter, path);
    const bool whole = cut == readErrorAfter.end();
    contents.status = whole ? FileReadStatus::Read : FileReadStatus::ReadError;
    contents.bytes = whole ? file->second : file->second.substr(0, std::min(cut->second, file->second.size()));
    return contents;
}

namespace {
// A drive ("C:") always exists; any other folder must be known.
bool ParentFolderExists(const std::set<Text>& folders, const Text& path) {
    const auto cut = path.rfind(u'\\');
    if (cut == Text::npos) return true;  // relative to the current folder
    const Text parent = path.substr(0, cut);
    if (parent.size() == 2 && parent[1] == u':') return true;
    return HasPath(folders, parent) || HasPath(folders, parent + u"\\");
}
}  // namespace

bool MemoryPlatform::AppendToFile(const Text& path, std::string_view bytes) {
    if (HasPath(lockedFiles, path) || HasPath(folders, path) || !ParentFolderExists(folders, path))
        return false;
    auto file = FindPath(files, path);
    if (file == files.end()) file = files.emplace(path, std::string()).first;
    file->second.append(bytes.data(), bytes.size());
    return true;
}

bool MemoryPlatform::PathExists(const Text& typed) {
    const Text path = OpenedPath(shortPaths, typed);
    return HasPath(files, path) || HasPath(folders, path) || HasPath(unreadableFiles, path) ||
           HasPath(lockedFiles, path);
}

std::optional<std::uint64_t> MemoryPlatform::GetOwnFileVersion() { return ownVersion; }

// ---- Machine policy and signatures: the model holds none ----

PolicyValue MemoryPlatform::QueryPolicyValue(const Text& keyPath, const Text& valueName) {
    const std::optional<StoredValue> held = GetValue(kHkeyLocalMachine, keyPath, valueName);
    if (!held) return PolicyValue();
    return PolicyValue{PolicyValueStatus::Present, held->type, held->data};
}

SignatureFacts MemoryPlatform::InspectDetachedSignature(std::string_view, std::string_view, std::uint32_t) {
    return SignatureFacts();
}

PublisherTrust MemoryPlatform::QueryPublisherTrust(const Bytes&, const std::vector<Bytes>&) {
    return PublisherTrust();
}

// ---- State as text ----

std::string MemoryPlatform::Dump() const {
    const auto& registry = impl_->registry;
    std::string out = "registry:\n";
    for (const RegKey root : {kHkeyLocalMachine, kHkeyUsers})  // HKEY_CLASSES_ROOT lies in HKLM
        DumpKey(*registry.Root(root), 1, &out);
    out += "mounts:\n" + registry.MountsText();
    out += "hive files:\n";
    for (const auto& hive : hiveFiles) {
        if (registry.IsMountedFile(hive.first)) {
            out += "  " + Shown(hive.first) + " (loaded)\n";
        } else {
            out += "  " + Shown(hive.first) + "\n";
            if (hive.second) DumpKey(*hive.second, 2, &out);
        }
    }
    out += "folders:\n";
    for (const auto& folder : folders) out += "  " + Shown(folder) + "\n";
    out += "files:\n";
    for (const auto& file : files) out += "  " + Shown(file.first) + " = " + Quoted(file.second) + "\n";
    out += "processes:\n";
    for (const auto& process : processes_)
        out += "  " + Quoted(process.applicationName) + " " + Quoted(process.commandLine) +
               (process.exited ? " (exited)" : "") + "\n";
    out += "open handles: " + std::to_string(OpenHandleCount()) +
           ", open processes: " + std::to_string(OpenProcessCount()) + "\n";
    return out;
}

}  // namespace km
