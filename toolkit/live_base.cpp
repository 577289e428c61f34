#include "toolkit/live_base.h"

#include "toolkit/snapshot.h"
#include "engine/machine_policy.h"
#include "engine/package_file.h"
#include "engine/windows_facts.h"
#include "platform/text.h"

namespace km::toolkit {

namespace {

Text Join(const Text& a, const Text& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return a + u"\\" + b;
}

// Where copied keys go: the base's registry below a root, or a hive tree.
struct Sink {
    MemoryPlatform* platform = nullptr;
    RegKey root = 0;
    std::shared_ptr<MemoryKey> tree;

    void Key(const Text& path) const {
        if (platform) platform->CreateKey(root, path);
        else EnsureTreeKey(tree, path);
    }
    void Value(const Text& path, const Text& name, const StoredValue& value) const {
        if (platform) platform->SetValue(root, path, name, value.type, value.data);
        else SetTreeValue(*EnsureTreeKey(tree, path), name, value);
    }
};

// Copies a key's values, with every key above it that exists, and with its
// whole subtree when `deep` (what a key removal would lose).
void CopyKey(KeySource& source, const Sink& sink, const Text& path, bool deep, bool withAncestors) {
    if (withAncestors) {
        Text prefix;
        std::size_t from = 0;
        while (true) {
            const std::size_t cut = path.find(u'\\', from);
            if (cut == Text::npos) break;
            prefix = path.substr(0, cut);
            KeyContents above;
            if (!source.ReadKey(prefix, &above)) return;  // nothing below a missing key
            if (!prefix.empty()) sink.Key(prefix);
            from = cut + 1;
        }
    }
    KeyContents contents;
    if (!source.ReadKey(path, &contents)) return;
    if (!path.empty()) sink.Key(path);
    for (const auto& value : contents.values) sink.Value(path, value.first, value.second);
    if (deep)
        for (const Text& sub : contents.subkeys) CopyKey(source, sink, Join(path, sub), true, false);
}

struct Profile {
    Text sid;
    Text path;  // ProfileImagePath as stored
};

std::vector<Profile> CopyProfileList(KeySource& machine, MemoryPlatform& base) {
    std::vector<Profile> profiles;
    KeyContents list;
    const Text listPath(kProfileListPath);
    CopyKey(machine, Sink{&base, kHkeyLocalMachine, nullptr}, listPath, false, true);
    if (!machine.ReadKey(listPath, &list)) return profiles;
    for (const Text& sid : list.subkeys) {
        const Text key = listPath + u"\\" + sid;
        CopyKey(machine, Sink{&base, kHkeyLocalMachine, nullptr}, key, false, false);
        if (IsServiceAccount(sid)) continue;
        Profile profile{sid, Text()};
        if (auto path = base.GetValue(kHkeyLocalMachine, key, Text(kProfileImagePath))) profile.path = TextUpToNul(path->data);
        profiles.push_back(profile);
    }
    return profiles;
}

bool RemovesTree(const PackageRecord& record) { return record.keyOnly == 1 && record.remove == 1; }

void NoteNotInspected(std::map<Text, std::string>* notInspected, const Text& sid, const std::string& why) {
    std::string& reasons = (*notInspected)[sid];
    reasons += (reasons.empty() ? "" : "; ") + why;
}

// A logged-on profile: its hive is reached under the SID, its classes below
// Software\Classes.
void CopyLoggedOnProfile(KeySource& users, MemoryPlatform& base, const Text& sid, const RecordList& records) {
    base.CreateKey(kHkeyUsers, sid);
    for (const PackageRecord& record : records) {
        if (record.rootKind != Users) continue;
        const Text inHive = record.classesKey == 1 ? Text(kClassesBranch) + record.keyPath : record.keyPath;
        CopyKey(users, Sink{&base, kHkeyUsers, nullptr}, Join(sid, inHive), RemovesTree(record), true);
    }
}

// The user or classes hive file of a profile that is not logged on, as the
// base's hive file.
void CopyHiveFile(LiveRegistry& registry, MemoryPlatform& base, const Profile& profile, bool classes,
                  const RecordList& records, std::map<Text, std::string>* notInspected) {
    const Text file = profile.path + Text(classes ? kClassesHiveInProfile : kUserHiveInProfile);
    std::string why;
    auto hive = registry.LoadHiveFile(registry.ExpandEnvironment(file), &why);
    if (!hive) {
        NoteNotInspected(notInspected, profile.sid, ToUtf8(file) + ": " + why);
        return;
    }
    // A load that succeeds but leaves the hive unreadable (Wine's, for
    // one) would pass for an empty hive, and a plan or an undo made
    // on it would be wrong: such a profile is not inspected.
    KeyContents top;
    if (!hive->ReadKey(Text(), &top)) {
        NoteNotInspected(notInspected, profile.sid, ToUtf8(file) + ": loaded, but its keys cannot be read");
        return;
    }
    auto tree = std::make_shared<MemoryKey>();
    tree->name = HiveFileKeyName(file);
    for (const PackageRecord& record : records) {
        if (record.rootKind != Users || (record.classesKey == 1) != classes) continue;
        CopyKey(*hive, Sink{nullptr, 0, tree}, record.keyPath, RemovesTree(record), true);
    }
    base.hiveFiles[file] = tree;
}

}  // namespace

void CollectLiveBase(LiveRegistry& registry, std::string_view packageBytes, MemoryPlatform& base,
                     std::map<Text, std::string>* notInspected) {
    const RecordList records = DecodeAll(ParsePackage(packageBytes).lines);

    base.CreateKey(kHkeyLocalMachine, u"SOFTWARE");
    base.CreateKey(kHkeyLocalMachine, u"SYSTEM");
    auto machine = registry.Root(kHkeyLocalMachine);
    const std::vector<Profile> profiles = CopyProfileList(*machine, base);
    // The machine's own policy, which the accounted pass takes from the base, and the
    // drive the profile list's Default folder names.
    CopyKey(*machine, Sink{&base, kHkeyLocalMachine, nullptr}, kMachinePolicyKey, false, true);
    base.environment["SystemDrive"] = registry.ExpandEnvironment(u"%SystemDrive%");

    bool perUser = false, userHive = false, classesHive = false;
    for (const PackageRecord& record : records) {
        if (record.rootKind != Users) {
            auto source = record.rootKind == ClassesRoot ? registry.Root(kHkeyClassesRoot) : registry.Root(kHkeyLocalMachine);
            CopyKey(*source, Sink{&base, record.rootKey, nullptr}, record.keyPath, RemovesTree(record), true);
            continue;
        }
        perUser = true;
        (record.classesKey == 1 ? classesHive : userHive) = true;
    }
    if (!perUser) return;

    auto users = registry.Root(kHkeyUsers);
    for (const Profile& profile : profiles) {
        KeyContents top;
        if (!profile.sid.empty() && users->ReadKey(profile.sid, &top)) {
            CopyLoggedOnProfile(*users, base, profile.sid, records);
            continue;
        }
        for (const bool classes : {false, true})
            if ((classes ? classesHive : userHive) && !profile.path.empty())
                CopyHiveFile(registry, base, profile, classes, records, notInspected);
    }
    // The default profile has no SID and only its user hive is reached.
    const auto policy = base.GetValue(kHkeyLocalMachine, kMachinePolicyKey, kDefaultProfilePolicyValue);
    const auto folder = base.GetValue(kHkeyLocalMachine, Text(kProfileListPath), Text(kDefaultProfileFolder));
    if (policy && folder && userHive)
        CopyHiveFile(registry, base, Profile{Text(), registry.ExpandEnvironment(TextUpToNul(folder->data))}, false,
                     records, notInspected);
}

}  // namespace km::toolkit
