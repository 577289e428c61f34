// UTF-8 to UTF-16, shared by the package reader and the check tool.
#pragma once

#include <cstddef>

namespace km {

constexpr std::size_t kNoBadByte = static_cast<std::size_t>(-1);

// The first ill-formed byte a decoding met: its offset in the input, and the
// offset in the output of the U+FFFD it became.
struct FirstBadByte {
    std::size_t byte = kNoBadByte;
    std::size_t unit = 0;
};

// Decodes n bytes into `out`, which has room for n units: no sequence yields
// more units than it has bytes. Each maximal ill-formed subpart (a lone or
// out-of-place byte, a cut-off sequence, an overlong form, a surrogate, a
// code point above U+10FFFF) becomes one U+FFFD. Returns the units written.
// When firstBad is given and holds no byte yet, it receives the first
// ill-formed one.
std::size_t DecodeUtf8(const unsigned char* in, std::size_t n, char16_t* out,
                       FirstBadByte* firstBad = nullptr);

}  // namespace km
