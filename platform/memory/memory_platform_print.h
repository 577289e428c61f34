// Text helpers shared by the in-memory platform's printing.
#pragma once

#include <string>

#include "platform/memory/memory_platform.h"

namespace km {

// In double quotes, with quotes and control characters escaped; backslashes
// stay as they are, since paths are full of them.
std::string Quoted(const std::string& text);
std::string Quoted(TextView text);
// The key, its values (type, hex bytes, and text for string types) and its subtree, indented.
void DumpKey(const MemoryKey& key, int depth, std::string* out);

}  // namespace km
