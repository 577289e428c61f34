// UTF-8 to UTF-16, shared by the package reader and the check tool.
#pragma once

#include <cstddef>

namespace km {

constexpr std::size_t kNoBadByte = static_cast<std::size_t>(-1);

// Decodes n bytes into `out`, which has room for n units: no sequence yields
// more units than it has bytes. Each maximal ill-formed subpart (a lone or
// out-of-place byte, a cut-off sequence, an overlong form, a surrogate, a
// code point above U+10FFFF) becomes one U+FFFD. Returns the units written.
// When firstBad is given and still kNoBadByte, it receives the offset of the
// first ill-formed byte.
std::size_t DecodeUtf8(const unsigned char* in, std::size_t n, char16_t* out,
                       std::size_t* firstBad = nullptr);

}  // namespace km
