#include "platform/memory/memory_registry.h"

#include <algorithm>
#include <functional>

#include "platform/memory/memory_platform_print.h"
#include "platform/registry_limits.h"
#include "platform/text.h"
#include "platform/registry_case.h"

namespace km {

namespace {

// Keys with fewer values or subkeys are searched one by one.
constexpr std::size_t kIndexedFrom = 32;

// The position of the entry named `wanted` among `entries`, through
// `index`, which holds the first `*indexed` of them.
template <class Entries, class NameOf>
std::size_t FindIndexed(const Entries& entries, NameOf nameOf, TextView wanted, NameIndex* index,
                        std::size_t* indexed) {
    if (*indexed > entries.size()) {
        index->Clear();
        *indexed = 0;
    }
    for (; *indexed < entries.size(); ++*indexed) index->Add(nameOf(entries[*indexed]), *indexed);
    return index->Find(wanted, [&](std::size_t at) -> TextView { return nameOf(entries[at]); });
}

}  // namespace

bool MemoryKey::Fetch() const {
    if (!source) return true;
    // Contents read once are the key's own from here on: they are kept,
    // changed and deleted here, never written back.
    auto& self = const_cast<MemoryKey&>(*this);
    const std::shared_ptr<KeySource> from = std::move(self.source);
    const Text path = std::move(self.sourcePath);
    self.sourcePath.clear();
    KeyContents contents;
    if (!from->ReadKey(path, &contents)) return false;
    for (Text& name : contents.subkeys) {
        if (self.FindSubkey(name)) continue;  // made here before it was read, and read on its own
        auto sub = std::make_shared<MemoryKey>();
        sub->sourcePath = path.empty() ? name : path + u"\\" + name;
        sub->name = std::move(name);
        sub->parent = &self;
        sub->source = from;
        self.subkeys.push_back(std::move(sub));
    }
    for (auto& value : contents.values)
        if (!self.FindValueSlot(value.first)) self.values.push_back(std::move(value));
    return true;
}

std::shared_ptr<MemoryKey> MemoryKey::FindSubkey(TextView wanted) const {
    Fetch();
    if (subkeys.size() < kIndexedFrom) {
        for (const auto& sub : subkeys)
            if (SameRegistryName(sub->name, wanted)) return sub;
        return nullptr;
    }
    const auto nameOf = [](const std::shared_ptr<MemoryKey>& key) -> const Text& { return key->name; };
    const std::size_t at = FindIndexed(subkeys, nameOf, wanted, &subkeyIndex_, &subkeysIndexed_);
    return at == NameIndex::kNone ? nullptr : subkeys[at];
}

void MemoryKey::SubkeysChanged() const {
    subkeyIndex_.Clear();
    subkeysIndexed_ = 0;
}

std::pair<Text, StoredValue>* MemoryKey::FindValueSlot(TextView wanted) const {
    Fetch();
    auto& slots = const_cast<std::vector<std::pair<Text, StoredValue>>&>(values);
    if (slots.size() < kIndexedFrom) {
        for (auto& value : slots)
            if (SameRegistryName(value.first, wanted)) return &value;
        return nullptr;
    }
    const auto nameOf = [](const std::pair<Text, StoredValue>& value) -> const Text& { return value.first; };
    const std::size_t at = FindIndexed(slots, nameOf, wanted, &valueIndex_, &indexed_);
    return at == NameIndex::kNone ? nullptr : &slots[at];
}

void MemoryKey::ValuesChanged() const {
    valueIndex_.Clear();
    indexed_ = 0;
}

const StoredValue* MemoryKey::FindValue(TextView wanted) const {
    const auto* slot = FindValueSlot(wanted);
    return slot ? &slot->second : nullptr;
}

void MemoryKey::SetNamedValue(Text name, StoredValue value) {
    if (auto* slot = FindValueSlot(name)) {
        slot->second = std::move(value);
        return;
    }
    values.emplace_back(std::move(name), std::move(value));
}

void ReadBelow(MemoryKey& key, const std::shared_ptr<KeySource>& source, const Text& path) {
    key.source = source;
    key.sourcePath = path;
    for (const auto& sub : key.subkeys) ReadBelow(*sub, source, path.empty() ? sub->name : path + u"\\" + sub->name);
}

void CopyKeyInto(const MemoryKey& from, MemoryKey& to, NameOrder order) {
    to.values = from.values;
    std::stable_sort(to.values.begin(), to.values.end(),
                     [order](const auto& a, const auto& b) { return order(a.first, b.first); });
    to.ValuesChanged();
    auto subkeys = from.subkeys;
    std::stable_sort(subkeys.begin(), subkeys.end(), [order](const auto& a, const auto& b) { return order(a->name, b->name); });
    for (const auto& sub : subkeys) {
        auto copy = to.FindSubkey(sub->name);  // a key every registry has is there already
        if (!copy) {
            copy = std::make_shared<MemoryKey>();
            copy->name = sub->name;
            copy->parent = &to;
            to.subkeys.push_back(copy);
        }
        CopyKeyInto(*sub, *copy, order);
    }
    // Last, so that the copying reads nothing from the source.
    to.source = from.source;
    to.sourcePath = from.sourcePath;
}

namespace {

std::shared_ptr<MemoryKey> MakeRoot(const char16_t* name) {
    auto key = std::make_shared<MemoryKey>();
    key->name = name;
    return key;
}

// Gone from the tree: handles still held to any key of the subtree see it deleted.
void MarkDeleted(const std::shared_ptr<MemoryKey>& key) {
    key->deleted = true;
    key->parent = nullptr;
    for (const auto& sub : key->subkeys) MarkDeleted(sub);
    key->subkeys.clear();
    key->SubkeysChanged();
    key->values.clear();
    key->ValuesChanged();
}

// By value: the caller's pointer may be the very slot that is erased.
void Detach(std::shared_ptr<MemoryKey> key) {
    if (MemoryKey* parent = key->parent) {
        auto& siblings = parent->subkeys;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), key), siblings.end());
        parent->SubkeysChanged();
    }
    MarkDeleted(key);
}

