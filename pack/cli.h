// The command line of keymason-pack. Files come in and go out through the
// environment, so that tests run it whole.
#pragma once

#include <string>
#include <vector>

#include "toolkit/tool_environment.h"

namespace km::pack {

enum ExitCode : int {
    kExitWritten = 0,     // every change was written
    kExitLeftOut = 2,     // some changes could not be written exactly and were left out
    kExitUnreadable = 3,  // the input cannot be read or the output cannot be written
    kExitUsage = 4,
};

std::string PackHelpText();
// The arguments after the program's name.
int RunPack(const std::vector<Text>& args, const toolkit::ToolEnvironment& env);

}  // namespace km::pack
