#include "check/text_codec.h"

namespace km::check {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void Append(Text& out, char32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(char16_t(0xD800 + (cp >> 10)));
        out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(char16_t(cp));
    }
}

}  // namespace

Utf8Decoded DecodeUtf8(std::string_view bytes) {
    Utf8Decoded result;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    auto bad = [&](std::size_t at) {
        if (result.valid) result.firstBadByte = at;
        result.valid = false;
        result.text.push_back(kReplacement);
    };
    while (i < n) {
        const unsigned lead = in[i];
        if (lead < 0x80) {
            result.text.push_back(char16_t(lead));
            ++i;
            continue;
        }
        unsigned need = 0;
        char32_t cp = 0;
        // The first continuation byte's range rules out overlong forms,
        // surrogates and code points above U+10FFFF.
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
            bad(i++);
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
        if (complete)
            Append(result.text, cp);
        else
            bad(i);
        i = j;
    }
    return result;
}

Text DecodeUtf16Le(std::string_view bytes) {
    Text text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        text.push_back(char16_t(static_cast<unsigned char>(bytes[i]) |
                                (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    return text;
}

std::string EncodeUtf16Le(TextView text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t c : text) {
        bytes.push_back(char(c & 0xFF));
        bytes.push_back(char(c >> 8));
    }
    return bytes;
}

Text DecodeLatin1(std::string_view bytes) {
    Text text;
    text.reserve(bytes.size());
    for (unsigned char c : bytes) text.push_back(char16_t(c));
    return text;
}

}  // namespace km::check
