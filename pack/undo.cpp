#include "pack/undo.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "toolkit/snapshot.h"
#include "engine/package_file.h"
#include "engine/package_language.h"
#include "platform/text.h"
#include "engine/update_pass.h"
#include "engine/user_profiles.h"
#include "engine/windows_facts.h"
#include "pack/package_line.h"

namespace km::pack {

namespace {

// A key with what lies below it, as it stood at one moment.
struct Node {
    Text name;
    std::vector<std::pair<Text, StoredValue>> values;
    std::vector<Node> subkeys;
};

Text Join(const Text& path, const Text& name) { return path.empty() ? name : path + u"\\" + name; }

// The key at root\path as the platform shows it; `skip` (below the key) is left out.
Node ReadNode(const MemoryPlatform& sys, RegKey root, const Text& path, const Text& relative, TextView skip) {
    Node node;
    for (const Text& name : sys.ValueNames(root, path))
        if (auto value = sys.GetValue(root, path, name)) node.values.emplace_back(name, *value);
    for (const Text& name : sys.SubkeyNames(root, path)) {
        const Text below = Join(relative, name);
        if (!skip.empty() && EqualsIgnoreAsciiCase(below, skip)) continue;
        Node sub = ReadNode(sys, root, Join(path, name), below, skip);
        sub.name = name;
        node.subkeys.push_back(std::move(sub));
    }
    return node;
}

Node NodeOf(const MemoryKey& key) {
    Node node;
    node.name = key.name;
    node.values = key.values;
    for (const auto& sub : key.subkeys) node.subkeys.push_back(NodeOf(*sub));
    return node;
}

const MemoryKey* HiveFile(const MemoryPlatform& sys, const Text& path) {
    for (const auto& [file, tree] : sys.hiveFiles)
        if (EqualsIgnoreAsciiCase(file, path)) return tree.get();
    return nullptr;
}

// A scope's top key: none where it does not exist.
std::optional<Node> ScopeNode(const MemoryPlatform& sys, RegKey root, const Text& path, TextView skip) {
    if (!sys.KeyExists(root, path)) return std::nullopt;
    return ReadNode(sys, root, path, Text(), skip);
}

std::optional<Node> HiveNode(const MemoryPlatform& sys, const Text& path) {
    const MemoryKey* tree = HiveFile(sys, path);
    if (!tree) return std::nullopt;
    return NodeOf(*tree);
}

// Folded name -> position; the registry holds no two names that fold alike.
template <class Item, class Name>
std::unordered_map<Text, std::size_t> IndexByName(const std::vector<Item>& items, Name name) {
    std::unordered_map<Text, std::size_t> index;
    index.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) index.emplace(FoldAsciiCase(name(items[i])), i);
    return index;
}

std::size_t Depth(const Text& path) {
    return path.empty() ? 0 : std::size_t(std::count(path.begin(), path.end(), u'\\')) + 1;
}

// The changes that put `before` back, in the order they must run: keys and
// values restored top down, values the package made removed, then the keys
// it made removed, deepest first.
struct Restoration {
    std::vector<Change> restores, valueRemovals, keyRemovals;

