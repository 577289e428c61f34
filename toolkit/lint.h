// Lint of a package data file: one finding per suspicious field, in the form
// compilers use, "PACKAGE:LINE:FIELD: warning|error: text", in file order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace km::toolkit {

enum class Severity { Warning, Error };

struct Finding {
    int line = 0;   // 1-based
    int field = 0;  // 1-based field of the line ("*@*"-separated)
    Severity severity = Severity::Warning;
    std::string text;  // UTF-8
};

// The package file's bytes, as Keymason reads them.
std::vector<Finding> LintPackage(std::string_view bytes);

// Why a target that names no group cannot be an account a profile belongs to
// (over 20 characters, blanks at its ends, a group name in another spelling,
// a character Windows refuses in one): "is longer than ..."; empty when it
// may be one.
std::string WhyNotAnAccount(TextView name);

std::string FormatFinding(const std::string& package, const Finding& finding);

// 0 when there is no finding, 1 for warnings only, 2 when there is an error.
int LintExitCode(const std::vector<Finding>& diagnostics);

}  // namespace km::toolkit
