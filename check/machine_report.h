// keymason-check's reports for machines: one JSON document (the lint
// findings, the base's warnings, the plan's effects with old and new type
// and bytes, the summary and, with --verify, the drift), and SARIF 2.1.0 of
// the lint findings, for a package repository's code review.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "toolkit/lint.h"
#include "check/plan.h"
#include "toolkit/reg_file.h"

namespace km::check {

// The version of the JSON document's layout; it changes when a field's
// meaning does.
constexpr int kJsonReportVersion = 1;

struct ReportInput {
    std::string packageName;
    std::vector<toolkit::Finding> findings;
    bool planned = false;
    std::string baseName;
    std::vector<toolkit::RegFileError> baseWarnings;
    const PlanDetails* plan = nullptr;
    bool verify = false;
    int exitCode = 0;
};

// The effects that change the machine: everything but a value set to what
// it already holds.
std::vector<const PlannedEffect*> Drift(const PlanDetails& plan);
std::string DriftLine(const PlannedEffect& effect);

// The JSON document, appended to `out`; where `passOn` is given, it is called
// to hand on what `out` holds whenever the effects have made it large.
void AppendJsonReport(const ReportInput& input, std::string& out, const std::function<void()>& passOn = {});
std::string SarifReport(const ReportInput& input);

}  // namespace km::check
