#include "check/plan.h"

#include <algorithm>

#include "check/observed_platform.h"
#include "check/probe_platform.h"
#include "toolkit/snapshot.h"
#include "check/value_text.h"
#include "engine/apply_record.h"
#include "engine/package_file.h"
#include "engine/package_language.h"
#include "engine/per_user.h"
#include "engine/update_pass.h"
#include "engine/value_encoding.h"
#include "engine/windows_facts.h"
#include "platform/text.h"

namespace km::check {

namespace {

// The pass runs as on 64-bit Windows, in the 64-bit view.
constexpr std::int32_t kIsWow64 = 1;

using Counts = PlanCounts;

// One application of one record: at a machine root, or for one profile.
struct Expected {
    std::size_t record = 0;
    int profile = -1;     // index into the prepared list; -1 for a machine root
    KeyLocation raw;      // root and path as the engine passes them
    bool refused = false;  // the engine issues no call for it
    const std::vector<const ObservedCall*>* calls = nullptr;
};

// Everything known about one profile before the pass.
struct ProfileFacts {
    UserProfile profile;  // as the pass prepared it
    std::string label;
    bool loggedOn = false;
    std::string notInspected;  // why its hive could not be read, if so
    std::vector<std::string> missingHives;  // hive files the pass loads but the base lacks
};

std::string U8(TextView text) { return ToUtf8(text); }

// "NTUSER.DAT" from "\\NTUSER.DAT".
std::string FileName(TextView pathInProfile) { return U8(pathInProfile.substr(pathInProfile.rfind(u'\\') + 1)); }

bool SameLocation(const std::optional<KeyLocation>& a, const std::optional<KeyLocation>& b) {
    if (!a || !b) return !a && !b;
    return a->root == b->root && EqualsIgnoreAsciiCase(a->path, b->path);
}

std::string ValueRef(const Effect& e) {
    return U8(FullPath(e.key)) + " " + (e.valueName.empty() ? std::string("(default)") : QuotedText(e.valueName));
}

std::string EffectLine(const Effect& e, Counts& counts) {
    switch (e.kind) {
        case EffectKind::CreateKey:
            ++counts.keysCreated;
            return "create key " + U8(FullPath(e.key));
        case EffectKind::DeleteKey:
            ++counts.keysDeleted;
            return (e.lost ? "lost key " : "delete key ") + U8(FullPath(e.key));
        case EffectKind::DeleteValue:
            ++counts.valuesDeleted;
            return (e.lost ? "lost value " : "delete value ") + ValueRef(e) + " (was " + ValueText(*e.before) + ")";
        case EffectKind::SetValue:
            if (!e.before) {
                ++counts.valuesSet;
                return "set value " + ValueRef(e) + ": (none) -> " + ValueText(*e.after);
            }
            if (*e.before == *e.after) {
                ++counts.valuesUnchanged;
                return "no change: " + ValueRef(e) + " already holds " + ValueText(*e.after);
            }
            ++counts.valuesChanged;
            return "change value " + ValueRef(e) + ": " + ValueText(*e.before) + " -> " + ValueText(*e.after);
    }
    return std::string();
}

std::string Describe(const PackageRecord& r) {
    const std::string where = r.rootKind == Users
                                  ? "per-user key " + U8(r.classesKey == 1 ? Text(kClassesBranch) + r.keyPath : r.keyPath) +
                                        " for " + QuotedText(r.target)
                                  : U8(FullPath(KeyLocation{r.rootKey, r.keyPath}));
    const std::string value = r.valueName.empty() ? "(default)" : QuotedText(r.valueName);
    if (r.keyOnly == 1) return (r.remove == 1 ? "delete key " : "create key ") + where;
    if (r.remove == 1) return "delete value " + value + " in " + where;
    return "set value " + value + " as " + (r.typeName.empty() ? std::string("\"\"") : U8(r.typeName)) + " in " + where;
}

// What a group of calls for one application did, as report lines.
std::vector<std::string> GroupLines(const PackageRecord& record, const Expected& expected, Counts& counts,
                                    const std::string& failHint) {
    std::vector<std::string> lines, lost;
    const auto& calls = *expected.calls;
    // A value line on the key the line before it opened uses that key: its
    // calls start with the value call, or there are none.
    const ObservedCall* first = calls.empty() ? nullptr : calls.front();
    const bool opens = first && (first->op == SeamOp::RegOpenKeyExW || first->op == SeamOp::RegCreateKeyExW);
    const std::string path = first && first->key ? U8(FullPath(*first->key))
                                                 : U8(RootName(expected.raw.root)) + "\\" + U8(expected.raw.path);
    if (opens && !first->succeeded) {
        if (first->op == SeamOp::RegOpenKeyExW) return {"no change: key " + path + " does not exist"};
        return {"fails: key " + path + " cannot be created" + failHint};
    }
    bool valueCall = false;
    for (const ObservedCall* call : calls) {
        if (call->op == SeamOp::RegSetValueExW || call->op == SeamOp::RegDeleteKeyValueW) valueCall = true;
        if (call->op == SeamOp::RegSetValueExW && !call->succeeded) lines.push_back("fails: the value cannot be set");
        for (const Effect& effect : call->effects)
            (effect.lost ? lost : lines).push_back(EffectLine(effect, counts));
    }
    for (std::string& line : lost) lines.push_back("  " + line);
    if (record.keyOnly != 1 && record.remove != 1 && !valueCall)
        lines.push_back(record.unencodable ? "nothing set: the value data cannot be encoded"
                                           : "nothing set: type " + QuotedText(record.typeName) +
                                                 " is not one the program sets");
    if (!lines.empty()) return lines;
    if (record.keyOnly == 1) return {record.remove == 1 ? "fails: key " + path + " cannot be deleted"
                                                        : "no change: key " + path + " exists"};
    if (record.remove == 1)
        return {"no change: " + path + " has no value " +
                (record.valueName.empty() ? std::string("(default)") : QuotedText(record.valueName))};
    return {"no change"};
}

// "All Users, Administrator or User".
std::string GroupNames() {
    std::string out;
    for (std::size_t i = 0; i < std::size(kTargetRules); ++i)
        out += (i == 0 ? "" : i + 1 == std::size(kTargetRules) ? " or " : ", ") + U8(kTargetRules[i].target);
    return out;
}

std::string CountsLine(const Counts& c) {
    return "keys created " + std::to_string(c.keysCreated) + ", deleted " + std::to_string(c.keysDeleted) +
           "; values set " + std::to_string(c.valuesSet) + ", changed " + std::to_string(c.valuesChanged) +
           ", unchanged " + std::to_string(c.valuesUnchanged) + ", deleted " + std::to_string(c.valuesDeleted);
}

std::string PassedOverReason(const PackageRecord& record, const UserProfile& profile) {
    if (EqualsIgnoreAsciiCase(record.target, profile.userName))
        return "its user name is longer than the " + std::to_string(kMaxAccountName) + " characters a target can name";
    return "target " + QuotedText(record.target) + " is neither " + QuotedText(kAllUsersTarget) + " nor its user name " +
           QuotedText(profile.userName);
}

// Labels: the user name where it names one profile alone, else the SID.
void LabelProfiles(std::vector<ProfileFacts>& facts) {
    for (ProfileFacts& f : facts) {
        const auto same = std::count_if(facts.begin(), facts.end(), [&](const ProfileFacts& o) {
            return EqualsIgnoreAsciiCase(o.profile.userName, f.profile.userName);
        });
        f.label = !f.profile.userName.empty() && same == 1 ? U8(f.profile.userName) : U8(f.profile.sid);
    }
}

bool HasHiveFile(const MemoryPlatform& sys, const Text& path) {
    for (const auto& hive : sys.hiveFiles)
        if (EqualsIgnoreAsciiCase(hive.first, path)) return true;
    return false;
}

std::string ProfileLine(const ProfileFacts& f, bool prepared) {
    std::string line = "  " + f.label + ": " + U8(f.profile.sid) + ", " +
                       (f.profile.profilePath.empty() ? std::string("no profile path") : U8(f.profile.profilePath)) + ", ";
    if (!f.notInspected.empty()) return line + "not inspected: " + f.notInspected;
    if (f.loggedOn) return line + "logged on";
    line += "not logged on";
    if (!prepared) return line;
    std::vector<std::string> loads;
    if (f.profile.userHiveMounted == 1)
        loads.push_back(FileName(kUserHiveInProfile) + " as HKEY_USERS\\" + U8(f.profile.userHiveKey));
    if (f.profile.classesHiveMounted == 1)
        loads.push_back(FileName(kClassesHiveInProfile) + " as HKEY_USERS\\" + U8(f.profile.classesHiveKey));
    if (loads.empty()) return line + ", no hive loaded for this package";
    line += ", the pass loads ";
    for (std::size_t i = 0; i < loads.size(); ++i) line += (i ? " and " : "") + loads[i];
    for (const std::string& missing : f.missingHives) line += "; " + missing + " is not in the base";
    return line;
}

// The profiles as the pass prepared them, and what was known about each
// before it ran.
struct PreparedProfiles {
    ProfileList listed;    // the profile list
    ProfileList prepared;  // the per-user branch's profiles, hives marked; empty when no line needs them
    std::vector<ProfileFacts> facts;
};

// What the base says of each listed profile before the pass, by SID.
struct BaseFacts {
    ProfileList listed;
    std::map<Text, bool> loggedOn;
    std::map<Text, bool> hiveFiles;  // by the file's path: whether the base holds it
};

BaseFacts ReadBaseFacts(MemoryPlatform& machine) {
    BaseFacts out;
    out.listed = BuildProfileList(machine, kIsWow64);
    for (const UserProfile& profile : out.listed) {
        out.loggedOn[profile.sid] = machine.KeyExists(kHkeyUsers, profile.sid) && !profile.sid.empty();
        for (TextView inProfile : {kUserHiveInProfile, kClassesHiveInProfile})
            out.hiveFiles[profile.profilePath + Text(inProfile)] =
                HasHiveFile(machine, profile.profilePath + Text(inProfile));
    }
    return out;
}

PreparedProfiles DescribeProfiles(const PlanInput& input, BaseFacts base,
                                  ProfileList prepared) {
    PreparedProfiles out;
    out.listed = std::move(base.listed);
    out.prepared = std::move(prepared);
    for (const UserProfile& profile : out.prepared.empty() ? out.listed : out.prepared) {
        ProfileFacts f;
        f.profile = profile;
        f.loggedOn = base.loggedOn[profile.sid];
        auto why = input.notInspected.find(profile.sid);
        if (why != input.notInspected.end()) f.notInspected = why->second;
        const std::pair<std::int32_t, TextView> hives[] = {{profile.userHiveMounted, kUserHiveInProfile},
                                                           {profile.classesHiveMounted, kClassesHiveInProfile}};
        for (const auto& [mounted, inProfile] : hives)
            if (mounted == 1 && !base.hiveFiles[profile.profilePath + Text(inProfile)])
                f.missingHives.push_back(U8(profile.profilePath + Text(inProfile)));
        out.facts.push_back(std::move(f));
    }
    LabelProfiles(out.facts);
    return out;
}

struct ApplicationCount : PassObserver {
    void ApplicationStarts(std::size_t, int) override { ++count; }
    void RecordsEnd() override {}
    int count = 0;
};

// Where the engine acts for each record and profile, without acting; the
// profiles a per-user record passes over, by record.
struct Probed {
    std::vector<Expected> expected;
    std::vector<std::vector<std::size_t>> passedOver;
};

Probed ProbeRecords(const RecordList& records, const ProfileList& prepared, const ApplySettings& settings) {
    Probed out;
    out.passedOver.resize(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const PackageRecord& record = records[i];
        if (record.rootKind != Users) {
            ProbePlatform probe;
            ApplyRecordAt(probe, settings, record, record.rootKey, record.keyPath);
            out.expected.push_back(Expected{
                i, -1, probe.firstKey.value_or(KeyLocation{record.rootKey, record.keyPath}), !probe.firstKey});
            continue;
        }
        PackageRecord creating = record;  // issues its call wherever the record can act
        creating.keyOnly = 1;
        creating.remove = 0;
        for (std::size_t p = 0; p < prepared.size(); ++p) {
            // Reached as the pass decides it, even where it then calls nothing.
            ApplicationCount reached;
            ProbePlatform match, act;
            ApplyUserRecord(match, settings, creating, ProfileList{prepared[p]}, &reached);
            if (reached.count == 0) {
                out.passedOver[i].push_back(p);
                continue;
            }
            ApplyUserRecord(act, settings, record, ProfileList{prepared[p]});
            out.expected.push_back(Expected{i, int(p), match.firstKey.value_or(KeyLocation{record.rootKey, record.keyPath}),
                                            !act.firstKey});
        }
    }
    return out;
}

using CallGroup = std::vector<const ObservedCall*>;

// Where the pass says each application of a record begins, as positions in
// the watched calls.
class ApplicationMarks : public PassObserver {
public:
    struct Mark {
        std::size_t record;
        int profile;
        std::size_t firstCall;
    };
    explicit ApplicationMarks(const ObservedPlatform& observed) : observed_(observed) {}
    void ProfilesPrepared(const ProfileList& profiles) override { prepared = profiles; }
    void ApplicationStarts(std::size_t record, int profile) override {
        marks_.push_back(Mark{record, profile, observed_.RegistryCalls().size()});
    }
    void RecordsEnd() override { end_ = observed_.RegistryCalls().size(); }

