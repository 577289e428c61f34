#include "pack/undo.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "toolkit/pass_account.h"
#include "toolkit/snapshot.h"
#include "engine/machine_policy.h"
#include "engine/package_language.h"
#include "platform/registry_case.h"
#include "platform/text.h"
#include "engine/per_user.h"
#include "pack/change_set.h"
#include "pack/package_line.h"

namespace km::pack {

namespace {

// The machine after the pass. A hive the pass loaded is read from its file,
// as the pass left it when it unloaded it.
class AfterState : public CurrentState {
public:
    AfterState(const MemoryPlatform& machine, const toolkit::PassAccount& account) : machine_(machine) {
        for (const toolkit::HiveLoad& load : account.loads)
            for (const auto& [file, tree] : machine.hiveFiles)
                if (EqualsIgnoreAsciiCase(file, load.file)) mounts_[RegistryFold(load.mountName)] = tree.get();
    }
    // The key's own name as it stands after the pass; none where it is gone.
    std::optional<Text> KeyName(const toolkit::KeyLocation& at) const override {
        if (const auto hive = InHive(at)) return hive->second ? std::optional<Text>(hive->second->name) : std::nullopt;
        return machine_.StoredName(at.root, at.path);
    }
    // The value, with its name as stored.
    std::optional<std::pair<Text, StoredValue>> Value(const toolkit::KeyLocation& at, const Text& name) const override {
        if (const auto hive = InHive(at)) {
            const auto* slot = hive->second ? hive->second->FindValueSlot(name) : nullptr;
            return slot ? std::optional<std::pair<Text, StoredValue>>(*slot) : std::nullopt;
        }
        return machine_.GetNamedValue(at.root, at.path, name);
    }

private:
    // For a key below a hive the pass loaded: that the key lies there, and
    // the key itself (null where it is not there).
    std::optional<std::pair<bool, const MemoryKey*>> InHive(const toolkit::KeyLocation& at) const {
        if (at.root != kHkeyUsers) return std::nullopt;
        const std::size_t cut = std::min(at.path.find(u'\\'), at.path.size());
        const auto mount = mounts_.find(RegistryFold(TextView(at.path).substr(0, cut)));
        if (mount == mounts_.end()) return std::nullopt;
        const MemoryKey* key = mount->second;
        TextView rest = cut < at.path.size() ? TextView(at.path).substr(cut + 1) : TextView();
        while (key && !rest.empty()) {
            const std::size_t end = std::min(rest.find(u'\\'), rest.size());
            key = key->FindSubkey(rest.substr(0, end)).get();
            rest = rest.substr(std::min(end + 1, rest.size()));
        }
        return std::pair<bool, const MemoryKey*>{true, key};
    }

    const MemoryPlatform& machine_;
    std::unordered_map<Text, const MemoryKey*> mounts_;
};

// What the pass touched in one scope, folded from its effects in the order
// they happened: the first touch of a key or value tells how it stood
// before, which is how undo is to leave it.
void AddTouched(ChangeSet& set, const toolkit::Effect& e, const UserProfile* profile) {
    // A value set to what it held changed nothing, and tells nothing a later touch would not.
    if (!toolkit::ChangesMachine(e)) return;
    // A place's top itself is no key a line makes or removes.
    const toolkit::KeyLocation key = profile ? e.key : AsClassesRoot(e.key);
    const std::optional<PlacedKey> at = PlaceOfKey(key.root, key.path, profile, AtTop::Excluded);
    if (!at) return;
    // A key the pass made is told so first; any other it touched was there.
    set.AddKey(*at, e.key, e.kind != toolkit::EffectKind::CreateKey);
    if (e.kind == toolkit::EffectKind::SetValue || e.kind == toolkit::EffectKind::DeleteValue)
        set.AddValue(*at, e.valueName, e.before);
}

// What the pass touched, the machine's and each profile's, folded as the
// pass finishes each record: its calls are let go then, and a large
// package's account is never held whole.
class TouchedKeeper : public toolkit::AccountReader {
public:
    void RecordDone(toolkit::PassAccount& account, std::size_t, const PackageRecord&) override {
        if (profiles.size() < account.profiles.size()) profiles.resize(account.profiles.size());
        for (const toolkit::Application& app : account.applications) {
            const UserProfile* profile = app.profile >= 0 ? &account.profiles[std::size_t(app.profile)] : nullptr;
            for (const toolkit::ObservedCall* call : toolkit::CallsOf(account, app))
                for (const toolkit::Effect& e : call->effects)
                    AddTouched(profile ? profiles[std::size_t(app.profile)] : machine, e, profile);
        }
    }

