#include "toolkit/observed_platform.h"

#include "toolkit/reg_file.h"

namespace km::toolkit {

namespace {

// The registry's own path rules: no leading backslash, no empty part, one
// trailing backslash dropped.
std::optional<std::vector<Text>> SplitPath(TextView path) {
    std::vector<Text> parts;
    if (path.empty()) return parts;
    if (path.front() == u'\\') return std::nullopt;
    if (path.back() == u'\\') path.remove_suffix(1);
    while (true) {
        const std::size_t cut = path.find(u'\\');
        const TextView part = path.substr(0, cut);
        if (part.empty()) return std::nullopt;
        parts.emplace_back(part);
        if (cut == TextView::npos) return parts;
        path.remove_prefix(cut + 1);
    }
}

bool IsRoot(RegKey key) { return key == kHkeyClassesRoot || key == kHkeyLocalMachine || key == kHkeyUsers; }

}  // namespace

bool ChangesMachine(const Effect& e) {
    return !(e.kind == EffectKind::SetValue && e.before && e.after && *e.before == *e.after);
}

Text ChildPath(const Text& path, TextView name) {
    return path.empty() ? Text(name) : path + u"\\" + Text(name);
}

Text FullPath(const KeyLocation& key) {
    Text path = RootName(key.root);
    if (!key.path.empty()) path += u"\\" + key.path;
    return path;
}

std::optional<KeyLocation> NormalizedLocation(RegKey root, const Text& path) {
    auto parts = SplitPath(path);
    if (!parts) return std::nullopt;
    KeyLocation at{root, Text()};
    for (const Text& part : *parts) at.path = ChildPath(at.path, part);
    return at;
}

std::optional<KeyLocation> ObservedPlatform::Locate(RegKey key, const Text* subKey) const {
    KeyLocation at;
    if (IsRoot(key)) {
        at.root = key;
    } else {
        auto found = handles_.find(key);
        if (found == handles_.end()) return std::nullopt;
        at = found->second;
    }
    if (!subKey) return at;
    auto parts = SplitPath(*subKey);
    if (!parts) return std::nullopt;
    for (const Text& part : *parts) at.path = ChildPath(at.path, part);
    // As stored: what a report names and an undo makes again keeps the
    // letter case the machine has, not the line's.
    at.path = memory_.StoredPath(at.root, at.path);
    return at;
}

void ObservedPlatform::Track(RegKey handle, const std::optional<KeyLocation>& at) {
    if (handle != 0 && at) handles_[handle] = *at;
}

void ObservedPlatform::ListContents(const KeyLocation& at, std::vector<Effect>* out) const {
    for (const Text& name : memory_.ValueNames(at.root, at.path))
        out->push_back(Effect{EffectKind::DeleteValue, at, name, memory_.GetValue(at.root, at.path, name),
                              std::nullopt, true});
    for (const Text& sub : memory_.SubkeyNames(at.root, at.path)) {
        const KeyLocation child{at.root, ChildPath(at.path, sub)};
        out->push_back(Effect{EffectKind::DeleteKey, child, Text(), std::nullopt, std::nullopt, true});
        ListContents(child, out);
    }
}

bool ObservedPlatform::RegOpenKeyExW(RegKey key, const Text& subKey, std::uint32_t options,
                                     std::uint32_t samDesired, RegKey* result) {
    ObservedCall call{SeamOp::RegOpenKeyExW, Locate(key, &subKey), samDesired, false, {}};
    call.succeeded = memory_.RegOpenKeyExW(key, subKey, options, samDesired, result);
    if (call.succeeded && result) Track(*result, call.key);
    calls_.push_back(std::move(call));
    return calls_.back().succeeded;
}

bool ObservedPlatform::RegCreateKeyExW(RegKey key, const Text& subKey, std::uint32_t reserved,
                                       std::uint32_t options, std::uint32_t samDesired,
                                       const SecurityAttributes* attributes, RegKey* result) {
    ObservedCall call{SeamOp::RegCreateKeyExW, Locate(key, &subKey), samDesired, false, {}};
    // Which keys along the path are there before.
    std::vector<std::pair<KeyLocation, bool>> along;
    if (call.key) {
        const KeyLocation base = *Locate(key, nullptr);
        KeyLocation walk = base;
        const std::vector<Text> parts = SplitPath(subKey).value_or(std::vector<Text>());
        for (const Text& part : parts) {
            walk.path = ChildPath(walk.path, part);
            along.emplace_back(walk, memory_.KeyExists(walk.root, walk.path));
        }
    }
    call.succeeded = memory_.RegCreateKeyExW(key, subKey, reserved, options, samDesired, attributes, result);
    if (call.succeeded) {
        for (const auto& step : along)
            if (!step.second && memory_.KeyExists(step.first.root, step.first.path))
                call.effects.push_back(
                    Effect{EffectKind::CreateKey,
                           KeyLocation{step.first.root, memory_.StoredPath(step.first.root, step.first.path)},
                           Text(), std::nullopt, std::nullopt, false});
        if (result) Track(*result, call.key);
    }
    calls_.push_back(std::move(call));
    return calls_.back().succeeded;
}

bool ObservedPlatform::RegDeleteTreeW(RegKey key, const Text* subKey) {
    ObservedCall call{SeamOp::RegDeleteTreeW, Locate(key, subKey), 0, false, {}};
    std::vector<Effect> contents;
    if (call.key) {
        if (subKey)  // the key itself goes too
            contents.push_back(Effect{EffectKind::DeleteKey, *call.key, Text(), std::nullopt, std::nullopt, true});
        ListContents(*call.key, &contents);
    }
    call.succeeded = memory_.RegDeleteTreeW(key, subKey);
    if (call.succeeded) call.effects = std::move(contents);
    calls_.push_back(std::move(call));
    return calls_.back().succeeded;
}

bool ObservedPlatform::RegDeleteKeyExW(RegKey key, const Text& subKey, std::uint32_t samDesired,
                                       std::uint32_t reserved) {
    ObservedCall call{SeamOp::RegDeleteKeyExW, Locate(key, &subKey), samDesired, false, {}};
    const bool existed = call.key && memory_.KeyExists(call.key->root, call.key->path);
    call.succeeded = memory_.RegDeleteKeyExW(key, subKey, samDesired, reserved);
    if (call.succeeded && existed && !memory_.KeyExists(call.key->root, call.key->path))
        call.effects.push_back(Effect{EffectKind::DeleteKey, *call.key, Text(), std::nullopt, std::nullopt, false});
    calls_.push_back(std::move(call));
    return calls_.back().succeeded;
}

bool ObservedPlatform::RegSetValueExW(RegKey key, const Text& valueName, std::uint32_t reserved,
                                      std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
    ObservedCall call{SeamOp::RegSetValueExW, Locate(key, nullptr), 0, false, {}};
    // The handle's key itself, read before and after: the path need not be walked again.
    const auto target = call.key ? memory_.HandleKey(key) : nullptr;
    std::optional<StoredValue> before;
    if (const StoredValue* held = target ? target->FindValue(valueName) : nullptr) before = *held;
    call.succeeded = memory_.RegSetValueExW(key, valueName, reserved, type, data, size);
    if (call.succeeded && target) {
        const auto* after = target->FindValueSlot(valueName);
        call.effects.push_back(Effect{EffectKind::SetValue, *call.key, after ? after->first : valueName,
                                      std::move(before), after ? std::optional<StoredValue>(after->second) : std::nullopt,
                                      false});
    }
    calls_.push_back(std::move(call));
    return calls_.back().succeeded;
}

bool ObservedPlatform::RegDeleteKeyValueW(RegKey key, const Text* subKey, const Text& valueName) {
    ObservedCall call{SeamOp::RegDeleteKeyValueW, Locate(key, subKey), 0, false, {}};
    std::optional<StoredValue> before;
    Text stored = valueName;
    if (call.key)
        if (auto found = memory_.GetNamedValue(call.key->root, call.key->path, valueName)) {
            stored = std::move(found->first);
            before = std::move(found->second);
        }
    call.succeeded = memory_.RegDeleteKeyValueW(key, subKey, valueName);
    if (call.succeeded && call.key && before && !memory_.GetValue(call.key->root, call.key->path, valueName))
        call.effects.push_back(Effect{EffectKind::DeleteValue, *call.key, stored, before, std::nullopt, false});
    calls_.push_back(std::move(call));
    return calls_.back().succeeded;
}

bool ObservedPlatform::RegCloseKey(RegKey key) {
    handles_.erase(key);
    return memory_.RegCloseKey(key);
}

}  // namespace km::toolkit