    const std::vector<Mark>& Marks() const { return marks_; }
    ProfileList prepared;
    std::size_t End() const { return end_.value_or(observed_.RegistryCalls().size()); }

private:
    const ObservedPlatform& observed_;
    std::vector<Mark> marks_;
    std::optional<std::size_t> end_;
};

// The real pass over the machine, watched.
void RunObserved(const std::string& packageBytes, ObservedPlatform& observed, ApplicationMarks& marks) {
    PassSettings settings;
    settings.isWow64 = kIsWow64;
    settings.observer = &marks;
    RunUpdatePass(observed, PassPackage{nullptr, &packageBytes}, settings);
}

// The pass's calls, cut at its marks (closes left out), handed to the
// expected applications in order; false when they do not match.
bool GroupCalls(const std::vector<ObservedCall>& calls, const ApplicationMarks& marks, std::vector<CallGroup>& groups,
                std::vector<Expected>& expected) {
    const auto& at = marks.Marks();
    if (at.size() != expected.size()) return false;
    groups.assign(at.size(), CallGroup());
    for (std::size_t k = 0; k < at.size(); ++k) {
        const std::size_t end = std::min(k + 1 < at.size() ? at[k + 1].firstCall : marks.End(), calls.size());
        for (std::size_t c = at[k].firstCall; c < end; ++c)
            if (calls[c].op != SeamOp::RegCloseKey) groups[k].push_back(&calls[c]);
    }
    for (std::size_t k = 0; k < at.size(); ++k) {
        Expected& e = expected[k];
        const CallGroup& group = groups[k];
        if (at[k].record != e.record || at[k].profile != e.profile) return false;
        if (e.refused) {
            if (!group.empty()) return false;
            continue;
        }
        const bool opens = !group.empty() && (group.front()->op == SeamOp::RegOpenKeyExW ||
                                              group.front()->op == SeamOp::RegCreateKeyExW);
        if (opens && !SameLocation(group.front()->key, NormalizedLocation(e.raw.root, e.raw.path))) return false;
        e.calls = &group;
    }
    return true;
}

std::string RenderProfiles(const PreparedProfiles& profiles) {
    if (profiles.listed.empty() && profiles.facts.empty()) return "profiles: none\n";
    std::string out = "profiles:\n";
    for (const ProfileFacts& f : profiles.facts) out += ProfileLine(f, !profiles.prepared.empty()) + "\n";
    return out;
}

// One application of a record: its scope label and what it did there.
std::string RenderApplication(const PackageRecord& record, int line, const Expected& e, const ProfileFacts* f,
                              std::map<std::string, Counts>& counts, PlanDetails* details) {
    const std::string scope = f ? f->label : U8(RootName(record.rootKey));
    if (f && !f->notInspected.empty()) return "  " + scope + ": not inspected (" + f->notInspected + ")\n";
    const bool nul = record.keyPath.find(u'\0') != Text::npos ||
                     (record.keyOnly != 1 && record.valueName.find(u'\0') != Text::npos);
    if (e.refused && nul)
        return "  " + scope + ": refused: the key or value name holds a NUL character, which would name another "
               "key or value\n";
    if (e.refused)
        return "  " + scope + ": refused: " + U8(FullPath(e.raw)) +
               " is a root or a hive's top key, which a line never deletes\n";
    std::string hint;
    if (f && !f->missingHives.empty()) hint = " (its hive file is not in the base)";
    else if (f && !e.raw.path.empty() && e.raw.path.front() == u'\\')
        hint = " (this profile's hive is not reachable: not logged on, and the package loads no hive for it)";
    std::string out;
    for (const std::string& text : GroupLines(record, e, counts[scope], hint)) out += "  " + scope + ": " + text + "\n";
    if (details && e.calls)
        for (const ObservedCall* call : *e.calls)
            for (const Effect& effect : call->effects) details->effects.push_back(PlannedEffect{line, scope, effect});
    return out;
}

std::string RenderLines(const RecordList& records, std::uint8_t targetGroups, const PreparedProfiles& profiles,
                        const Probed& probed, std::map<std::string, Counts>& counts, PlanDetails* details) {
    std::string out;
    std::size_t at = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const PackageRecord& record = records[i];
        out += "line " + std::to_string(i + 1) + ": " + Describe(record) + "\n";
        if (record.rootKind == Users && profiles.prepared.empty()) {
            out += targetGroups == 0
                       ? "  reaches no profile: no per-user line of the package names " + GroupNames() +
                             ", so the pass prepares no profile\n"
                       : "  reaches no profile: the machine's profile list holds none\n";
        }
        for (; at < probed.expected.size() && probed.expected[at].record == i; ++at) {
            const Expected& e = probed.expected[at];
            const ProfileFacts* f = e.profile >= 0 ? &profiles.facts[std::size_t(e.profile)] : nullptr;
            out += RenderApplication(record, int(i + 1), e, f, counts, details);
        }
        for (std::size_t p : probed.passedOver[i])
            out += "  " + profiles.facts[p].label + ": passed over: " +
                   PassedOverReason(record, profiles.prepared[p]) + "\n";
    }
    return out;
}

std::string RenderSummary(const std::vector<ProfileFacts>& facts, std::map<std::string, Counts>& counts,
                          PlanDetails* details) {
    std::string out = "summary:\n";
    for (RegKey root : {kHkeyLocalMachine, kHkeyClassesRoot}) {
        const std::string scope = U8(RootName(root));
        out += "  " + scope + ": " + CountsLine(counts[scope]) + "\n";
        if (details) details->summary.emplace_back(scope, counts[scope]);
    }
    for (const ProfileFacts& f : facts) {
        out += "  " + f.label + ": " + (f.notInspected.empty() ? CountsLine(counts[f.label]) : "not inspected") + "\n";
        if (!details) continue;
        // A hive the pass loads but the base lacks was not inspected either:
        // what the package changes there is unknown.
        if (f.notInspected.empty() && f.missingHives.empty()) details->summary.emplace_back(f.label, counts[f.label]);
        else details->notInspected.push_back(f.label);
    }
    return out;
}

}  // namespace

