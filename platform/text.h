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

// How display text writes the characters it escapes.
struct DisplayForm {
    TextView backslashed;  // written as a backslash and the character itself (quote marks)
    TextView byLetter;     // the controls among \r \n \t \0 written by their letter
    bool upperHex = false; // \x0D rather than \x0d
};
// Every control a DisplayForm can write by its letter.
inline constexpr TextView kLetteredControls(u"\r\n\t\0", 4);

// Stored text as a report shows it: a pair of surrogates whole; C0, DEL, C1,
// U+2028/U+2029 and lone surrogates escaped (\xHH up to U+00FF, \uHHHH above),
// so that no stored name or data can break or forge a report line.
std::string DisplayText(TextView text, const DisplayForm& form);

}  // namespace km
