// One call through the seam as the fault layer saw it, with its arguments,
// and its one-line text for assertion messages.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

namespace km {

struct PlatformCall {
    SeamOp op = SeamOp::RegOpenKeyExW;
    RegKey key = 0;            // the handle or root passed
    std::string where;         // the key's full path at the time, e.g. "HKLM\SOFTWARE" ("" if none)
    Text subKey;               // path, file or application name argument
    bool hasSubKey = false;    // false where a null subkey was passed
    Text valueName;            // value name, command line or second text argument
    std::uint32_t options = 0;
    std::uint32_t sam = 0;     // samDesired
    std::uint32_t reserved = 0;
    std::uint32_t type = 0;
    std::optional<SecurityAttributes> attributes;
    Bytes data;
    bool inheritHandles = false;
    std::uint32_t creationFlags = 0;
    StartupInfo startup;
    std::uint32_t index = 0;       // RegEnumKeyExW's index
    std::uint32_t capacity = 0;    // RegEnumKeyExW's name capacity
    std::uint32_t timeoutMs = 0;   // WaitForProcess's timeout
    bool succeeded = false;
    std::string ToString() const;
};

}  // namespace km
