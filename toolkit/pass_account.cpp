#include "toolkit/pass_account.h"

#include <utility>

#include "engine/machine_policy.h"
#include "engine/package_signature.h"
#include "engine/update_pass.h"
#include "platform/text.h"

namespace km::toolkit {

namespace {

// Why hive files reg.exe could not load from the base's source leave their
// profiles not inspected, by SID.
std::map<Text, std::string> NotInspected(const PassAccount& account, const MemoryPlatform& machine) {
    std::map<Text, std::string> notInspected;
    for (const HiveLoad& load : account.loads) {
        const auto unread = machine.unloadableHiveFiles.find(load.file);
        if (unread == machine.unloadableHiveFiles.end() || load.profile >= account.profiles.size()) continue;
        std::string& reasons = notInspected[account.profiles[load.profile].sid];
        reasons += (reasons.empty() ? "" : "; ") + ToUtf8(load.file) + ": " + unread->second;
    }
    return notInspected;
}

// Writes the pass's account as it is told, cutting the watched calls at the
// pass's own marks, and hands the reader each record's part when done.
class AccountKeeper : public PassObserver {
public:
    AccountKeeper(PassAccount& account, ObservedPlatform& observed, const MemoryPlatform& machine,
                  AccountReader& reader)
        : account_(account), observed_(observed), machine_(machine), reader_(reader) {}

    void ProfilesListed(const ProfileList& profiles) override {
        account_.listed = true;
        account_.profiles = profiles;
        account_.reach.assign(profiles.size(), std::nullopt);
    }
    void ProfileReached(std::size_t profile, ProfileReach reach) override {
        if (profile < account_.reach.size()) account_.reach[profile] = reach;
    }
    void HiveLoadStarted(std::size_t profile, HiveKindName kind, const Text& mountName, const Text& file,
                         bool started) override {
        account_.loads.push_back(HiveLoad{profile, kind, mountName, file, started});
    }
    void ProfilesPrepared(const ProfileList& profiles) override {
        if (!profiles.empty()) account_.profiles = profiles;
        account_.notInspected = NotInspected(account_, machine_);
        reader_.Prepared(account_);
    }
    void RecordRead(std::size_t index, const PackageRecord& record) override {
        HandOver();
        // The pass reuses its record for the next line: the reader is handed a copy.
        current_ = record;
        currentIndex_ = index;
        pending_ = true;
    }
    void ApplicationStarts(std::size_t record, int profile) override {
        EndApplication();
        Application application;
        application.record = record;
        application.profile = profile;
        application.firstCall = observed_.RegistryCalls().size();
        account_.applications.push_back(std::move(application));
        open_ = true;
    }
    void PassedOver(std::size_t record, std::size_t profile, PassedOverReason why) override {
        account_.passedOver.push_back(PassedOverProfile{record, profile, why});
    }
    void Lands(const Landing& at) override {
        if (!open_) return;
        account_.applications.back().landed = true;
        account_.applications.back().landing = KeyLocation{at.root, Text(at.path)};
        account_.applications.back().heldKey = at.heldKey;
    }
    void Refused(RegKey root, const Text& path, RefusalReason why) override {
        if (!open_) return;
        account_.applications.back().refused = why;
        account_.applications.back().refusedAt = KeyLocation{root, path};
    }
    void ValueNotSet(NotSetReason why) override {
        if (open_) account_.applications.back().notSet = why;
    }
    void RecordsEnd() override {
        HandOver();
        EndApplication();
        account_.finished = true;
    }
    // Ends the last application, also where the pass stopped part way.
    void EndApplication() {
        if (open_) account_.applications.back().endCall = observed_.RegistryCalls().size();
        open_ = false;
    }

private:
    // The record read last is done: its part of the account goes to the
    // reader, and then is let go.
    void HandOver() {
        if (!std::exchange(pending_, false)) return;
        EndApplication();
        account_.calls = observed_.TakeRegistryCalls();
        reader_.RecordDone(account_, currentIndex_, current_);
        account_.applications.clear();
        account_.passedOver.clear();
        account_.calls.clear();
    }

    PassAccount& account_;
    ObservedPlatform& observed_;
    const MemoryPlatform& machine_;
    AccountReader& reader_;
    bool open_ = false;
    bool pending_ = false;  // a record was read and not yet handed over
    std::size_t currentIndex_ = 0;
    PackageRecord current_;
};

}  // namespace

CallGroup CallsOf(const PassAccount& account, const Application& app) {
    CallGroup group;
    for (std::size_t c = app.firstCall; c < app.endCall && c < account.calls.size(); ++c)
        if (account.calls[c].op != SeamOp::RegCloseKey) group.push_back(&account.calls[c]);
    return group;
}

namespace {

// The machine policies as the base holds them, but for signing: that is a
// property of the package file, not of the plan, and stays off.
class BasePolicies : public ForwardingPlatform {
public:
    BasePolicies(Platform& inner, DefaultProfile defaultProfile)
        : ForwardingPlatform(inner), defaultProfile_(defaultProfile) {}

    PolicyValue QueryPolicyValue(const Text& keyPath, const Text& valueName) override {
        if (valueName == kSigningPolicyValue) return PolicyValue();
        if (valueName == kDefaultProfilePolicyValue && defaultProfile_ == DefaultProfile::Included)
            return {PolicyValueStatus::Present, kRegDword, {1, 0, 0, 0}};
        return ForwardingPlatform::QueryPolicyValue(keyPath, valueName);
    }

private:
    DefaultProfile defaultProfile_;
};

}  // namespace

PassAccount RunAccountedPass(MemoryPlatform& machine, const std::string& packageBytes, AccountReader& reader,
                             DefaultProfile defaultProfile) {
    // Where a base's profile list names the default profile's folder with the system drive.
    machine.environment.emplace("SystemDrive", u"C:");
    machine.wow64Redirection = false;  // the pass works in the 64-bit view throughout
    PassAccount account;
    ObservedPlatform observed(machine);
    BasePolicies policies(observed, defaultProfile);
    AccountKeeper keeper(account, observed, machine, reader);
    PassSettings settings;
    settings.isWow64 = 1;
    settings.observer = &keeper;
    account.exitCode = RunUpdatePass(policies, PassPackage{nullptr, &packageBytes}, settings).exitCode;
    keeper.EndApplication();
    // Also where the pass stopped before its profiles were prepared.
    account.notInspected = NotInspected(account, machine);
    return account;
}

}  // namespace km::toolkit
