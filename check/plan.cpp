#include "check/plan.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "check/value_text.h"
#include "engine/package_language.h"
#include "engine/windows_facts.h"
#include "platform/text.h"
#include "toolkit/pass_account.h"
#include "toolkit/reg_file.h"

namespace km::check {

namespace {

using Counts = PlanCounts;

constexpr const char* kDefaultProfileLabel = "(default profile)";

// One profile as the pass listed and reached it, and what the plan's input
// says of its hives.
struct ProfileFacts {
    UserProfile profile;  // as the pass prepared it
    std::string label;
    std::optional<ProfileReach> reach;
    std::vector<std::string> loads;         // "NTUSER.DAT as HKEY_USERS\..."
    std::string notInspected;               // why its hive could not be read, if so
    std::vector<std::string> missingHives;  // hive files the pass loads but the base lacks
};

// "NTUSER.DAT" from "\\NTUSER.DAT".
std::string FileName(TextView pathInProfile) { return ShownText(pathInProfile.substr(pathInProfile.rfind(u'\\') + 1)); }

std::string ValueRef(const toolkit::Effect& e) {
    return ShownText(toolkit::FullPath(e.key)) + " " +
           (e.valueName.empty() ? std::string("(default)") : QuotedText(e.valueName));
}

std::string EffectLine(const toolkit::Effect& e, Counts& counts) {
    switch (e.kind) {
        case toolkit::EffectKind::CreateKey:
            ++counts.keysCreated;
            return "create key " + ShownText(toolkit::FullPath(e.key));
        case toolkit::EffectKind::DeleteKey:
            ++counts.keysDeleted;
            return (e.lost ? "lost key " : "delete key ") + ShownText(toolkit::FullPath(e.key));
        case toolkit::EffectKind::DeleteValue:
            ++counts.valuesDeleted;
            return (e.lost ? "lost value " : "delete value ") + ValueRef(e) + " (was " + ValueText(*e.before) + ")";
        case toolkit::EffectKind::SetValue:
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
                                  ? "per-user key " +
                                        ShownText(r.classesKey == 1 ? Text(kClassesBranch) + r.keyPath : r.keyPath) +
                                        " for " + QuotedText(r.target)
                                  : ShownText(toolkit::FullPath(toolkit::KeyLocation{r.rootKey, r.keyPath}));
    const std::string value = r.valueName.empty() ? "(default)" : QuotedText(r.valueName);
    if (r.keyOnly == 1) return (r.remove == 1 ? "delete key " : "create key ") + where;
    if (r.remove == 1) return "delete value " + value + " in " + where;
    return "set value " + value + " as " + (r.typeName.empty() ? std::string("\"\"") : ShownText(r.typeName)) + " in " +
           where;
}

// One report line of an application; `failure`, where it cannot land, says
// what fails without the line's "fails: ".
struct ReportLine {
    std::string text;
    std::string failure;
};

ReportLine Says(std::string text) { return ReportLine{std::move(text), std::string()}; }
ReportLine Fails(const std::string& reason) { return ReportLine{"fails: " + reason, reason}; }

// What the calls of one application did, as report lines.
std::vector<ReportLine> GroupLines(const PackageRecord& record, const toolkit::Application& app,
                                   const toolkit::CallGroup& calls, Counts& counts, const std::string& failHint) {
    std::vector<ReportLine> lines;
    std::vector<std::string> lost;
    // A value line on the key the line before it opened uses that key: its
    // calls start with the value call, or there are none.
    const toolkit::ObservedCall* first = calls.empty() ? nullptr : calls.front();
    const bool opens = first && (first->op == SeamOp::RegOpenKeyExW || first->op == SeamOp::RegCreateKeyExW);
    const toolkit::KeyLocation landing =
        app.landed ? app.landing : toolkit::KeyLocation{record.rootKey, record.keyPath};
    const std::string path = first && first->key
                                 ? ShownText(toolkit::FullPath(*first->key))
                                 : ShownText(toolkit::RootName(landing.root)) + "\\" + ShownText(landing.path);
    if (opens && !first->succeeded) {
        if (first->op == SeamOp::RegOpenKeyExW) return {Says("no change: key " + path + " does not exist")};
        return {Fails("key " + path + " cannot be created" + failHint)};
    }
    bool valueCall = false;
    for (const toolkit::ObservedCall* call : calls) {
        if (call->op == SeamOp::RegSetValueExW || call->op == SeamOp::RegDeleteKeyValueW) valueCall = true;
        if (call->op == SeamOp::RegSetValueExW && !call->succeeded) lines.push_back(Fails("the value cannot be set"));
        for (const toolkit::Effect& effect : call->effects) {
            if (effect.lost) lost.push_back("  " + EffectLine(effect, counts));
            else lines.push_back(Says(EffectLine(effect, counts)));
        }
    }
    for (std::string& line : lost) lines.push_back(Says(std::move(line)));
    if (app.notSet && !valueCall)
        lines.push_back(Says(*app.notSet == NotSetReason::DataNotEncodable
                                 ? std::string("nothing set: the value data cannot be encoded")
                                 : "nothing set: type " + QuotedText(record.typeName) + " is not one the program sets"));
    if (!lines.empty()) return lines;
    if (record.keyOnly == 1)
        return {record.remove == 1 ? Fails("key " + path + " cannot be deleted") : Says("no change: key " + path + " exists")};
    if (record.remove == 1)
        return {Says("no change: " + path + " has no value " +
                     (record.valueName.empty() ? std::string("(default)") : QuotedText(record.valueName)))};
    return {Says("no change")};
}

// "All Users, Administrator or User".
std::string GroupNames() {
    std::string out;
    for (std::size_t i = 0; i < std::size(kTargetRules); ++i)
        out += (i == 0 ? "" : i + 1 == std::size(kTargetRules) ? " or " : ", ") + ShownText(kTargetRules[i].target);
    return out;
}

std::string CountsLine(const Counts& c) {
    return "keys created " + std::to_string(c.keysCreated) + ", deleted " + std::to_string(c.keysDeleted) +
           "; values set " + std::to_string(c.valuesSet) + ", changed " + std::to_string(c.valuesChanged) +
           ", unchanged " + std::to_string(c.valuesUnchanged) + ", deleted " + std::to_string(c.valuesDeleted);
}

std::string PassedOverText(const PackageRecord& record, const UserProfile& profile, PassedOverReason why) {
    switch (why) {
        case PassedOverReason::UserNameTooLong:
            return "its user name is longer than the " + std::to_string(kMaxAccountName) +
                   " characters a target can name";
        case PassedOverReason::NotAllUsers:
            return "target " + QuotedText(record.target) + " is not " + QuotedText(kAllUsersTarget) +
                   ", and a user who does not exist yet belongs to no group";
        case PassedOverReason::ClassesBranch:
            return "Windows builds no new user's classes hive from the default profile";
        case PassedOverReason::AnotherTarget: break;
    }
    return "target " + QuotedText(record.target) + " is neither " + QuotedText(kAllUsersTarget) + " nor its user name " +
           QuotedText(profile.userName);
}

// Labels: the user name where it names one profile alone, else the SID; the
// default profile has neither, and a user named as its label takes the SID.
void LabelProfiles(std::vector<ProfileFacts>& facts) {
    const auto name = [](const UserProfile& p) { return p.defaultProfile ? Widen(kDefaultProfileLabel) : p.userName; };
    std::unordered_map<Text, int> named;  // folded name -> profiles of that name
    for (const ProfileFacts& f : facts) ++named[FoldAsciiCase(name(f.profile))];
    for (ProfileFacts& f : facts) {
        const bool alone = named[FoldAsciiCase(name(f.profile))] == 1;
        f.label = f.profile.defaultProfile                          ? std::string(kDefaultProfileLabel)
                  : !f.profile.userName.empty() && alone ? ShownText(f.profile.userName)
                                                         : ShownText(f.profile.sid);
    }
}

// "NTUSER.DAT as HKEY_USERS\Velmar-Mount-...", and the states the pass's
// account gives a profile.
std::string ReachText(const ProfileFacts& f) {
    switch (f.reach.value_or(ProfileReach::NotSelected)) {
        case ProfileReach::LoggedOn: return "logged on";
        case ProfileReach::NotSelected:
            return "not selected: no line's target group names it, so the pass reaches no hive of it";
        case ProfileReach::CommandLineUnfit:
            return "not logged on, and its SID or profile path cannot stand in reg.exe's command line: the pass "
                   "loads no hive for it";
        case ProfileReach::Cancelled: return "not reached: the run was cancelled first";
        case ProfileReach::HivesLoaded: break;
    }
    std::string line = f.profile.defaultProfile ? "the pass loads " : "not logged on, the pass loads ";
    for (std::size_t i = 0; i < f.loads.size(); ++i) line += (i ? " and " : "") + f.loads[i];
    for (const std::string& missing : f.missingHives) line += "; " + missing + " is not in the base";
    return line;
}

std::string ProfileLine(const ProfileFacts& f) {
    const std::string line =
        "  " + f.label + ": " + (f.profile.defaultProfile ? "for users who log on later" : ShownText(f.profile.sid)) +
        ", " + (f.profile.profilePath.empty() ? std::string("no profile path") : ShownText(f.profile.profilePath)) +
        ", ";
    if (!f.notInspected.empty()) return line + "not inspected: " + f.notInspected;
    return line + ReachText(f);
}

// A hint to a failed create: why the profile's hive is not there.
std::string FailHint(const ProfileFacts* f) {
    if (!f) return std::string();
    if (!f->missingHives.empty()) return " (its hive file is not in the base)";
    if (f->reach == ProfileReach::NotSelected)
        return " (the pass reaches no hive of this profile: no line's target group selects it)";
    if (f->reach == ProfileReach::CommandLineUnfit)
        return " (its hive is not loaded: its SID or profile path cannot stand in reg.exe's command line)";
    return std::string();
}

// The profiles as the pass listed, reached and prepared them.
std::vector<ProfileFacts> DescribeProfiles(const PlanInput& input, const toolkit::PassAccount& account,
                                           const std::unordered_set<Text>& baseHives) {
    std::vector<ProfileFacts> facts;
    for (std::size_t p = 0; p < account.profiles.size(); ++p) {
        ProfileFacts f;
        f.profile = account.profiles[p];
        if (p < account.reach.size()) f.reach = account.reach[p];
        for (const auto* unread : {&input.notInspected, &account.notInspected})
            if (const auto why = unread->find(f.profile.sid); why != unread->end() && f.notInspected.empty())
                f.notInspected = why->second;
        facts.push_back(std::move(f));
    }
    for (const toolkit::HiveLoad& load : account.loads) {
        if (load.profile >= facts.size()) continue;
        facts[load.profile].loads.push_back(FileName(load.file) + " as HKEY_USERS\\" + ShownText(load.mountName));
        if (!baseHives.count(FoldAsciiCase(load.file)))
            facts[load.profile].missingHives.push_back(ShownText(load.file));
    }
    LabelProfiles(facts);
    return facts;
}

std::string RenderProfiles(const toolkit::PassAccount& account, const std::vector<ProfileFacts>& facts) {
    if (!account.listed)
        return "profiles: not read: no per-user line of the package names " + GroupNames() + "\n";
    if (facts.empty()) return "profiles: none\n";
    std::string out = "profiles:\n";
    for (const ProfileFacts& f : facts) out += ProfileLine(f) + "\n";
    return out;
}

// Why the pass refuses a line, without the report's "refused: ".
std::string RefusalReasonText(const toolkit::Application& app) {
    if (*app.refused == RefusalReason::NulInName)
        return "the key or value name holds a NUL character, which would name another key or value";
    return ShownText(toolkit::FullPath(app.refusedAt)) + " is a root or a hive's top key, which a line never deletes";
}

std::string RenderSummary(const std::vector<ProfileFacts>& facts, std::map<std::string, Counts>& counts,
                          PlanDetails* details) {
    std::string out = "summary:\n";
    for (RegKey root : {kHkeyLocalMachine, kHkeyClassesRoot}) {
        const std::string scope = ShownText(toolkit::RootName(root));
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

// Renders the pass's account as the pass writes it: each line's report as
// soon as the line is done, its calls then let go.
class PlanRenderer : public toolkit::AccountReader {
public:
    PlanRenderer(const PlanInput& input, const MemoryPlatform& machine, PlanDetails* details, std::string& out,
                 const std::function<void()>& passOn)
        : input_(input), machine_(machine), details_(details), out_(out), passOn_(passOn),
          scopeStore_(details ? details->scopes : unkept_) {}

    void Prepared(const toolkit::PassAccount& account) override {
        // The pass adds no hive file; a base that reads through gains those it read.
        std::unordered_set<Text> baseHives;  // folded paths of the hive files the base holds
        for (const auto& hive : machine_.hiveFiles) baseHives.insert(FoldAsciiCase(hive.first));
        facts_ = DescribeProfiles(input_, account, baseHives);
        for (const ProfileFacts& f : facts_) profileScopes_.push_back(&scopeStore_.emplace_back(f.label));
        for (RegKey root : {kHkeyLocalMachine, kHkeyClassesRoot}) counts_[ShownText(toolkit::RootName(root))];
        out_.append("plan for ").append(input_.packageName).append(" against ").append(input_.baseName).append("\n");
        out_ += RenderProfiles(account, facts_);
        prepared_ = true;
    }

    void RecordDone(toolkit::PassAccount& account, std::size_t i, const PackageRecord& record) override {
        out_.append("line ").append(std::to_string(i + 1)).append(": ").append(Describe(record)).append("\n");
        if (record.rootKind == Users && facts_.empty()) {
            out_ += !account.listed ? "  reaches no profile: no per-user line of the package names " + GroupNames() +
                                          ", so the pass prepares no profile\n"
                                    : "  reaches no profile: the machine's profile list holds none\n";
        }
        for (const toolkit::Application& a : account.applications) {
            const ProfileFacts* f = a.profile >= 0 ? &facts_[std::size_t(a.profile)] : nullptr;
            RenderApplication(record, int(i + 1), a, toolkit::CallsOf(account, a), f,
                              ScopeOf(record.rootKey, a.profile));
        }
        for (const toolkit::PassedOverProfile& p : account.passedOver)
            out_ += "  " + facts_[p.profile].label + ": passed over: " +
                    PassedOverText(record, facts_[p.profile].profile, p.why) + "\n";
        if (passOn_ && out_.size() >= kReportPiece) passOn_();
    }

    // The report's end, once the pass has ended.
    void Finish(const toolkit::PassAccount& account) {
        if (!prepared_) Prepared(account);
        if (account.exitCode != 0 || !account.finished) {
            out_ += "error: the pass stopped before the package's last line (exit code " +
                    std::to_string(account.exitCode) + "); no plan could be made\n";
            return;
        }
        if (details_) details_->made = true;
        out_ += RenderSummary(facts_, counts_, details_);
    }

private:
    const std::string& ScopeOf(RegKey root, int profile) {
        if (profile >= 0) return *profileScopes_[std::size_t(profile)];
        const std::string*& label = rootScopes_[root];
        if (!label) label = &scopeStore_.emplace_back(ShownText(toolkit::RootName(root)));
        return *label;
    }

    // One application of a record: its scope label and what it did there.
    void RenderApplication(const PackageRecord& record, int line, const toolkit::Application& app,
                           const toolkit::CallGroup& calls, const ProfileFacts* f, const std::string& scope) {
        const std::string lead = "  " + scope + ": ";
        if (f && !f->notInspected.empty()) {
            out_.append(lead).append("not inspected (").append(f->notInspected).append(")\n");
            return;
        }
        if (app.refused) {
            const std::string reason = RefusalReasonText(app);
            if (details_) details_->failures.push_back(PlannedFailure{line, scope, "refused: " + reason, reason});
            out_.append(lead).append("refused: ").append(reason).append("\n");
            return;
        }
        for (const ReportLine& report : GroupLines(record, app, calls, counts_[scope], FailHint(f))) {
            out_.append(lead).append(report.text).append("\n");
            if (details_ && !report.failure.empty())
                details_->failures.push_back(PlannedFailure{line, scope, report.text, report.failure});
        }
        if (!details_ || input_.keep == KeptEffects::None) return;
        for (const toolkit::ObservedCall* call : calls)
            for (const toolkit::Effect& effect : call->effects)
                if (input_.keep == KeptEffects::All || toolkit::ChangesMachine(effect))
                    details_->effects.push_back(PlannedEffect{line, &scope, effect});
    }

    const PlanInput& input_;
    const MemoryPlatform& machine_;
    PlanDetails* details_;
    std::string& out_;
    const std::function<void()>& passOn_;
    std::deque<std::string> unkept_;
    std::deque<std::string>& scopeStore_;  // the scope labels, each made once, where effects can point to them
    std::vector<const std::string*> profileScopes_;
    std::map<RegKey, const std::string*> rootScopes_;
    std::vector<ProfileFacts> facts_;
    std::map<std::string, Counts> counts_;  // by scope label
    bool prepared_ = false;
};

}  // namespace

void AppendPlan(const PlanInput& input, MemoryPlatform& machine, PlanDetails* details, std::string& out,
                const std::function<void()>& passOn) {
    PlanRenderer renderer(input, machine, details, out, passOn);
    const toolkit::PassAccount account =
        toolkit::RunAccountedPass(machine, input.packageBytes, renderer, input.defaultProfile);
    renderer.Finish(account);
}

std::string RunPlan(const PlanInput& input, MemoryPlatform& machine, PlanDetails* details) {
    std::string out;
    AppendPlan(input, machine, details, out);
    return out;
}

}  // namespace km::check