    // The key-only line comes first; it is dropped where the value line after
    // it is written and so makes the key.
    void Recreate(const Node& node, const Text& path) {
        restores.push_back(Key(ChangeKind::CreateKey, path));
        for (const auto& [name, value] : node.values) restores.push_back(Set(path, name, value));
        for (const Node& sub : node.subkeys) Recreate(sub, Join(path, sub.name));
    }
    void RemoveCreated(const Node& node, const Text& path) {
        keyRemovals.push_back(Key(ChangeKind::RemoveKey, path));
        for (const Node& sub : node.subkeys) RemoveCreated(sub, Join(path, sub.name));
    }
    // Names are matched through indexes: a key of many values stays linear.
    void Diff(const Node& before, const Node& after, const Text& path) {
        const auto beforeValues = IndexByName(before.values, [](const auto& v) -> const Text& { return v.first; });
        const auto afterValues = IndexByName(after.values, [](const auto& v) -> const Text& { return v.first; });
        for (const auto& [name, value] : before.values) {
            const auto now = afterValues.find(FoldAsciiCase(name));
            if (now == afterValues.end() || !(after.values[now->second].second == value))
                restores.push_back(Set(path, name, value));
        }
        for (const auto& [name, value] : after.values)
            if (!beforeValues.count(FoldAsciiCase(name))) {
                Change c = Key(ChangeKind::RemoveValue, path);
                c.valueName = name;
                valueRemovals.push_back(c);
            }
        const auto beforeKeys = IndexByName(before.subkeys, [](const Node& n) -> const Text& { return n.name; });
        const auto afterKeys = IndexByName(after.subkeys, [](const Node& n) -> const Text& { return n.name; });
        for (const Node& sub : before.subkeys) {
            const auto now = afterKeys.find(FoldAsciiCase(sub.name));
            if (now != afterKeys.end())
                Diff(sub, after.subkeys[now->second], Join(path, sub.name));
            else
                Recreate(sub, Join(path, sub.name));
        }
        for (const Node& sub : after.subkeys)
            if (!beforeKeys.count(FoldAsciiCase(sub.name))) RemoveCreated(sub, Join(path, sub.name));
    }
    std::vector<Change> InOrder() const {
        std::vector<Change> all = restores;
        all.insert(all.end(), valueRemovals.begin(), valueRemovals.end());
        std::vector<Change> keys = keyRemovals;
        std::stable_sort(keys.begin(), keys.end(),
                         [](const Change& a, const Change& b) { return Depth(a.key) > Depth(b.key); });
        all.insert(all.end(), keys.begin(), keys.end());
        return all;
    }
    static Change Key(ChangeKind kind, const Text& path) {
        Change c;
        c.kind = kind;
        c.key = path;
        return c;
    }
    static Change Set(const Text& path, const Text& name, const StoredValue& value) {
        Change c = Key(ChangeKind::SetValue, path);
        c.valueName = name;
        c.type = value.type;
        c.data = value.data;
        return c;
    }
};

std::vector<Change> Differences(const std::optional<Node>& before, const std::optional<Node>& after,
                                Place place) {
    Restoration r;
    if (before && after)
        r.Diff(*before, *after, Text());
    else if (before)
        r.Recreate(*before, Text());
    else if (after)
        r.RemoveCreated(*after, Text());
    std::vector<Change> changes = r.InOrder();
    for (Change& c : changes) c.place = place;
    return changes;
}

// Where a change lies, for reports and for the .reg file.
struct Spelled {
    RegKey root;
    Text path;
};
Spelled Spell(const Change& c, const Text& sid) {
    switch (c.place) {
        case Place::MachineSoftware: return {kHkeyLocalMachine, Join(u"SOFTWARE", c.key)};
        case Place::MachineSystem: return {kHkeyLocalMachine, Join(u"SYSTEM", c.key)};
        case Place::ClassesRoot: return {kHkeyClassesRoot, c.key};
        case Place::UserHive: return {kHkeyUsers, Join(sid, c.key)};
        case Place::UserClasses: return {kHkeyUsers, Join(sid + u"\\Software\\Classes", c.key)};
    }
    return {kHkeyLocalMachine, c.key};
}

std::string Describe(const Change& c, const std::string& scope, const Text& sid) {
    const Spelled at = Spell(c, sid);
    std::string text = scope + ": " + ToUtf8(Join(check::RootName(at.root), at.path));
    if (c.kind == ChangeKind::SetValue || c.kind == ChangeKind::RemoveValue)
        text += " value " + (c.valueName.empty() ? std::string("(default)") : "\"" + ToUtf8(c.valueName) + "\"");
    return text;
}

void AddRegSection(std::vector<check::RegFileSection>& sections, const Change& c, const Text& sid) {
    const Spelled at = Spell(c, sid);
    const bool removal = c.kind == ChangeKind::RemoveKey;
    if (removal || sections.empty() || sections.back().remove || sections.back().root != at.root ||
        !EqualsIgnoreAsciiCase(sections.back().path, at.path)) {
        check::RegFileSection section;
        section.root = at.root;
        section.path = at.path;
        section.remove = removal;
        sections.push_back(std::move(section));
    }
    if (c.kind == ChangeKind::SetValue || c.kind == ChangeKind::RemoveValue) {
        check::RegFileValue value;
        value.name = c.valueName;
        value.remove = c.kind == ChangeKind::RemoveValue;
        value.value = StoredValue{c.type, c.data};
        sections.back().values.push_back(std::move(value));
    }
}

// The same machine, copied, so that the base stays as it is.
void CopyMachine(const MemoryPlatform& from, MemoryPlatform& to) {
    to.wow64Redirection = false;
    check::RegFile copy;
    copy.sections = check::SnapshotSections(from);
    check::LoadSnapshot(copy, to, nullptr);
}

struct ProfileScopes {
    UserProfile profile;
    bool loggedOn = false;
    std::vector<Change> userChanges, classesChanges;
};

// How a profile's lines reach it alone: its target, or why none can.
struct Reach {
    bool reachable = false;
    Text target;
    bool byName = false;  // needs the All Users anchor to be prepared
    std::string note;
};

Reach ReachOf(const UserProfile& p, const std::vector<ProfileScopes>& all) {
    const auto same = std::count_if(all.begin(), all.end(), [&](const ProfileScopes& o) {
        return EqualsIgnoreAsciiCase(o.profile.userName, p.userName);
    });
    const std::string who = ToUtf8(p.sid);
    if (p.userName.empty()) return {false, {}, false, who + " has no user name a line can target"};
    if (same > 1)
        return {false, {}, false, who + ": its user name \"" + ToUtf8(p.userName) + "\" is shared by " +
                                      std::to_string(same) + " profiles, so no line reaches it alone"};
    if (const TargetRule* group = GroupTarget(p.userName)) {
        if (IsAllUsersTarget(group->target))
            return {false, {}, false, who + ": its user name \"" + ToUtf8(p.userName) + "\" would reach every profile"};
        return {true, Text(group->target), false, who + " is reached as \"" + ToUtf8(group->target) + "\""};
    }
    if (p.userName.size() > kMaxAccountName)
        return {false, {}, false, who + ": its user name is longer than the 20 characters a target can name"};
    // keymason-check's word on the name as a target: a line that reaches no
    // profile is an error there.
    Change probe;
    probe.kind = ChangeKind::RemoveValue;
    probe.place = Place::UserHive;
    probe.key = u"Keymason Target Probe";
    probe.target = p.userName;
    if (!WritePackageLine(probe).written)
        return {false, {}, false, who + ": its user name \"" + ToUtf8(p.userName) + "\" cannot stand as a target"};
    return {true, p.userName, true,
            who + " is reached by its user name \"" + ToUtf8(p.userName) +
                "\"; " + ToUtf8(kAllUsersTarget) + " lines that change nothing make the pass prepare every profile for it"};
}

// The profiles the pass prepared, hives marked as loaded.
struct PreparedProfiles : PassObserver {
    void ProfilesPrepared(const ProfileList& list) override { profiles = list; }
    void ApplicationStarts(std::size_t, int) override {}
    void RecordsEnd() override {}
    ProfileList profiles;
};

// A hive file the pass loads for the profile that the base does not hold, if any.
std::string HiveNotInBase(const MemoryPlatform& base, const ProfileScopes& s, const ProfileList& prepared) {
    if (s.loggedOn) return std::string();
    for (const UserProfile& p : prepared) {
        if (p.sid != s.profile.sid) continue;
        for (const auto& [mounted, inProfile] : {std::pair{p.userHiveMounted, kUserHiveInProfile},
                                                 std::pair{p.classesHiveMounted, kClassesHiveInProfile}})
            if (mounted == 1 && !HiveFile(base, p.profilePath + Text(inProfile)))
                return ToUtf8(p.profilePath + Text(inProfile));
    }
    return std::string();
}

// Names a .reg file reads back: no NUL (it would end them) and no line break.
bool RegFileCarries(const Change& c) {
    for (const Text* text : {&c.key, &c.valueName})
        if (text->find_first_of(TextView(u"\0\r\n", 3)) != Text::npos) return false;
    return true;
}

}  // namespace

