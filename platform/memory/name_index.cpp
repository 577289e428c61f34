#include "platform/memory/name_index.h"

#include <algorithm>

namespace km {

void NameIndex::Add(TextView name, std::size_t position) {
    if ((count_ + 1) * 4 > slots_.size() * 3) Grow();
    Place(Slot{RegistryNameHash(name), std::uint32_t(position + 1)});
    ++count_;
}

void NameIndex::Clear() {
    slots_.clear();
    count_ = 0;
}

void NameIndex::Place(Slot slot) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = slot.hash & mask;
    while (slots_[at].position != 0) at = (at + 1) & mask;
    slots_[at] = slot;
}

void NameIndex::Grow() {
    std::vector<Slot> held;
    held.swap(slots_);
    slots_.assign(std::max<std::size_t>(64, held.size() * 2), Slot{});
    // From an empty slot on, where no run of slots wraps: of two entries of
    // one name, the first added is placed again first, and stays the one found.
    std::size_t start = 0;
    while (start < held.size() && held[start].position != 0) ++start;
    for (std::size_t i = 0; i < held.size(); ++i) {
        const Slot& slot = held[(start + i) % held.size()];
        if (slot.position != 0) Place(slot);
    }
}

}  // namespace km
