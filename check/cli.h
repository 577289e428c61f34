// The command line of keymason-check: options, help, and the run of a lint
// or a plan. The files and the live registry come in from outside, so that
// tests run it whole.
#pragma once

#include <string>
#include <vector>

#include "toolkit/tool_environment.h"

namespace km::check {

enum ExitCode : int {
    kExitClean = 0,
    kExitWarnings = 1,
    kExitErrors = 2,
    kExitUnreadable = 3,  // the package or the base cannot be read, or the result cannot be written
    kExitUsage = 4,
    kExitDrift = 5,  // --verify: the package would change the machine
};

std::string HelpText(bool liveOffered);

// The arguments after the program's name.
int RunCheck(const std::vector<Text>& args, const toolkit::ToolEnvironment& env);

}  // namespace km::check
