// Text helpers shared by the in-memory platform's printing.
#pragma once

#include <string>

#include "platform/memory/memory_platform.h"

namespace km {

// Names and paths with the characters DisplayText escapes escaped.
std::string Shown(TextView text);
// In double quotes, with quotes and the characters DisplayText escapes
// escaped; backslashes stay as they are, since paths are full of them.
std::string Quoted(TextView text);
// Bytes (file contents, packages) quoted the same way, a byte a character.
std::string Quoted(const std::string& bytes);
// The key, its values (type, hex bytes, and text for string types) and its subtree, indented.
void DumpKey(const MemoryKey& key, int depth, std::string* out);

}  // namespace km
