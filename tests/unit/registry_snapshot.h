// A compact text picture of one key of the in-memory registry, for table
// expectations: "absent", or "{name=type:hex ... Sub{...}}" with values
// before subkeys, both in creation order.
#pragma once

#include <cstdio>
#include <string>

#include "platform/memory/memory_platform.h"
#include "platform/text.h"

namespace km {

inline std::string Snapshot(const MemoryPlatform& sys, RegKey root, const Text& path) {
    if (!sys.KeyExists(root, path)) return "absent";
    std::string out = "{";
    bool first = true;
    auto separate = [&] {
        if (!first) out += ' ';
        first = false;
    };
    for (const Text& name : sys.ValueNames(root, path)) {
        separate();
        const auto value = sys.GetValue(root, path, name);
        out += ToUtf8(name) + "=" + std::to_string(value->type) + ":";
        for (std::uint8_t b : value->data) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", b);
            out += hex;
        }
    }
    for (const Text& sub : sys.SubkeyNames(root, path)) {
        separate();
        out += ToUtf8(sub) + Snapshot(sys, root, path + u"\\" + sub);
    }
    return out + "}";
}

}  // namespace km
