// The removal step shared by the open-addressing tables (NodeMap, NameIndex).
#pragma once

#include <cstddef>
#include <utility>

namespace quorvex::fs {

// In a linear-probing table of mask + 1 slots (a power of two) whose slot at `hole` has
// just been emptied, pulls back every later entry of the run that may sit at or before
// the hole, so that no tombstones are needed. A slot is empty when it converts to false,
// and Slot{} is an empty one; `home(slot)` is the slot an entry hashes to.
template <class Slot, class Home>
void close_gap(Slot *slots, std::size_t mask, std::size_t hole, Home &&home) noexcept {
    for (std::size_t at = (hole + 1) & mask; slots[at]; at = (at + 1) & mask) {
        const std::size_t wanted = home(slots[at]);
        // Whether the entry's home lies cyclically in (hole, at], so that it may not move.
        const bool stays =
            hole < at ? (wanted > hole && wanted <= at) : (wanted > hole || wanted <= at);
        if (!stays) {
            slots[hole] = std::exchange(slots[at], Slot{});
            hole = at;
        }
    }
}

} // namespace quorvex::fs
