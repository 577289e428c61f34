#include "toolkit/text_codec.h"

#include "engine/utf8_decode.h"

namespace km::toolkit {

Utf8Decoded DecodeUtf8(std::string_view bytes) {
    Utf8Decoded result;
    result.text.resize(bytes.size());
    result.text.resize(km::DecodeUtf8(reinterpret_cast<const unsigned char*>(bytes.data()),
                                      bytes.size(), result.text.data()));
    return result;
}

Text DecodeUtf16Le(std::string_view bytes) {
    Text text(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = char16_t(static_cast<unsigned char>(bytes[2 * i]) |
                           (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
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

}  // namespace km::toolkit