    ChangeSet machine;
    std::vector<ChangeSet> profiles;  // by profile
};

// Where a change lies, for reports and for the .reg file: a profile's keys
// as a line reaches them when it is logged on, under its SID.
struct Spelled {
    RegKey root;
    Text path;
};
Spelled Spell(const Change& c, const Text& sid) {
    UserProfile loggedOn;
    loggedOn.userHiveKey = sid;
    const PlaceRule& rule = PlaceRuleOf(c.place);
    return {rule.root, PlaceKeyPath(rule, &loggedOn, c.key)};
}

std::string Describe(const Change& c, const std::string& scope, const Text& sid) {
    const Spelled at = Spell(c, sid);
    std::string text = scope + ": " + Shown(toolkit::ChildPath(toolkit::RootName(at.root), at.path));
    if (c.kind == ChangeKind::SetValue || c.kind == ChangeKind::RemoveValue)
        text += " value " + (c.valueName.empty() ? std::string("(default)") : "\"" + Shown(c.valueName) + "\"");
    return text;
}

void AddRegSection(std::vector<toolkit::RegFileSection>& sections, const Change& c, const Text& sid) {
    const Spelled at = Spell(c, sid);
    const bool removal = c.kind == ChangeKind::RemoveKey;
    if (removal || sections.empty() || sections.back().remove || sections.back().root != at.root ||
        !SameRegistryName(sections.back().path, at.path)) {
        toolkit::RegFileSection section;
        section.root = at.root;
        section.path = at.path;
        section.remove = removal;
        sections.push_back(std::move(section));
    }
    if (c.kind == ChangeKind::SetValue || c.kind == ChangeKind::RemoveValue) {
        toolkit::RegFileValue value;
        value.name = c.valueName;
        value.remove = c.kind == ChangeKind::RemoveValue;
        value.value = StoredValue{c.type, c.data};
        sections.back().values.push_back(std::move(value));
    }
}

// The same machine, copied, so that the base stays as it is.
void CopyMachine(const MemoryPlatform& from, MemoryPlatform& to) {
    to.wow64Redirection = false;
    // In the order a snapshot of it loads in; a base that reads through stays so.
    from.CopyRegistryTo(to, &RegistryNameLess);
    to.CreateKey(kHkeyLocalMachine, u"SOFTWARE");
    to.CreateKey(kHkeyLocalMachine, u"SYSTEM");
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
    std::string note;
};

// How undo names a profile: by its SID; the default profile has none.
std::string ProfileName(const UserProfile& p) {
    return p.defaultProfile ? std::string("the default profile") : "profile " + Shown(p.sid);
}

// How many profiles hold each user name, folded: counted once, not for each profile.
using NameCounts = std::unordered_map<Text, int>;

NameCounts CountNames(const std::vector<ProfileScopes>& all) {
    NameCounts named;
    for (const ProfileScopes& s : all) ++named[FoldAsciiCase(s.profile.userName)];
    return named;
}

Reach ReachOf(const UserProfile& p, const NameCounts& named) {
    // Only All Users lines reach it, and they reach every other profile too.
    if (p.defaultProfile)
        return {false, {}, "the default profile: only " + ToUtf8(kAllUsersTarget) +
                               " lines reach it, and they reach every profile"};
    const int same = named.at(FoldAsciiCase(p.userName));
    const std::string who = Shown(p.sid);
    if (p.userName.empty()) return {false, {}, who + " has no user name a line can target"};
    if (same > 1)
        return {false, {}, who + ": its user name \"" + Shown(p.userName) + "\" is shared by " +
                               std::to_string(same) + " profiles, so no line reaches it alone"};
    if (const TargetRule* group = GroupTarget(p.userName)) {
        if (IsAllUsersTarget(group->target))
            return {false, {}, who + ": its user name \"" + Shown(p.userName) + "\" would reach every profile"};
        return {true, Text(group->target), who + " is reached as \"" + ToUtf8(group->target) + "\""};
    }
    if (PassedOverBy(p.userName, p) == PassedOverReason::UserNameTooLong)
        return {false, {}, who + ": its user name is longer than the " + std::to_string(kMaxAccountName) +
                               " characters a target can name"};
    // keymason-check's word on the name as a target: a line that reaches no
    // profile is an error there.
    Change probe;
    probe.kind = ChangeKind::RemoveValue;
    probe.place = Place::UserHive;
    probe.key = u"Keymason Target Probe";
    probe.target = p.userName;
    if (!WritePackageLine(probe).written)
        return {false, {}, who + ": its user name \"" + Shown(p.userName) + "\" cannot stand as a target"};
    return {true, p.userName,
            who + " is reached by its user name \"" + Shown(p.userName) +
                "\"; " + ToUtf8(kAllUsersTarget) + " lines that change nothing make the pass prepare every profile for it"};
}

// A hive file the pass loaded for the profile that the base does not hold, if any.
std::string HiveNotInBase(const std::vector<Text>& baseHives, const toolkit::PassAccount& account,
                          std::size_t profile, HiveKindName kind) {
    for (const toolkit::HiveLoad& load : account.loads) {
        if (load.profile != profile || load.kind != kind) continue;
        bool held = false;  // file paths are matched ignoring letter case
        for (const Text& hive : baseHives) held = held || EqualsIgnoreAsciiCase(hive, load.file);
        if (!held) return Shown(load.file);
    }
    return std::string();
}

// Names a .reg file reads back: no NUL (it would end them) and no line break.
bool RegFileCarries(const Change& c) {
    for (const Text* text : {&c.key, &c.valueName})
        if (text->find_first_of(TextView(u"\0\r\n", 3)) != Text::npos) return false;
    return true;
}

// What the pass touched, as the changes that put it back: the machine's, and
// each profile's in its user hive and its classes.
struct Restorations {
    std::vector<Change> machine;
    std::vector<ProfileScopes> profiles;
};

Restorations RestorationsOf(MemoryPlatform& after, const toolkit::PassAccount& account,
                            const TouchedKeeper& touched) {
    Restorations out;
    for (std::size_t p = 0; p < account.profiles.size(); ++p)
        out.profiles.push_back(ProfileScopes{account.profiles[p],
                                             p < account.reach.size() && account.reach[p] == ProfileReach::LoggedOn,
                                             {},
                                             {}});
    const AfterState state(after, account);
    out.machine = touched.machine.Changes(state);
    for (std::size_t p = 0; p < out.profiles.size() && p < touched.profiles.size(); ++p)
        for (Change& c : touched.profiles[p].Changes(state))
            (c.place == Place::UserClasses ? out.profiles[p].classesChanges : out.profiles[p].userChanges)
                .push_back(std::move(c));
    return out;
}

// Writes the undo's lines and .reg sections, and names what cannot be put back.
struct UndoWriter {
    UndoResult& result;

