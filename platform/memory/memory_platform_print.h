// Text helpers of the in-memory platform's state printer, shared with the
// tests' printer of seam calls.
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
// "01 0A FF".
std::string HexBytes(const std::uint8_t* data, std::size_t size);
// The registry's name of a value type ("REG_SZ"); others by number.
std::string TypeText(std::uint32_t type);
// The key, its values (type, hex bytes, and text for string types) and its subtree, indented.
void DumpKey(const MemoryKey& key, int depth, std::string* out);

}  // namespace km
