// The plan: the real update pass run over the in-memory registry, and a
// report of what each package line did there, per root and per profile.
#pragma once

#include <deque>
#include <map>
#include <string>

#include <memory>

#include "toolkit/observed_platform.h"
#include "toolkit/pass_account.h"
#include "platform/memory/memory_platform.h"

namespace km::check {

struct PlanInput {
    std::string packageName;   // as the report names it
    std::string packageBytes;  // the package file
    std::string baseName;      // how the report names the base
    // Profiles whose hives could not be read, by SID, with the reason.
    std::map<Text, std::string> notInspected;
    // As though the base held the policy that reaches the default profile.
    bool defaultProfile = false;
};

struct PlanCounts {
    int keysCreated = 0, keysDeleted = 0;
    int valuesSet = 0, valuesChanged = 0, valuesUnchanged = 0, valuesDeleted = 0;
};

// One effect of one package line, where it landed. Both point into the
// plan's details, which keep the pass's account: a plan of a large package
// copies none of its effects.
struct PlannedEffect {
    int line = 0;                   // the package line, from 1
    const std::string* scope;       // the root's name, or the profile's label
    const toolkit::Effect* effect;
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
    std::shared_ptr<const toolkit::PassAccount> account;  // what the effects point into
    std::deque<std::string> scopes;                       // what the effects' scopes point to
    std::vector<PlannedEffect> effects;
    std::vector<PlannedFailure> failures;
    std::vector<std::pair<std::string, PlanCounts>> summary;  // by scope, as the report lists them
    std::vector<std::string> notInspected;                    // scopes whose hives could not be read
};

// `machine` holds the base; afterwards it holds the state after the pass.
// The report is appended to `out`.
void AppendPlan(const PlanInput& input, MemoryPlatform& machine, PlanDetails* details, std::string& out);
std::string RunPlan(const PlanInput& input, MemoryPlatform& machine, PlanDetails* details = nullptr);

}  // namespace km::check