UndoResult PlanUndo(const MemoryPlatform& base, const std::string& packageBytes,
                    const std::map<Text, std::string>& notInspected) {
    UndoResult result;
    MemoryPlatform before, after;
    CopyMachine(base, before);
    CopyMachine(base, after);

    // As a 32-bit Keymason on 64-bit Windows, in the 64-bit view.
    std::vector<ProfileScopes> profiles;
    if (ParsePackage(packageBytes).targetGroups != 0)
        for (const UserProfile& p : BuildProfileList(before, 1))
            profiles.push_back(ProfileScopes{p, before.KeyExists(kHkeyUsers, p.sid) && !p.sid.empty(), {}, {}});

    PreparedProfiles prepared;
    PassSettings settings;
    settings.isWow64 = 1;
    settings.observer = &prepared;
    RunUpdatePass(after, PassPackage{nullptr, &packageBytes}, settings);

    std::vector<std::pair<Change, Text>> machine;  // with the SID for spelling: none here
    for (const auto& [place, root, path] :
         {std::tuple{Place::MachineSoftware, kHkeyLocalMachine, Text(u"SOFTWARE")},
          std::tuple{Place::MachineSystem, kHkeyLocalMachine, Text(u"SYSTEM")},
          std::tuple{Place::ClassesRoot, kHkeyClassesRoot, Text()}})
        for (const Change& c : Differences(ScopeNode(before, root, path, TextView()),
                                           ScopeNode(after, root, path, TextView()), place))
            machine.emplace_back(c, Text());

    for (ProfileScopes& s : profiles) {
        const UserProfile& p = s.profile;
        if (s.loggedOn) {
            s.userChanges = Differences(ScopeNode(before, kHkeyUsers, p.sid, kClassesKeyPath),
                                        ScopeNode(after, kHkeyUsers, p.sid, kClassesKeyPath), Place::UserHive);
            const Text classes = p.sid + u"\\" + Text(kClassesKeyPath);
            s.classesChanges = Differences(ScopeNode(before, kHkeyUsers, classes, TextView()),
                                           ScopeNode(after, kHkeyUsers, classes, TextView()), Place::UserClasses);
        } else {
            const Text user = p.profilePath + Text(kUserHiveInProfile), classes = p.profilePath + Text(kClassesHiveInProfile);
            s.userChanges = Differences(HiveNode(before, user), HiveNode(after, user), Place::UserHive);
            s.classesChanges = Differences(HiveNode(before, classes), HiveNode(after, classes), Place::UserClasses);
        }
    }

    // A .reg file holds any type: what a package line cannot carry still goes
    // there, unless a name would not read back from it.
    auto emit = [&](const Change& change, const std::string& scope, const Text& sid, bool toReg) {
        const LineResult line = WritePackageLine(change);
        if (!line.written) result.unrestorable.push_back(Describe(change, scope, sid) + ": " + line.reason);
        else result.package += line.line;
        const bool restores = change.kind == ChangeKind::SetValue || change.kind == ChangeKind::CreateKey;
        if (toReg && (line.written || (restores && RegFileCarries(change)))) AddRegSection(result.regFile, change, sid);
        return line.written;
    };
    // A key-only line that a written value line after it makes redundant.
    auto redundant = [](const std::vector<Change>& changes, std::size_t i) {
        const Change& c = changes[i];
        if (c.kind != ChangeKind::CreateKey || i + 1 >= changes.size()) return false;
        const Change& next = changes[i + 1];
        return next.kind == ChangeKind::SetValue && next.place == c.place && next.key == c.key &&
               WritePackageLine(next).written;
    };
    {
        std::vector<Change> changes;
        for (const auto& entry : machine) changes.push_back(entry.first);
        for (std::size_t i = 0; i < changes.size(); ++i)
            if (!redundant(changes, i)) emit(changes[i], "machine", Text(), true);
    }

    bool anchorUser = false, anchorClasses = false;
    std::string anchors;
    for (ProfileScopes& s : profiles) {
        const auto unread = notInspected.find(s.profile.sid);
        if (unread != notInspected.end()) {
            result.unrestorable.push_back("profile " + ToUtf8(s.profile.sid) + ": not inspected (" +
                                          unread->second + "): what the package changes there is unknown");
            continue;
        }
        if (const std::string missing = HiveNotInBase(before, s, prepared.profiles); !missing.empty()) {
            result.unrestorable.push_back("profile " + ToUtf8(s.profile.sid) + ": not logged on, and its hive " +
                                          missing + " is not in the base: what the package changes there is unknown");
            continue;
        }
        if (s.userChanges.empty() && s.classesChanges.empty()) continue;
        const Reach reach = ReachOf(s.profile, profiles);
        result.notes.push_back(reach.note);
        const std::string scope = "profile " + ToUtf8(s.profile.sid);
        for (std::vector<Change>* changes : {&s.userChanges, &s.classesChanges}) {
            for (Change& c : *changes) c.target = reach.target;
            for (std::size_t i = 0; i < changes->size(); ++i) {
                if (!reach.reachable) {
                    result.unrestorable.push_back(Describe((*changes)[i], scope, s.profile.sid) + ": " + reach.note);
                    continue;
                }
                if (!redundant(*changes, i)) emit((*changes)[i], scope, s.profile.sid, s.loggedOn);
            }
        }
        if (reach.reachable && reach.byName) {
            // A logged-on profile needs only some group for the list to be built.
            anchorUser = anchorUser || !s.userChanges.empty() || s.loggedOn;
            anchorClasses = anchorClasses || (!s.classesChanges.empty() && !s.loggedOn);
        }
    }
    for (const auto& [wanted, place] :
         {std::pair{anchorUser, Place::UserHive}, std::pair{anchorClasses, Place::UserClasses}})
        if (wanted) anchors += GroupAnchorLine(place);
    // First, so that the profiles are prepared before any line for them.
    result.package = anchors + result.package;
    return result;
}

}  // namespace km::pack
