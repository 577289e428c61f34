#include "pack/capture.h"

#include <algorithm>

#include "engine/package_language.h"
#include "engine/user_profiles.h"
#include "platform/registry_case.h"
#include "platform/text.h"
#include "toolkit/snapshot.h"
#include "pack/change_set.h"

namespace km::pack {

namespace {

constexpr TextView kCurrentUserKey = u"HKEY_CURRENT_USER";
constexpr TextView kClassesHiveSuffix = u"_Classes";

UserProfile CapturedProfile(const CaptureOptions& options) {
    UserProfile user;
    user.sid = CapturedUserKey(options);
    user.userHiveKey = user.sid;
    return user;
}

// Where a key named as a .reg file names it lies, as a line names it.
std::optional<PlacedKey> PlaceOfNamed(const Text& named, const UserProfile& user) {
    const std::size_t cut = std::min(named.find(u'\\'), named.size());
    const TextView rootName = TextView(named).substr(0, cut);
    const Text path = cut < named.size() ? named.substr(cut + 1) : Text();
    for (const toolkit::RegRootName& root : toolkit::kRegRoots) {
        if (!EqualsIgnoreAsciiCase(rootName, root.name) && !EqualsIgnoreAsciiCase(rootName, root.abbreviation))
            continue;
        if (root.root == toolkit::kHkeyCurrentUser)
            return PlaceOfKey(kHkeyUsers, toolkit::ChildPath(user.userHiveKey, path), &user, AtTop::Counts);
        const toolkit::KeyLocation at =
            root.root == kHkeyLocalMachine && SameRegistryName(path, kMachineClassesPath)
                ? toolkit::KeyLocation{kHkeyClassesRoot, Text()}
                : AsClassesRoot(toolkit::KeyLocation{root.root, path});
        return PlaceOfKey(at.root, at.path, at.root == kHkeyUsers ? &user : nullptr, AtTop::Counts);
    }
    return std::nullopt;
}

// The state the package starts from: BEFORE.
class BeforeState : public CurrentState {
public:
    BeforeState(const MemoryPlatform& before, std::vector<toolkit::KeyLocation> tops)
        : before_(before), tops_(std::move(tops)) {}
    std::optional<Text> KeyName(const toolkit::KeyLocation& at) const override {
        std::optional<Text> name = before_.StoredName(at.root, at.path);
        // A place's top is no key a line makes, whatever its spelling.
        for (const toolkit::KeyLocation& top : tops_)
            if (name && top.root == at.root && SameRegistryName(top.path, at.path)) return Text();
        return name;
    }
    std::optional<std::pair<Text, StoredValue>> Value(const toolkit::KeyLocation& at, const Text& name) const override {
        return before_.GetNamedValue(at.root, at.path, name);
    }

private:
    const MemoryPlatform& before_;
    std::vector<toolkit::KeyLocation> tops_;
};

// Where differences go: into the change set, or counted for an exclusion.
struct Sink {
    ChangeSet* set;
    std::size_t* count;
    void Key(const PlacedKey& key, const toolkit::KeyLocation& at, bool exists) const {
        if (set) set->AddKey(key, at, exists);
        else ++*count;
    }
    void Value(const PlacedKey& key, const Text& name, const std::optional<StoredValue>& value) const {
        if (set) set->AddValue(key, name, value);
        else ++*count;
    }
};

// Walks one place's tree in BEFORE and AFTER side by side and hands each
// difference to a sink: keys and values added or changed, keys removed at the
// top of what went. A key spelled in another letter case is handed over whole.
class PlaceWalk {
public:
    PlaceWalk(const PlaceRule& rule, const UserProfile* user, std::vector<Exclusion>& exclusions,
              const std::vector<std::optional<PlacedKey>>& excludedAt)
        : rule_(rule), user_(user), exclusions_(exclusions), excludedAt_(excludedAt),
          top_(TopOf(rule, user)) {}
    // The key the place's top lies at, below its root.
    static Text TopOf(const PlaceRule& rule, const UserProfile* user) {
        Text top = PlaceKeyPath(rule, user, u"");
        if (!top.empty() && top.back() == u'\\') top.pop_back();
        return top;
    }
    toolkit::KeyLocation Top() const { return {rule_.root, top_}; }