std::string RunPlan(const PlanInput& input, MemoryPlatform& machine, PlanDetails* details) {
    machine.wow64Redirection = false;  // the pass works in the 64-bit view throughout
    const PackageContents package = ParsePackage(input.packageBytes);
    const ApplySettings settings = MakeApplySettings(kIsWow64);

    BaseFacts base = ReadBaseFacts(machine);
    const RecordList records = DecodeAll(package.lines);
    ObservedPlatform observed(machine);
    ApplicationMarks marks(observed);
    RunObserved(input.packageBytes, observed, marks);
    // The profiles as the pass itself listed and prepared them: their order is
    // the pass's, whatever order the base lists them in.
    const PreparedProfiles profiles = DescribeProfiles(input, std::move(base), marks.prepared);
    Probed probed = ProbeRecords(records, profiles.prepared, settings);
    std::vector<CallGroup> groups;
    const bool matched = GroupCalls(observed.RegistryCalls(), marks, groups, probed.expected);

    std::string out = "plan for " + input.packageName + " against " + input.baseName + "\n";
    out += RenderProfiles(profiles);
    if (!matched) return out + "error: the pass's registry calls could not be matched to the package's lines\n";

    std::map<std::string, Counts> counts;  // by scope label
    for (RegKey root : {kHkeyLocalMachine, kHkeyClassesRoot}) counts[U8(RootName(root))];
    if (details) details->matched = true;
    out += RenderLines(records, package.targetGroups, profiles, probed, counts, details);
    out += RenderSummary(profiles.facts, counts, details);
    return out;
}

}  // namespace km::check
