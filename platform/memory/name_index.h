// The index of a key's many values or subkeys by name, as the registry
// compares names: a flat table of positions under each name's hash, so that
// a key of many entries holds no node and no folded copy of each name, and a
// lookup folds nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"
#include "platform/registry_case.h"

namespace km {

class NameIndex {
public:
    static constexpr std::size_t kNone = std::size_t(-1);

    // The position of the entry named `wanted`, the first added of such; kNone
    // where there is none. `nameAt(position)` gives an indexed entry's name.
    template <class NameAt>
    std::size_t Find(TextView wanted, NameAt nameAt) const {
        if (slots_.empty()) return kNone;
        const std::uint32_t hash = RegistryNameHash(wanted);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
            const Slot& slot = slots_[at];
            if (slot.position == 0) return kNone;
            if (slot.hash == hash && SameRegistryName(nameAt(slot.position - 1), wanted)) return slot.position - 1;
        }
    }
    // Positions are added in increasing order.
    void Add(TextView name, std::size_t position);
    void Clear();

private:
    struct Slot {
        std::uint32_t hash = 0;
        std::uint32_t position = 0;  // the position plus one; 0: empty
    };
    void Place(Slot slot);
    void Grow();

    std::vector<Slot> slots_;  // a power of two of them, at most three quarters used
    std::size_t count_ = 0;
};

}  // namespace km