// Hive trees are built by hand in tests; their parent links are set when mounted.
void LinkParents(MemoryKey& key) {
    for (const auto& sub : key.subkeys) {
        sub->parent = &key;
        LinkParents(*sub);
    }
}

}  // namespace

MemoryRegistry::MemoryRegistry() : machine_(MakeRoot(u"HKLM")), users_(MakeRoot(u"HKU")) {
    // HKEY_CLASSES_ROOT opens the machine's classes key itself.
    classesRoot_ = Create(Target{machine_, *SplitPath(Text(kMachineClassesPath))});
}

bool MemoryRegistry::IsRoot(RegKey key) {
    return key == kHkeyClassesRoot || key == kHkeyLocalMachine || key == kHkeyUsers;
}

const std::shared_ptr<MemoryKey>& MemoryRegistry::Root(RegKey root) const {
    static const std::shared_ptr<MemoryKey> none;
    switch (root) {
        case kHkeyClassesRoot: return classesRoot_;
        case kHkeyLocalMachine: return machine_;
        case kHkeyUsers: return users_;
        default: return none;
    }
}

std::shared_ptr<MemoryKey> MemoryRegistry::Resolve(RegKey key) const {
    if (IsRoot(key)) return Root(key);
    auto found = handles_.find(key);
    if (found == handles_.end() || found->second->deleted) return nullptr;
    return found->second;
}

std::optional<std::vector<Text>> MemoryRegistry::SplitPath(const Text& path) {
    std::vector<Text> parts;
    if (path.empty()) return parts;
    if (path.front() == u'\\') return std::nullopt;
    TextView rest(path);
    if (rest.back() == u'\\') rest.remove_suffix(1);
    while (true) {
        const auto cut = rest.find(u'\\');
        const TextView part = rest.substr(0, cut);
        if (part.empty()) return std::nullopt;
        parts.emplace_back(part);
        if (cut == TextView::npos) break;
        rest.remove_prefix(cut + 1);
    }
    return parts;
}

