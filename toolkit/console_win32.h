// The Windows console side of the command-line tools: wide arguments in,
// UTF-8 reports out.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace km::check {

std::vector<Text> WideArguments(int argc, wchar_t** argv);

// Writes both outputs as UTF-8, which the console then shows as such, and
// gives the exit code (see WriteOutputsAndExit). `binary`: standard output is
// written byte for byte (a package's own CR LF must not get another CR).
int WriteOutputs(const std::string& out, const std::string& err, bool binary, int code, const char* tool);

}  // namespace km::check
