// The real update pass run over an in-memory machine, watched: the pass's own
// account of what it read and decided (records, profiles, hives, where each
// line lands or why it acts nowhere) beside the registry calls it made and
// what each changed. The plan renders it and undo is built from it; neither
// reads the package or decides anything of the pass's a second time.
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/pass_observer.h"
#include "platform/memory/memory_platform.h"
#include "toolkit/observed_platform.h"

namespace km::toolkit {

// One application of one record: at its machine root (profile -1) or for one
// prepared profile, with the calls it made.
struct Application {
    std::size_t record = 0;
    int profile = -1;
    bool landed = false;
    KeyLocation landing;  // root and path as the pass passed them, when landed
    bool heldKey = false;
    std::optional<RefusalReason> refused;
    KeyLocation refusedAt;
    std::optional<NotSetReason> notSet;
    std::size_t firstCall = 0, endCall = 0;  // into PassAccount::calls
};

struct PassedOverProfile {
    std::size_t record = 0;
    std::size_t profile = 0;
    PassedOverReason why = PassedOverReason::AnotherTarget;
};

struct HiveLoad {
    std::size_t profile = 0;
    HiveKindName kind = HiveKindName::User;
    Text mountName, file;
    bool started = false;
};

struct PassAccount {
    bool listed = false;         // the pass read the profile list (a per-user line needs it)
    ProfileList profiles;        // as prepared: hives marked as loaded; empty when not listed
    std::vector<std::optional<ProfileReach>> reach;  // by profile
    std::vector<HiveLoad> loads;
    // The record being handed to the reader: its applications and the
    // profiles it passed over, in the pass's order, and the registry calls
    // made since the record before it, closes included.
    std::vector<Application> applications;
    std::vector<PassedOverProfile> passedOver;
    std::deque<ObservedCall> calls;
    // Profiles whose hive files reg.exe could not load from the base's
    // source, by SID: "FILE: why", one for each such file.
    std::map<Text, std::string> notInspected;
    std::int32_t exitCode = 0;
    bool finished = false;  // the records were all gone through
};

// The registry calls of one application, closes left out.
using CallGroup = std::vector<const ObservedCall*>;
CallGroup CallsOf(const PassAccount& account, const Application& app);

// Whether All Users lines reach the default profile: as the base's machine
// policy says, or as though it were on.
enum class DefaultProfile : bool { AsBaseHolds, Included };

// Reads the account as the pass writes it, one record at a time, for a tool
// that renders it as it is made: a large package's account is never held
// whole.
class AccountReader {
public:
    virtual ~AccountReader() = default;
    // The profiles are listed, reached and prepared (notInspected included);
    // told before the first record is applied.
    virtual void Prepared(const PassAccount&) {}
    // Every application of `record` is done. The account holds its
    // applications, the profiles it passed over and the calls made since the
    // record before it (the applications' firstCall and endCall index them),
    // and nothing of earlier records; the reader may take what it keeps.
    virtual void RecordDone(PassAccount&, std::size_t record, const PackageRecord&) = 0;
};

// Runs the pass as a 32-bit Keymason on 64-bit Windows (the 64-bit view)
// over `machine`, which afterwards holds the state after the pass; each
// record's part of the account goes to `reader` and is let go.
PassAccount RunAccountedPass(MemoryPlatform& machine, const std::string& packageBytes, AccountReader& reader,
                             DefaultProfile defaultProfile = DefaultProfile::AsBaseHolds);

}  // namespace km::toolkit