// The names from the key's root (or hive top) down to the key itself.
std::vector<Text> MemoryRegistry::PathFromRoot(const MemoryKey* key, const MemoryKey** root) {
    std::vector<Text> names;
    for (; key->parent; key = key->parent) names.insert(names.begin(), key->name);
    *root = key;
    return names;
}

std::optional<MemoryRegistry::Target> MemoryRegistry::Locate(RegKey key, const Text& subKey,
                                                             bool redirect) const {
    auto start = Resolve(key);
    auto parts = SplitPath(subKey);
    if (!start || !parts) return std::nullopt;
    if (!redirect) return FollowClassesLink(Target{start, *parts});

    // Only HKLM itself and HKLM\SOFTWARE sit above the split between the views;
    // a handle deeper down already lies in one view and stays there.
    const MemoryKey* root = nullptr;
    std::vector<Text> full = PathFromRoot(start.get(), &root);
    if (root != machine_.get() || full.size() > 1) return FollowClassesLink(Target{start, *parts});
    full.insert(full.end(), parts->begin(), parts->end());
    if (full.size() >= 2 && SameRegistryName(full[0], u"SOFTWARE") &&
        !SameRegistryName(full[1], u"WOW6432Node")) {
        full.insert(full.begin() + 1, u"WOW6432Node");
        return Target{machine_, full};
    }
    return Target{start, *parts};
}

MemoryRegistry::Target MemoryRegistry::FollowClassesLink(Target target) const {
    const MemoryKey* root = nullptr;
    std::vector<Text> full = PathFromRoot(target.start.get(), &root);
    // Only a walk from HKEY_USERS, HKU\<SID> or HKU\<SID>\Software crosses the link.
    if (root != users_.get() || full.size() > 2) return target;
    full.insert(full.end(), target.parts.begin(), target.parts.end());
    if (full.size() < 3 || !SameRegistryName(full[1], u"Software") ||
        !SameRegistryName(full[2], u"Classes"))
        return target;
    auto classes = users_->FindSubkey(full[0] + u"_Classes");
    if (!classes) return target;
    return Target{classes, std::vector<Text>(full.begin() + 3, full.end())};
}

std::shared_ptr<MemoryKey> MemoryRegistry::Find(const Target& target) {
    auto key = target.start;
    for (const auto& part : target.parts) {
        key = key->FindSubkey(part);
        if (!key) return nullptr;
    }
    return key;
}

std::shared_ptr<MemoryKey> MemoryRegistry::Create(const Target& target) {
    std::size_t depth = 0;
    for (const MemoryKey* up = target.start->parent; up; up = up->parent) ++depth;
    if (!KeyPartsFit(depth, target.parts)) return nullptr;
    auto key = target.start;
    for (const auto& part : target.parts) {
        auto next = key->FindSubkey(part);
        if (!next) {
            next = std::make_shared<MemoryKey>();
            next->name = part;
            next->parent = key.get();
            key->subkeys.push_back(next);
        }
        key = next;
    }
    return key;
}

RegKey MemoryRegistry::OpenHandle(std::shared_ptr<MemoryKey> key) {
    const RegKey handle = nextHandle_++;
    handles_.emplace(handle, std::move(key));
    return handle;
}

bool MemoryRegistry::CloseHandle(RegKey handle) { return handles_.erase(handle) == 1; }

bool MemoryRegistry::IsMountTop(const MemoryKey* key) const {
    return std::any_of(mounts_.begin(), mounts_.end(),
                       [key](const Mount_& m) { return m.top.get() == key; });
}

// Roots and hive tops cannot be deleted: the keys directly below HKLM and
// HKEY_USERS are all hives on Windows, and so is every mounted tree; nor can
// the machine's classes key, which HKEY_CLASSES_ROOT is.
bool MemoryRegistry::Deletable(const MemoryKey& key) const {
    return key.parent && key.parent != machine_.get() && key.parent != users_.get() &&
           &key != classesRoot_.get() && !IsMountTop(&key);
}

bool MemoryRegistry::DeleteKey(const std::shared_ptr<MemoryKey>& key) {
    key->Fetch();
    if (!Deletable(*key) || !key->subkeys.empty()) return false;
    Detach(key);
    return true;
}