    void Pair(const MemoryKey* b, const MemoryKey* a, const Text& key, const Sink& sink) {
        for (std::size_t i = 0; sink.set && i < excludedAt_.size(); ++i)
            if (excludedAt_[i] && excludedAt_[i]->place == rule_.place && SameRegistryName(excludedAt_[i]->key, key))
                return Pair(b, a, key, Sink{nullptr, &exclusions_[i].changes});
        // Made only for a key that differs: most of a registry's keys do not.
        std::optional<PlacedKey> placedKey;
        const auto placed = [&]() -> const PlacedKey& {
            if (!placedKey) placedKey.emplace(PlacedKey{rule_.place, key});
            return *placedKey;
        };
        if (!a) {
            if (b && !key.empty()) sink.Key(placed(), At(key), false);
            return;
        }
        if (!b || (!key.empty() && b->name != a->name)) return Whole(*a, key, sink);
        bool touched = false;
        const auto touch = [&] {
            if (!touched) sink.Key(placed(), At(key), true);
            touched = true;
        };
        for (const auto& [name, value] : a->values) {
            const auto* slot = b->FindValueSlot(name);
            if (slot && slot->first == name && slot->second == value) continue;
            touch();
            sink.Value(placed(), name, value);
        }
        for (const auto& value : b->values)
            if (!a->FindValueSlot(value.first)) {
                touch();
                sink.Value(placed(), value.first, std::nullopt);
            }
        for (const auto& sub : a->subkeys)
            if (const Text k = toolkit::ChildPath(key, sub->name); !OtherTop(k))
                Pair(b->FindSubkey(sub->name).get(), sub.get(), k, sink);
        for (const auto& sub : b->subkeys)
            if (const Text k = toolkit::ChildPath(key, sub->name); !a->FindSubkey(sub->name) && !OtherTop(k))
                Pair(sub.get(), nullptr, k, sink);
    }

private:
    void Whole(const MemoryKey& a, const Text& key, const Sink& sink) {
        const PlacedKey placed{rule_.place, key};
        // A place's top is there on every machine: it is named only for its values.
        if (!key.empty() || !a.values.empty()) sink.Key(placed, At(key), true);
        for (const auto& [name, value] : a.values) sink.Value(placed, name, value);
        for (const auto& sub : a.subkeys)
            if (const Text k = toolkit::ChildPath(key, sub->name); !OtherTop(k)) Pair(nullptr, sub.get(), k, sink);
    }
    toolkit::KeyLocation At(const Text& key) const { return {rule_.root, toolkit::ChildPath(top_, key)}; }
    // The top of another place lying inside this one (the machine's classes
    // in SOFTWARE, the user's classes in the user's hive): walked as its own.
    bool OtherTop(const Text& key) const {
        if (std::count(key.begin(), key.end(), u'\\') > 1) return false;
        const toolkit::KeyLocation at = At(key);
        if (at.root == kHkeyLocalMachine && SameRegistryName(at.path, kMachineClassesPath)) return true;
        const auto placed = PlaceOfKey(at.root, at.path, user_, AtTop::Counts);
        return placed && placed->place != rule_.place && placed->key.empty();
    }

