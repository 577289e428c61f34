// What the registry refuses whoever asks: a key more than 512 levels below
// its root, a key name over 255 characters, a value name over 16,383.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/platform.h"

namespace km {

constexpr std::size_t kMaxKeyDepth = 512;
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;

// Whether a path below a key has a part no key can be named by: it starts
// with a backslash or holds two in a row (one trailing backslash is dropped).
inline bool KeyPathHasEmptyPart(TextView path) {
    return !path.empty() && (path.front() == u'\\' || path.find(u"\\\\") != TextView::npos);
}

// Whether `parts`, below a key `depth` levels under its root, can exist.
inline bool KeyPartsFit(std::size_t depth, const std::vector<Text>& parts) {
    if (depth + parts.size() > kMaxKeyDepth) return false;
    for (const Text& part : parts)
        if (part.size() > kMaxKeyNameLength) return false;
    return true;
}

}  // namespace km
