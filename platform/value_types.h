// The registry's value types: their codes and the names Windows gives them.
#pragma once

#include "platform/platform.h"

namespace km {

struct RegistryType {
    std::uint32_t code;
    TextView name;
};
inline constexpr RegistryType kRegistryTypes[] = {
    {0, u"REG_NONE"},
    {kRegSz, u"REG_SZ"},
    {kRegExpandSz, u"REG_EXPAND_SZ"},
    {kRegBinary, u"REG_BINARY"},
    {kRegDword, u"REG_DWORD"},
    {5, u"REG_DWORD_BIG_ENDIAN"},
    {6, u"REG_LINK"},
    {kRegMultiSz, u"REG_MULTI_SZ"},
    {8, u"REG_RESOURCE_LIST"},
    {9, u"REG_FULL_RESOURCE_DESCRIPTOR"},
    {10, u"REG_RESOURCE_REQUIREMENTS_LIST"},
    {kRegQword, u"REG_QWORD"},
};

// The registry's name of any type code; empty for a code it has no name for.
constexpr TextView RegistryTypeName(std::uint32_t code) {
    for (const RegistryType& type : kRegistryTypes)
        if (type.code == code) return type.name;
    return TextView();
}

}  // namespace km