bool MemoryRegistry::DeleteTree(const std::shared_ptr<MemoryKey>& key, bool keepKey) {
    // As Windows does it: depth first, subkeys before their key, stopping at the
    // first key that cannot go; whatever went before that stays gone. What
    // goes is read first, so that it can be told and put back.
    key->Fetch();
    // The machine's classes key stays, as a hive's top does: what it holds goes.
    for (std::size_t kept = 0; kept < key->subkeys.size();) {
        const auto sub = key->subkeys[kept];  // its slot goes when it is deleted
        if (!DeleteTree(sub, sub == classesRoot_)) return false;
        if (sub == classesRoot_) ++kept;
    }
    if (keepKey) {
        key->values.clear();
        key->ValuesChanged();
        return true;
    }
    if (!Deletable(*key)) return false;
    Detach(key);
    return true;
}

std::string MemoryRegistry::PathOf(const MemoryKey& key) const {
    if (key.deleted) return "(deleted) " + Shown(key.name);
    // A classes key is named as the pass names it, below HKEY_CLASSES_ROOT.
    if (&key == classesRoot_.get()) return "HKCR";
    std::string path = Shown(key.name);
    for (const MemoryKey* up = key.parent; up; up = up->parent) {
        if (up == classesRoot_.get()) return "HKCR\\" + path;
        path = Shown(up->name) + "\\" + path;
    }
    return path;
}

std::string MemoryRegistry::PathOf(RegKey key) const {
    if (key == 0) return std::string();
    if (IsRoot(key)) return PathOf(*Root(key));
    auto found = handles_.find(key);
    if (found == handles_.end()) return "(not a handle)";
    return PathOf(*found->second);
}

bool MemoryRegistry::IsMountedFile(const Text& file) const {
    return std::any_of(mounts_.begin(), mounts_.end(),
                       [&](const Mount_& m) { return EqualsIgnoreAsciiCase(m.file, file); });
}

bool MemoryRegistry::Mount(const Text& name, const Text& file,
                           const std::shared_ptr<MemoryKey>& tree) {
    if (!tree || name.empty() || name.find(u'\\') != Text::npos) return false;
    if (users_->FindSubkey(name) || IsMountedFile(file)) return false;
    if (tree->parent || tree->deleted) return false;
    mounts_.push_back(Mount_{name, file, tree->name, tree});
    tree->name = name;
    tree->parent = users_.get();
    LinkParents(*tree);
    users_->subkeys.push_back(tree);
    return true;
}

bool MemoryRegistry::IsInside(const MemoryKey* key, const MemoryKey* top) const {
    for (; key; key = key->parent)
        if (key == top) return true;
    return false;
}

bool MemoryRegistry::Unmount(const Text& name, std::shared_ptr<MemoryKey>* tree, Text* file) {
    auto mount = std::find_if(mounts_.begin(), mounts_.end(), [&](const Mount_& m) {
        return SameRegistryName(m.name, name);
    });
    if (mount == mounts_.end()) return false;
    for (const auto& handle : handles_)
        if (IsInside(handle.second.get(), mount->top.get())) return false;
    auto& siblings = users_->subkeys;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), mount->top), siblings.end());
    users_->SubkeysChanged();
    mount->top->parent = nullptr;
    mount->top->name = mount->originalName;
    if (tree) *tree = mount->top;
    if (file) *file = mount->file;
    mounts_.erase(mount);
    return true;
}

const MemoryKey* MemoryRegistry::MountTopByName(const Text& name) const {
    for (const auto& mount : mounts_)
        if (SameRegistryName(mount.name, name)) return mount.top.get();
    return nullptr;
}

std::vector<Text> MemoryRegistry::MountNames() const {
    std::vector<Text> names;
    for (const auto& mount : mounts_) names.push_back(mount.name);
    return names;
}

std::string MemoryRegistry::MountsText() const {
    std::string text;
    for (const auto& mount : mounts_)
        text += "  HKU\\" + Shown(mount.name) + " <- " + Shown(mount.file) + "\n";
    return text;
}

}  // namespace km
