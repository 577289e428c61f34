#include "engine/utf8_decode.h"

#include <cstdint>
#include <cstring>

namespace km {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

}  // namespace

std::size_t DecodeUtf8(const unsigned char* in, std::size_t n, char16_t* out,
                       FirstBadByte* firstBad) {
    std::size_t i = 0;
    std::size_t o = 0;
    while (i < n) {
        // Package lines are mostly ASCII: eight bytes at a time while no byte
        // has its high bit set, then byte by byte up to the next one that has.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, in + i, sizeof word);
            if (word & 0x8080808080808080ull) break;
            for (std::size_t k = 0; k < 8; ++k) out[o + k] = in[i + k];
            i += 8;
            o += 8;
        }
        while (i < n && in[i] < 0x80) out[o++] = in[i++];
        if (i >= n) break;

        const unsigned lead = in[i];
        unsigned need = 0;
        char32_t cp = 0;
        // The range of the first continuation byte excludes overlongs,
        // surrogates and code points above U+10FFFF; later ones are 80..BF.
        unsigned lo = 0x80, hi = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            cp = lead & 0x0F;
            if (lead == 0xE0) lo = 0xA0;
            if (lead == 0xED) hi = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            cp = lead & 0x07;
            if (lead == 0xF0) lo = 0x90;
            if (lead == 0xF4) hi = 0x8F;
        } else {
            if (firstBad && firstBad->byte == kNoBadByte) *firstBad = {i, o};
            out[o++] = kReplacement;
            ++i;
            continue;
        }

        std::size_t j = i + 1;
        bool complete = true;
        for (unsigned k = 0; k < need; ++k, ++j) {
            if (j >= n || in[j] < lo || in[j] > hi) {
                complete = false;
                break;
            }
            cp = (cp << 6) | (in[j] & 0x3F);
            lo = 0x80;
            hi = 0xBF;
        }
        // The byte that broke a sequence is read again as the start of the next.
        if (!complete && firstBad && firstBad->byte == kNoBadByte) *firstBad = {i, o};
        i = j;
        if (!complete) {
            out[o++] = kReplacement;
        } else if (cp >= 0x10000) {
            cp -= 0x10000;
            out[o++] = char16_t(0xD800 + (cp >> 10));
            out[o++] = char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out[o++] = char16_t(cp);
        }
    }
    return o;
}

}  // namespace km