    const PlaceRule& rule_;
    const UserProfile* user_;
    std::vector<Exclusion>& exclusions_;
    const std::vector<std::optional<PlacedKey>>& excludedAt_;
    Text top_;
};

bool SameTree(const MemoryKey* a, const MemoryKey* b) {
    if (!a || !b) return a == b;
    if (a->name != b->name || a->values.size() != b->values.size() || a->subkeys.size() != b->subkeys.size())
        return false;
    for (const auto& [name, value] : a->values) {
        const auto* slot = b->FindValueSlot(name);
        if (!slot || slot->first != name || !(slot->second == value)) return false;
    }
    for (const auto& sub : a->subkeys)
        if (!SameTree(sub.get(), b->FindSubkey(sub->name).get())) return false;
    return true;
}

// The keys directly below a root (or a hive file) that no line reaches:
// each that changed is named once, with why.
void NameUnreached(const MemoryKey* b, const MemoryKey* a, const Text& prefix, const std::vector<Text>& reached,
                   const std::string& why, std::vector<std::string>* refused) {
    std::vector<Text> names;  // AFTER's, then those only BEFORE has
    if (a)
        for (const auto& sub : a->subkeys) names.push_back(sub->name);
    if (b)
        for (const auto& sub : b->subkeys)
            if (!a || !a->FindSubkey(sub->name)) names.push_back(sub->name);
    for (const Text& name : names) {
        if (std::any_of(reached.begin(), reached.end(), [&](const Text& r) { return SameRegistryName(r, name); }))
            continue;
        const auto bs = b ? b->FindSubkey(name) : nullptr, as = a ? a->FindSubkey(name) : nullptr;
        if (!SameTree(bs.get(), as.get())) refused->push_back(Shown(prefix + name) + ": changed, but " + why);
    }
}

void NameUnreachedParts(const MemoryPlatform& before, const MemoryPlatform& after, const CaptureOptions& options,
                        std::vector<std::string>* refused) {
    const Text user = CapturedUserKey(options);
    std::vector<Text> machineTops;  // the machine places' keys below HKEY_LOCAL_MACHINE
    for (const PlaceRule& rule : kPlaceRules)
        if (rule.root == kHkeyLocalMachine) machineTops.push_back(PlaceWalk::TopOf(rule, nullptr));
    NameUnreached(before.FindKey(kHkeyLocalMachine, Text()).get(), after.FindKey(kHkeyLocalMachine, Text()).get(),
                  toolkit::RootName(kHkeyLocalMachine) + u"\\", machineTops, kMachinePlacesOnly, refused);
    NameUnreached(before.FindKey(kHkeyUsers, Text()).get(), after.FindKey(kHkeyUsers, Text()).get(),
                  toolkit::RootName(kHkeyUsers) + u"\\",
                  {user, user + Text(kClassesHiveSuffix)},
                  options.user ? "not the profile --user names"
                               : "not HKEY_CURRENT_USER: name its SID with --user to capture that profile instead",
                  refused);
    MemoryKey beforeFiles, afterFiles;  // the hive files, as keys of one tree
    for (const auto& [side, files] : {std::pair{&beforeFiles, &before.hiveFiles}, std::pair{&afterFiles, &after.hiveFiles}})
        for (const auto& [file, tree] : *files) {
            auto named = std::make_shared<MemoryKey>(*tree);
            named->name = file;
            side->subkeys.push_back(named);
        }
    NameUnreached(&beforeFiles, &afterFiles, u"hive file ", {}, "a hive file of a profile not captured", refused);
}

}  // namespace

Text CapturedUserKey(const CaptureOptions& options) { return options.user ? *options.user : Text(kCurrentUserKey); }

void LoadCaptureSide(toolkit::RegFile file, const CaptureOptions& options, MemoryPlatform& side,
                     std::vector<toolkit::RegFileError>* warnings) {
    std::size_t skipped[2] = {0, 0};
    side.wow64Redirection = false;
    // Laid in in batches, each let go of once laid in: a whole-registry
    // export is not held twice.
    constexpr std::size_t kBatch = 4096;
    toolkit::RegFile batch;
    toolkit::RegFileError error;
    for (std::size_t i = 0; i < file.sections.size(); ++i) {
        toolkit::RegFileSection& section = file.sections[i];
        const bool currentUser = section.root == toolkit::kHkeyCurrentUser;
        if ((currentUser && options.user) || section.root == toolkit::kHkeyCurrentConfig) {
            ++skipped[currentUser ? 0 : 1];
        } else {
            if (currentUser) {
                section.root = kHkeyUsers;
                section.path = toolkit::ChildPath(CapturedUserKey(options), section.path);
            }
            batch.sections.push_back(std::move(section));
        }
        if (batch.sections.size() == kBatch || i + 1 == file.sections.size()) {
            toolkit::LoadSnapshot(std::move(batch), side, &error, warnings);
            batch.sections.clear();
        }
    }
    const std::string why[2] = {"another view of the profile --user names", "a view of HKEY_LOCAL_MACHINE\\SYSTEM"};
    for (int i = 0; i < 2; ++i)
        if (skipped[i])
            warnings->push_back(toolkit::RegFileError{
                0, std::to_string(skipped[i]) + (skipped[i] == 1 ? " section of " : " sections of ") +
                       (i ? "HKEY_CURRENT_CONFIG" : "HKEY_CURRENT_USER") + " skipped: " + why[i]});
}

std::string ExclusionProblem(const Text& key, const CaptureOptions& options) {
    const UserProfile user = CapturedProfile(options);
    return PlaceOfNamed(key, user) ? std::string() : Shown(key) + " names no key a package line reaches";
}

CaptureResult Capture(const MemoryPlatform& before, const MemoryPlatform& after, const CaptureOptions& options) {
    CaptureResult result;
    result.excluded = options.exclusions;
    const UserProfile user = CapturedProfile(options);
    std::vector<std::optional<PlacedKey>> excludedAt;
    for (const Exclusion& e : options.exclusions) excludedAt.push_back(PlaceOfNamed(e.key, user));
    ChangeSet machine, profile;
    std::vector<toolkit::KeyLocation> tops;
    for (const PlaceRule& rule : kPlaceRules) {
        const bool perUser = rule.kind == Users;
        PlaceWalk walk(rule, perUser ? &user : nullptr, result.excluded, excludedAt);
        tops.push_back(walk.Top());
        walk.Pair(before.FindKey(rule.root, walk.Top().path).get(), after.FindKey(rule.root, walk.Top().path).get(),
                  Text(), Sink{perUser ? &profile : &machine, nullptr});
    }
    const BeforeState state(before, tops);
    const auto named = [&](const Change& c) {
        Text path = toolkit::RootName(PlaceRuleOf(c.place).root) + u"\\" + PlaceKeyPath(PlaceRuleOf(c.place), &user, c.key);
        if (!options.user && PlaceRuleOf(c.place).kind == Users)
            path = Text(kCurrentUserKey) + path.substr(path.find(u'\\', path.find(u'\\') + 1));
        return Shown(path) + (c.kind == ChangeKind::SetValue || c.kind == ChangeKind::RemoveValue
                                  ? " value " + (c.valueName.empty() ? std::string("(default)")
                                                                      : "\"" + Shown(c.valueName) + "\"")
                                  : std::string());
    };
    const ChangeWriter writer{&result.package, &result.refused, named, nullptr};
    writer.WriteAll(machine.Changes(state));
    std::vector<Change> userChanges = profile.Changes(state);
    bool userHive = false, userClasses = false;
    for (Change& c : userChanges) {
        c.target = options.target;
        userHive = userHive || c.place == Place::UserHive;
        userClasses = userClasses || c.place == Place::UserClasses;
    }
    writer.WriteAll(userChanges);
    // Lines for one account by its name reach it only when the pass prepares
    // the profiles, which only group lines make it do.
    if (NeedsEveryProfile(options.target))
        result.package = GroupAnchorLines(userHive, userClasses) + result.package;
    NameUnreachedParts(before, after, options, &result.refused);
    return result;
}

}  // namespace km::pack
