// Byte <-> UTF-16 conversions the check program needs for its inputs and
// outputs: command-line arguments, .reg files and its report.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace km::toolkit {

struct Utf8Decoded {
    Text text;  // every ill-formed sequence becomes U+FFFD
};

Utf8Decoded DecodeUtf8(std::string_view bytes);

// Pairs of bytes, low byte first; an odd last byte is dropped.
Text DecodeUtf16Le(std::string_view bytes);
std::string EncodeUtf16Le(TextView text);

}  // namespace km::toolkit
