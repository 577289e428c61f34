// Small helpers over UTF-16 text shared by the engine.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace km {

// Compares folding ASCII letters only, as the registry formats require.
bool EqualsIgnoreAsciiCase(TextView a, TextView b);
// The text with ASCII letters in lower case: equal for texts EqualsIgnoreAsciiCase finds equal.
Text FoldAsciiCase(TextView text);
// Whether `part` stands anywhere in `text`, folding ASCII letters only.
bool ContainsIgnoreAsciiCase(TextView text, TextView part);

// Widens ASCII or Latin-1 bytes unit by unit (for literals and tests).
Text Widen(std::string_view latin1);

// A value's bytes as little-endian UTF-16, up to the first NUL unit, whatever
// type the value was stored with; an odd last byte is no unit.
Text TextUpToNul(const Bytes& data);

// UTF-8 for messages and test output; unpaired surrogates become U+FFFD.
std::string ToUtf8(TextView text);

}  // namespace km
