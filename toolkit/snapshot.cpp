#include "toolkit/snapshot.h"

#include <algorithm>
#include <functional>

#include "toolkit/text_codec.h"
#include "platform/registry_limits.h"
#include "platform/text.h"
#include "platform/registry_case.h"

namespace km::toolkit {

namespace {

std::vector<Text> SplitKeyPath(TextView path) {
    std::vector<Text> parts;
    while (!path.empty()) {
        const std::size_t cut = path.find(u'\\');
        parts.emplace_back(path.substr(0, cut));
        if (cut == TextView::npos) break;
        path.remove_prefix(cut + 1);
    }
    return parts;
}

std::shared_ptr<MemoryKey> EnsureSubkey(const std::shared_ptr<MemoryKey>& key, const Text& name) {
    if (auto found = key->FindSubkey(name)) return found;
    auto sub = std::make_shared<MemoryKey>();
    sub->name = name;
    sub->parent = key.get();
    key->subkeys.push_back(sub);
    return sub;
}

template <class T>
std::vector<T> Sorted(std::vector<T> items, Text (*nameOf)(const T&)) {
    std::stable_sort(items.begin(), items.end(),
                     [&](const T& a, const T& b) { return RegistryNameLess(nameOf(a), nameOf(b)); });
    return items;
}

Text Identity(const Text& t) { return t; }

void AddPlatformKey(const MemoryPlatform& sys, RegKey root, const Text& path,
                    std::vector<RegFileSection>* out) {
    if (!sys.IsRead(root, path)) return;  // nothing of it is known, and it is not read for printing
    // The machine's classes are written once, below HKEY_CLASSES_ROOT, as
    // packages name them.
    if (root == kHkeyLocalMachine && SameRegistryName(path, kMachineClassesPath)) return;
    RegFileSection section;
    section.root = root;
    section.rootName = RootName(root);
    section.path = path;
    for (const Text& name : Sorted(sys.ValueNames(root, path), &Identity)) {
        if (auto value = sys.GetValue(root, path, name))
            section.values.push_back(RegFileValue{name, false, *value});
    }
    if (!path.empty()) out->push_back(std::move(section));
    for (const Text& sub : Sorted(sys.SubkeyNames(root, path), &Identity))
        AddPlatformKey(sys, root, path.empty() ? sub : path + u"\\" + sub, out);
}

void AddTreeKey(const MemoryKey& key, const Text& path, std::vector<RegFileSection>* out) {
    if (!key.Fetched()) return;
    RegFileSection section;
    section.root = kHkeyUsers;
    section.rootName = RootName(kHkeyUsers);
    section.path = path;
    auto values = key.values;
    std::stable_sort(values.begin(), values.end(), [](const auto& a, const auto& b) {
        return RegistryNameLess(a.first, b.first);
    });
    for (const auto& value : values) section.values.push_back(RegFileValue{value.first, false, value.second});
    out->push_back(std::move(section));
    auto subkeys = key.subkeys;
    std::stable_sort(subkeys.begin(), subkeys.end(), [](const auto& a, const auto& b) {
        return RegistryNameLess(a->name, b->name);
    });
    for (const auto& sub : subkeys) AddTreeKey(*sub, path + u"\\" + sub->name, out);
}

}  // namespace

std::shared_ptr<MemoryKey> EnsureTreeKey(const std::shared_ptr<MemoryKey>& top, TextView path) {
    auto key = top;
    for (const Text& part : SplitKeyPath(path))
        if (!part.empty()) key = EnsureSubkey(key, part);
    return key;
}

Text HiveFileKeyName(const Text& filePath) {
    Text name(kHiveFilePrefix);
    for (char16_t c : filePath) name.push_back(c == u'\\' ? u'/' : c);
    return name;
}

bool IsHiveFileKeyName(TextView name) {
    return name.size() > kHiveFilePrefix.size() &&
           EqualsIgnoreAsciiCase(name.substr(0, kHiveFilePrefix.size()), kHiveFilePrefix);
}

Text HiveFilePath(TextView keyName) {
    Text path;
    for (char16_t c : keyName.substr(kHiveFilePrefix.size())) path.push_back(c == u'/' ? u'\\' : c);
    return path;
}

namespace {

// A hive file's key at `parts` (after the pseudo-key), or none.
std::shared_ptr<MemoryKey> FindTreeKey(std::shared_ptr<MemoryKey> key, const std::vector<Text>& parts,
                                       std::size_t count) {
    for (std::size_t i = 1; key && i < count; ++i) key = key->FindSubkey(parts[i]);
    return key;
}

template <class Items, class NameOf>
void EraseNamed(Items& items, TextView name, NameOf nameOf) {
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&](const auto& item) { return SameRegistryName(nameOf(item), name); }),
                items.end());
}

