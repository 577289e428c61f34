// Whole-file reading and writing for the program's own files, by UTF-16 path.
#pragma once

#include <string>

#include "platform/platform.h"

namespace km::toolkit {

bool ReadFileBytes(const Text& path, std::string* bytes);
bool WriteFileBytes(const Text& path, const std::string& bytes);

// Writes the report to standard output, then what went wrong to standard
// error; a report that did not reach standard output whole (a full disk, a
// closed pipe) is an error, exit code 3, never the run's own code.
int WriteOutputsAndExit(const std::string& out, std::string err, int code, const char* tool);

}  // namespace km::toolkit
