// Value bytes and profile list entries that many tests build.
#pragma once

#include "engine/user_profiles.h"
#include "platform/memory/memory_platform.h"

namespace km {

// UTF-16LE bytes, with the 16-bit terminator unless told otherwise.
inline Bytes Utf16Bytes(TextView text, bool terminated = true) {
    Bytes bytes;
    bytes.reserve(2 * text.size() + 2);
    for (char16_t c : text) {
        bytes.push_back(std::uint8_t(c & 0xFF));
        bytes.push_back(std::uint8_t(c >> 8));
    }
    if (terminated) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

// A profile list entry as Windows writes it: the folder as REG_EXPAND_SZ.
inline void AddProfileEntry(MemoryPlatform& sys, const Text& sid, const Text& folder,
                            std::uint32_t type = kRegExpandSz) {
    sys.SetValue(kHkeyLocalMachine, Text(kProfileListPath) + u"\\" + sid, u"ProfileImagePath",
                 type, Utf16Bytes(folder));
}

}  // namespace km