// Removals act on what the file laid down before them: a base starts from
// nothing. `valueName` null: the key itself.
void RemoveFromHiveFile(MemoryPlatform& sys, const std::vector<Text>& parts, const Text* valueName) {
    auto hive = sys.hiveFiles.find(HiveFilePath(parts.front()));
    if (hive == sys.hiveFiles.end() || !hive->second) return;
    if (valueName) {
        if (auto key = FindTreeKey(hive->second, parts, parts.size()))
        {
            EraseNamed(key->values, *valueName, [](const auto& v) -> const Text& { return v.first; });
            key->ValuesChanged();
        }
    } else if (parts.size() == 1) {
        sys.hiveFiles.erase(hive);
    } else if (auto parent = FindTreeKey(hive->second, parts, parts.size() - 1)) {
        EraseNamed(parent->subkeys, parts.back(), [](const auto& k) -> const Text& { return k->name; });
        parent->SubkeysChanged();
    }
}

void RemoveFromMachine(MemoryPlatform& sys, RegKey root, const Text& path, const Text* valueName) {
    const bool redirection = sys.wow64Redirection;
    sys.wow64Redirection = false;
    if (valueName) sys.RegDeleteKeyValueW(root, &path, *valueName);
    else sys.RegDeleteTreeW(root, &path);
    sys.wow64Redirection = redirection;
}

using Warn = std::function<void(int line, const std::string& message)>;

// What a section hands the registry: a copy of a file the caller keeps, the
// very contents of one it gives up.
Text Handed(const Text& text) { return text; }
Text Handed(Text& text) { return std::move(text); }
StoredValue Handed(const StoredValue& value) { return value; }
StoredValue Handed(StoredValue& value) { return std::move(value); }

// A value the registry could not hold is skipped, with why.
bool ValueFits(const RegFileSection& section, const RegFileValue& value, const Warn& warn) {
    if (value.name.size() <= kMaxValueNameLength) return true;
    warn(section.line, "a value name over 16,383 characters cannot be in a registry; skipped");
    return false;
}

// A section below a hive file's pseudo-key: the hive's tree, one level down.
template <class Section>
void LoadHiveFileSection(MemoryPlatform& sys, Section& section, const std::vector<Text>& parts, const Warn& warn) {
    if (section.remove) {
        RemoveFromHiveFile(sys, parts, nullptr);
        return;
    }
    auto& top = sys.hiveFiles[HiveFilePath(parts.front())];
    if (!top) {
        top = std::make_shared<MemoryKey>();
        top->name = parts.front();
    }
    auto key = top;
    for (std::size_t i = 1; i < parts.size(); ++i) key = EnsureSubkey(key, parts[i]);
    for (auto& value : section.values) {
        if (!ValueFits(section, value, warn)) continue;
        if (value.remove) RemoveFromHiveFile(sys, parts, &value.name);
        else key->SetNamedValue(Handed(value.name), Handed(value.value));
    }
}

