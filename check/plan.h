// The plan: the real update pass run over the in-memory registry, and a
// report of what each package line did there, per root and per profile.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>

#include "toolkit/observed_platform.h"
#include "toolkit/pass_account.h"
#include "platform/memory/memory_platform.h"

namespace km::check {

// Which effects the plan's details keep: a text report needs none, drift
// those that change the machine, a JSON report all.
enum class KeptEffects { None, Changes, All };

struct PlanInput {
    std::string packageName;   // as the report names it
    std::string packageBytes;  // the package file
    std::string baseName;      // how the report names the base
    // Profiles whose hives could not be read, by SID, with the reason.
    std::map<Text, std::string> notInspected;
    // Whether All Users lines reach the default profile.
    toolkit::DefaultProfile defaultProfile = toolkit::DefaultProfile::AsBaseHolds;
    KeptEffects keep = KeptEffects::All;
};

struct PlanCounts {
    int keysCreated = 0, keysDeleted = 0;
    int valuesSet = 0, valuesChanged = 0, valuesUnchanged = 0, valuesDeleted = 0;
};

// One effect of one package line, where it landed.
struct PlannedEffect {
    int line = 0;               // the package line, from 1
    const std::string* scope;   // the root's name, or the profile's label: into the details' scopes
    toolkit::Effect effect;
};


// A line's application that cannot land: a key that cannot be made or
// removed, a value that cannot be set, a line the pass refuses.
struct PlannedFailure {
    int line = 0;
    std::string scope;
    std::string text;    // as the text report gives it
    std::string reason;  // what fails, without the kind the text starts with
};

// What the plan found, for reports that machines read.
struct PlanDetails {
    bool made = false;  // the pass went through every line: a plan was made
    std::deque<std::string> scopes;  // what the effects' scopes point to
    std::deque<PlannedEffect> effects;  // those the input asks to keep
    std::vector<PlannedFailure> failures;
    std::vector<std::pair<std::string, PlanCounts>> summary;  // by scope, as the report lists them
    std::vector<std::string> notInspected;                    // scopes whose hives could not be read
};

// How many bytes of report are held before they are handed on.
constexpr std::size_t kReportPiece = 1 << 20;

// `machine` holds the base; afterwards it holds the state after the pass.
// The report is appended to `out` as each line is planned; where `passOn` is
// given, it is called whenever `out` has grown large, to hand on what it
// holds and empty it, so that a large package's report is never held whole.
void AppendPlan(const PlanInput& input, MemoryPlatform& machine, PlanDetails* details, std::string& out,
                const std::function<void()>& passOn = {});
std::string RunPlan(const PlanInput& input, MemoryPlatform& machine, PlanDetails* details = nullptr);

}  // namespace km::check
