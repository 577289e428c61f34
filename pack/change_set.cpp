#include "pack/change_set.h"

#include <algorithm>
#include <optional>
#include <tuple>
#include <utility>
#include <unordered_set>

#include "engine/package_language.h"
#include "platform/registry_case.h"
#include "platform/text.h"

namespace km::pack {

namespace {

std::size_t Depth(const Text& path) {
    return path.empty() ? 0 : std::size_t(std::count(path.begin(), path.end(), u'\\')) + 1;
}

Text LastPart(const Text& path) { return path.substr(path.rfind(u'\\') + 1); }

// Whether a key lies below one of `keys` (ids: the place, then the folded path).
bool Below(const Text& id, const std::unordered_set<Text>& keys) {
    for (std::size_t cut = id.find(u'\\'); cut != Text::npos; cut = id.find(u'\\', cut + 1))
        if (keys.count(id.substr(0, cut))) return true;
    return false;
}

// Keys top down, each key's own line before its values; the sort keys
// are worked out once, not in every comparison.
void SortTopDown(std::vector<Change>& changes) {
    struct Order {
        std::size_t depth;
        Text key;
        bool value;
        std::size_t at;
    };
    std::vector<Order> order;
    order.reserve(changes.size());
    for (std::size_t i = 0; i < changes.size(); ++i)
        order.push_back(
            Order{Depth(changes[i].key), RegistryFold(changes[i].key), changes[i].kind != ChangeKind::CreateKey, i});
    std::stable_sort(order.begin(), order.end(), [](const Order& a, const Order& b) {
        return std::tie(a.depth, a.key, a.value) < std::tie(b.depth, b.key, b.value);
    });
    std::vector<Change> sorted;
    sorted.reserve(changes.size());
    for (const Order& o : order) sorted.push_back(std::move(changes[o.at]));
    changes = std::move(sorted);
}

Change KeyChange(ChangeKind kind, Place place, const Text& key) {
    Change c;
    c.kind = kind;
    c.place = place;
    c.key = key;
    return c;
}

}  // namespace

std::string Shown(TextView text) { return DisplayText(text, {{}, kLetteredControls}); }

toolkit::KeyLocation AsClassesRoot(const toolkit::KeyLocation& at) {
    const TextView path = at.path, top = kMachineClassesPath;
    if (at.root == kHkeyLocalMachine && path.size() > top.size() && path[top.size()] == u'\\' &&
        SameRegistryName(path.substr(0, top.size()), top))
        return toolkit::KeyLocation{kHkeyClassesRoot, Text(path.substr(top.size() + 1))};
    return at;
}

Text ChangeSet::Id(Place place, const Text& key) { return Text(1, char16_t(u'0' + int(place))) + RegistryFold(key); }

void ChangeSet::AddKey(const PlacedKey& key, const toolkit::KeyLocation& at, bool exists) {
    const Text id = Id(key.place, key.key);
    if (keys_.emplace(id, KeyState{key.place, key.key, at, exists}).second) keyOrder_.push_back(id);
}

void ChangeSet::AddValue(const PlacedKey& key, const Text& name, const std::optional<StoredValue>& value) {
    Text keyId = Id(key.place, key.key);
    const Text valueId = keyId + u'\0' + RegistryFold(name);
    if (values_.emplace(valueId, values_.size()).second)
        valueStates_.push_back(ValueState{std::move(keyId), name, value});
}

std::vector<Change> ChangeSet::Changes(const CurrentState& current) const {
    std::vector<Change> recasings, makes, valueRemovals, keyRemovals;
    // A key that stands in another letter case is removed first and made
    // again as it is to stand, with all it is to hold.
    std::unordered_set<Text> recased;
    std::vector<Text> byDepth = keyOrder_;
    std::stable_sort(byDepth.begin(), byDepth.end(), [](const Text& a, const Text& b) {
        return std::count(a.begin(), a.end(), u'\\') < std::count(b.begin(), b.end(), u'\\');
    });
    std::unordered_map<Text, bool> standsNow;
    for (const Text& id : byDepth) {
        const KeyState& k = keys_.at(id);
        const std::optional<Text> name = Below(id, recased) ? std::nullopt : current.KeyName(k.at);
        if (k.exists && name && *name != LastPart(k.key)) {
            recased.insert(id);
            recasings.push_back(KeyChange(ChangeKind::RemoveKey, k.place, k.key));
        }
        const bool now = name && !recased.count(id);
        standsNow[id] = now;
        if (k.exists && !now) makes.push_back(KeyChange(ChangeKind::CreateKey, k.place, k.key));
        if (!k.exists && now) keyRemovals.push_back(KeyChange(ChangeKind::RemoveKey, k.place, k.key));
    }
    for (const ValueState& v : valueStates_) {
        const KeyState& k = keys_.at(v.keyId);
        if (!k.exists) continue;  // goes whole with its key
        const auto now = standsNow[v.keyId] ? current.Value(k.at, v.name) : std::nullopt;
        Change c = KeyChange(ChangeKind::SetValue, k.place, k.key);
        c.valueName = v.name;
        if (v.value && now && now->first != v.name) {
            // Set again under its new name, which a set alone would not change.
            c.kind = ChangeKind::RemoveValue;
            makes.push_back(c);
            c.kind = ChangeKind::SetValue;
        }
        if (v.value && !(now && now->second == *v.value && now->first == v.name)) {
            c.type = v.value->type;
            c.data = v.value->data;
            makes.push_back(std::move(c));
        } else if (!v.value && now) {
            c.kind = ChangeKind::RemoveValue;
            valueRemovals.push_back(std::move(c));
        }
    }
    // Keys top down, each key's own line before its values; removals of
    // keys deepest first.
    SortTopDown(makes);
    std::stable_sort(keyRemovals.begin(), keyRemovals.end(),
                     [](const Change& a, const Change& b) { return Depth(a.key) > Depth(b.key); });
    makes.insert(makes.end(), valueRemovals.begin(), valueRemovals.end());
    makes.insert(makes.end(), keyRemovals.begin(), keyRemovals.end());
    recasings.insert(recasings.end(), makes.begin(), makes.end());
    return recasings;
}

void ChangeWriter::Write(const Change& change, const LineResult& line) const {
    if (!line.written) refused->push_back(name(change) + ": " + line.reason);
    else *package += line.line;
    if (after) after(change, line.written);
}

void ChangeWriter::WriteAll(const std::vector<Change>& changes) const {
    std::optional<LineResult> ahead;  // the next change's line, made while looking ahead
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const Change& c = changes[i];
        const std::optional<LineResult> made = std::exchange(ahead, std::nullopt);
        if (c.kind == ChangeKind::CreateKey && i + 1 < changes.size() && changes[i + 1].kind == ChangeKind::SetValue &&
            changes[i + 1].place == c.place && changes[i + 1].key == c.key) {
            ahead = WritePackageLine(changes[i + 1]);
            if (ahead->written) continue;  // the value line makes the key
        }
        Write(c, made ? *made : WritePackageLine(c));
    }
}

}  // namespace km::pack