template <class Section>
void LoadMachineSection(MemoryPlatform& sys, Section& section, const Warn& warn) {
    if (section.remove) {
        RemoveFromMachine(sys, section.root, section.path, nullptr);
        return;
    }
    // The key is found once for all its values: a whole registry has millions.
    const std::shared_ptr<MemoryKey> key = sys.CreateKey(section.root, section.path);
    // Room for them all at once, where the key is new: one key may hold a great many.
    if (key && key->values.empty()) key->values.reserve(section.values.size());
    for (auto& value : section.values) {
        if (!ValueFits(section, value, warn)) continue;
        if (value.remove) RemoveFromMachine(sys, section.root, section.path, &value.name);
        else if (key) key->SetNamedValue(Handed(value.name), Handed(value.value));
    }
}

template <class File>
void LoadSections(File& file, MemoryPlatform& sys, std::vector<RegFileError>* warnings) {
    const Warn warn = [&](int line, const std::string& message) {
        if (warnings) warnings->push_back(RegFileError{line, message});
    };
    for (auto& section : file.sections) {
        if (section.root != kHkeyClassesRoot && section.root != kHkeyLocalMachine && section.root != kHkeyUsers) {
            warn(section.line, ToUtf8(RootName(section.root)) +
                                   " is not part of a base: give a user's keys below HKEY_USERS\\<SID>; skipped");
            continue;
        }
        if (section.path.empty()) {
            if (section.remove || !section.values.empty())
                warn(section.line, "a root key's removal or own values are not part of a base; skipped");
            continue;
        }
        const std::vector<Text> parts = SplitKeyPath(section.path);
        // No registry holds such a key: it is read as reg import would fail to
        // make it. A hive file's pseudo-key stands for the hive's top, one level down.
        const bool hiveFile = section.root == kHkeyUsers && IsHiveFileKeyName(parts.front());
        if (!KeyPartsFit(hiveFile ? 1 : 0, std::vector<Text>(parts.begin() + (hiveFile ? 1 : 0), parts.end()))) {
            warn(section.line, "a key more than 512 levels deep or with a name over 255 characters cannot be in a "
                               "registry; skipped");
            continue;
        }
        if (hiveFile) LoadHiveFileSection(sys, section, parts, warn);
        else LoadMachineSection(sys, section, warn);
    }
    sys.CreateKey(kHkeyLocalMachine, u"SOFTWARE");
    sys.CreateKey(kHkeyLocalMachine, u"SYSTEM");
}

}  // namespace

bool LoadSnapshot(const RegFile& file, MemoryPlatform& sys, RegFileError* /*error: a base always loads*/,
                  std::vector<RegFileError>* warnings) {
    LoadSections(file, sys, warnings);
    return true;
}

bool LoadSnapshot(RegFile&& file, MemoryPlatform& sys, RegFileError* /*error: a base always loads*/,
                  std::vector<RegFileError>* warnings) {
    LoadSections(file, sys, warnings);
    return true;
}

void LoadDefaultBase(MemoryPlatform& sys) {
    sys.CreateKey(kHkeyLocalMachine, u"SOFTWARE");
    sys.CreateKey(kHkeyLocalMachine, u"SYSTEM");
    const Text profileKey = Text(kProfileListPath) + u"\\" + Text(kDefaultSid);
    std::string path = EncodeUtf16Le(kDefaultProfilePath);
    path.append(2, '\0');
    sys.SetValue(kHkeyLocalMachine, profileKey, Text(kProfileImagePath), kRegExpandSz,
                 Bytes(path.begin(), path.end()));
    sys.CreateKey(kHkeyUsers, Text(kDefaultSid));
}

std::vector<RegFileSection> SnapshotSections(const MemoryPlatform& sys) {
    std::vector<RegFileSection> sections;
    for (RegKey root : {kHkeyClassesRoot, kHkeyLocalMachine, kHkeyUsers})
        AddPlatformKey(sys, root, Text(), &sections);
    for (const auto& hive : sys.hiveFiles)
        if (hive.second) AddTreeKey(*hive.second, HiveFileKeyName(hive.first), &sections);
    return sections;
}

std::vector<RegFileSection> SubtreeSections(const MemoryPlatform& sys, RegKey root, const Text& path) {
    std::vector<RegFileSection> sections;
    if (sys.KeyExists(root, path)) AddPlatformKey(sys, root, path, &sections);
    return sections;
}

}  // namespace km::toolkit
