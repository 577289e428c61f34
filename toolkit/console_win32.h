// The Windows console side of the command-line tools: wide arguments in,
// UTF-8 reports out.
#pragma once

#include <string>
#include <vector>

#include "toolkit/tool_environment.h"

namespace km::toolkit {

std::vector<Text> WideArguments(int argc, wchar_t** argv);

// The files on disk and this machine's registry for --live; the reports go
// to `out` and `err`.
ToolEnvironment WindowsEnvironment(std::string* out, std::string* err);

// Writes both outputs as UTF-8, which the console then shows as such, and
// gives the exit code (see WriteOutputsAndExit). `binary`: standard output is
// written byte for byte (a package's own CR LF must not get another CR).
int WriteOutputs(const std::string& out, const std::string& err, bool binary, int code, const char* tool);

}  // namespace km::toolkit
