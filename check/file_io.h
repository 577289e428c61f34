// Whole-file reading and writing for the program's own files, by UTF-16 path.
#pragma once

#include <string>

#include "platform/platform.h"

namespace km::check {

bool ReadFileBytes(const Text& path, std::string* bytes);
bool WriteFileBytes(const Text& path, const std::string& bytes);

}  // namespace km::check
