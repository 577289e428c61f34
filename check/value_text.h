// Registry values as the plan shows them: the type's name and the data in a
// form a person reads (text quoted, numbers in hex, other data as bytes).
#pragma once

#include <string>

#include "platform/memory/memory_platform.h"

namespace km::check {

std::string TypeName(std::uint32_t type);
// "REG_SZ \"text\"", "REG_DWORD 0x0000000a (10)", "REG_BINARY 01 02 ff".
std::string ValueText(const StoredValue& value);
// Quoted, with \\, \", \r, \n, \t, \0 and other control characters escaped.
std::string QuotedText(TextView text);
// Unquoted, for paths and names in report lines: controls escaped as in QuotedText.
std::string ShownText(TextView text);

}  // namespace km::check
