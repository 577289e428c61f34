#include "platform/registry_case.h"

#include <algorithm>
#include <array>

namespace km {

namespace {

// Units first..last, every `stride`, upcase by adding `offset`.
struct UpcaseRow {
    char16_t first;
    char16_t last;
    int offset;
    int stride;
};

constexpr UpcaseRow kUpcaseRows[] = {
#include "platform/registry_upcase_rows.inc"
};

// Every unit's upcase, laid out once: names are compared unit by unit in the
// hot path of every registry lookup.
const std::array<char16_t, 0x10000>& UpcaseTable() {
    static const std::array<char16_t, 0x10000> table = [] {
        std::array<char16_t, 0x10000> t{};
        for (std::size_t u = 0; u < t.size(); ++u) t[u] = char16_t(u);
        for (const UpcaseRow& row : kUpcaseRows)
            for (int u = row.first; u <= row.last; u += row.stride) t[std::size_t(u)] = char16_t(u + row.offset);
        return t;
    }();
    return table;
}

}  // namespace

char16_t RegistryUpcase(char16_t unit) { return UpcaseTable()[unit]; }

Text RegistryFold(TextView name) {
    const auto& table = UpcaseTable();
    Text folded(name);
    for (char16_t& unit : folded) unit = table[unit];
    return folded;
}

bool SameRegistryName(TextView a, TextView b) {
    if (a.size() != b.size()) return false;
    const auto& table = UpcaseTable();
    return std::equal(a.begin(), a.end(), b.begin(), [&](char16_t x, char16_t y) { return table[x] == table[y]; });
}

std::uint32_t RegistryNameHash(TextView name) {
    const auto& table = UpcaseTable();
    std::uint32_t hash = 2166136261u;  // FNV-1a over the upcased units
    for (char16_t unit : name) hash = (hash ^ table[unit]) * 16777619u;
    // Mixed, so that the low bits a table is indexed by depend on every unit.
    hash ^= hash >> 16;
    hash *= 0x85ebca6bu;
    hash ^= hash >> 13;
    return hash;
}

bool RegistryNameLess(TextView a, TextView b) {
    const auto& table = UpcaseTable();
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char16_t x, char16_t y) { return table[x] < table[y]; });
}

}  // namespace km