    // A .reg file holds any type: what a package line cannot carry still goes
    // there, unless a name would not read back from it; `regSids` are the
    // logged-on profiles it is written for (an empty SID: the machine's).
    void EmitAll(const std::vector<Change>& changes, const std::string& scope, const Text& sid,
                 const std::vector<Text>& regSids) {
        ChangeWriter writer{&result.package, &result.unrestorable,
                            [&](const Change& c) { return Describe(c, scope, sid); }, nullptr};
        if (!regSids.empty())
            writer.after = [&](const Change& change, bool written) {
                for (const Text& regSid : regSids) AddToReg(change, regSid, written);
            };
        writer.WriteAll(changes);
    }
    void AddToReg(const Change& change, const Text& sid, bool written) {
        const bool restores = change.kind == ChangeKind::SetValue || change.kind == ChangeKind::CreateKey;
        if (written || (restores && RegFileCarries(change))) AddRegSection(result.regFile, change, sid);
    }
};

// Which group anchor lines the profiles reached by user name need.
struct Anchors {
    bool user = false;
    bool classes = false;
};

// Why what the package changes in a profile is unknown; empty where it is known.
std::string UnknownProfile(const ProfileScopes& s, const toolkit::PassAccount& account,
                           const std::map<Text, std::string>& notInspected) {
    for (const auto* unreadable : {&notInspected, &account.notInspected})
        if (const auto unread = unreadable->find(s.profile.sid); unread != unreadable->end())
            return ProfileName(s.profile) + ": not inspected (" + unread->second +
                   "): what the package changes there is unknown";
    return std::string();
}

// A hive of a profile not logged on that the base lacks: what the package
// changes in it is unknown, and named; the profile's other hive is still put back.
void DropHivesNotInBase(ProfileScopes& s, std::size_t index, const std::vector<Text>& baseHives,
                        const toolkit::PassAccount& account, std::vector<std::string>* unrestorable) {
    if (s.loggedOn) return;
    for (const auto& [kind, changes] : {std::pair{HiveKindName::User, &s.userChanges},
                                        std::pair{HiveKindName::Classes, &s.classesChanges}}) {
        const std::string missing = HiveNotInBase(baseHives, account, index, kind);
        if (missing.empty()) continue;
        unrestorable->push_back(ProfileName(s.profile) + ": not logged on, and its hive " + missing +
                                " is not in the base: what the package changes there is unknown");
        changes->clear();
    }
}

bool SameChange(const Change& a, const Change& b) {
    return a.kind == b.kind && a.place == b.place && a.key == b.key && a.valueName == b.valueName &&
           a.type == b.type && a.data == b.data;
}

// The default profile is reached only by All Users lines, which reach every
// profile too: its changes are put back when the package changed every
// profile's own hive alike (the usual install into profiles that lacked it),
// by All Users lines in place of each profile's own.
void UndoAlike(UndoWriter& writer, std::vector<ProfileScopes>& profiles) {
    const auto reached = std::find_if(profiles.begin(), profiles.end(),
                                      [](const ProfileScopes& s) { return s.profile.defaultProfile; });
    if (reached == profiles.end() || reached->userChanges.empty()) return;
    std::vector<Change> changes = reached->userChanges;
    for (const ProfileScopes& s : profiles)
        if (!std::equal(s.userChanges.begin(), s.userChanges.end(), changes.begin(), changes.end(), SameChange))
            return;
    for (Change& c : changes) c.target = Text(kAllUsersTarget);
    std::vector<Text> loggedOn;
    for (ProfileScopes& s : profiles) {
        if (s.loggedOn) loggedOn.push_back(s.profile.sid);
        s.userChanges.clear();
    }
    writer.EmitAll(changes, "every profile", Text(), loggedOn);
    writer.result.notes.push_back("every profile and the default profile: the package changed each alike; " +
                                  ToUtf8(kAllUsersTarget) + " lines put them back while the machine policy " +
                                  ToUtf8(kDefaultProfilePolicyValue) + " is on");
}

// One profile's changes, with the target that reaches it, or each named with
// why no line can.
void UndoProfile(UndoWriter& writer, ProfileScopes& s, const NameCounts& named, Anchors& anchors) {
    if (s.userChanges.empty() && s.classesChanges.empty()) return;
    const Reach reach = ReachOf(s.profile, named);
    writer.result.notes.push_back(reach.note);
    const std::string scope = ProfileName(s.profile);
    for (std::vector<Change>* changes : {&s.userChanges, &s.classesChanges}) {
        for (Change& c : *changes) c.target = reach.target;
        if (reach.reachable) {
            writer.EmitAll(*changes, scope, s.profile.sid,
                           s.loggedOn ? std::vector<Text>{s.profile.sid} : std::vector<Text>());
            continue;
        }
        // A logged-on profile's keys are in the .reg file under its SID, which
        // reaches it whatever its user name.
        for (const Change& c : *changes) {
            const bool inReg = s.loggedOn && RegFileCarries(c);
            writer.result.unrestorable.push_back(Describe(c, scope, s.profile.sid) + ": " + reach.note +
                                                 (inReg ? "; the .reg file puts it back" : ""));
            if (inReg) AddRegSection(writer.result.regFile, c, s.profile.sid);
        }
    }
    if (reach.reachable && NeedsEveryProfile(reach.target)) {
        // A logged-on profile needs only some group for the list to be built.
        anchors.user = anchors.user || !s.userChanges.empty() || s.loggedOn;
        anchors.classes = anchors.classes || (!s.classesChanges.empty() && !s.loggedOn);
    }
}

}  // namespace

UndoResult PlanUndo(const MemoryPlatform& base, const std::string& packageBytes,
                    const std::map<Text, std::string>& notInspected) {
    MemoryPlatform machine;
    CopyMachine(base, machine);
    return PlanUndoIn(machine, packageBytes, notInspected);
}

UndoResult PlanUndoIn(MemoryPlatform& after, const std::string& packageBytes,
                      const std::map<Text, std::string>& notInspected) {
    UndoResult result;
    // The pass's own account of what it touched: undo puts back exactly that.
    TouchedKeeper touched;
    const toolkit::PassAccount account = toolkit::RunAccountedPass(after, packageBytes, touched);
    if (account.exitCode != 0 || !account.finished) {
        result.notMade = "the pass stopped before the package's last line (exit code " +
                         std::to_string(account.exitCode) + ")";
        return result;
    }
    // The pass adds no hive file; a base that reads through gains those it read.
    std::vector<Text> baseHives;
    for (const auto& hive : after.hiveFiles) baseHives.push_back(hive.first);
    Restorations restore = RestorationsOf(after, account, touched);

    UndoWriter writer{result};
    writer.EmitAll(restore.machine, "machine", Text(), {Text()});
    Anchors anchors;
    std::vector<bool> known(restore.profiles.size(), true);
    for (std::size_t index = 0; index < restore.profiles.size(); ++index) {
        ProfileScopes& s = restore.profiles[index];
        if (const std::string unknown = UnknownProfile(s, account, notInspected); !unknown.empty()) {
            result.unrestorable.push_back(unknown);
            known[index] = false;
            continue;
        }
        DropHivesNotInBase(s, index, baseHives, account, &result.unrestorable);
    }
    if (std::find(known.begin(), known.end(), false) == known.end()) UndoAlike(writer, restore.profiles);
    const NameCounts named = CountNames(restore.profiles);
    for (std::size_t index = 0; index < restore.profiles.size(); ++index)
        if (known[index]) UndoProfile(writer, restore.profiles[index], named, anchors);
    // First, so that the profiles are prepared before any line for them.
    result.package = GroupAnchorLines(anchors.user, anchors.classes) + result.package;
    return result;
}

}  // namespace km::pack
