#include "platform/platform.h"

namespace km {

namespace {

// In the order of SeamOp.
constexpr const char* kSeamOpNames[] = {
    "RegOpenKeyExW", "RegCreateKeyExW", "RegDeleteTreeW", "RegDeleteKeyExW", "RegSetValueExW",
    "RegDeleteKeyValueW", "RegQueryInfoKeyW", "RegEnumKeyExW", "RegQueryValueExW", "RegCloseKey",
    "CreateProcessW", "WaitForProcess", "CloseProcess", "GetSystemDirectoryW",
    "GetLocalTime", "ExpandEnvironmentStringsW", "GetShortPathNameW",
    "ReadWholeFile", "AppendToFile", "PathExists",
    "GetOwnFileVersion",
    "QueryPolicyValue", "InspectDetachedSignature", "QueryPublisherTrust",
};
static_assert(sizeof kSeamOpNames / sizeof kSeamOpNames[0] ==
                  static_cast<std::size_t>(SeamOp::QueryPublisherTrust) + 1,
              "one name for each operation");

}  // namespace

const char* SeamOpName(SeamOp op) { return kSeamOpNames[static_cast<std::size_t>(op)]; }

}  // namespace km
