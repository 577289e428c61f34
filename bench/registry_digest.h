// What a registry subtree holds, reduced to a hash and counts, so runs of
// different importers can be shown to leave the same result.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace km {

struct RegistryDigest {
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a offset basis
    std::size_t keys = 0;
    std::size_t values = 0;
    bool operator==(const RegistryDigest& o) const {
        return hash == o.hash && keys == o.keys && values == o.values;
    }
    bool operator!=(const RegistryDigest& o) const { return !(*this == o); }
};

// Both read and remove in the 64-bit view, whichever build runs them.

// Adds the subtree at root\path (if it exists) in a canonical order: names
// folded to lower case and sorted. When listing is given, appends one line
// per key and value, for a diff when two results differ.
void AddTree(HKEY root, const std::wstring& path, RegistryDigest* digest,
             std::wstring* listing = nullptr);

// Removes root\path with everything below it; a missing key is fine.
void RemoveTree(HKEY root, const std::wstring& path);

}  // namespace km
