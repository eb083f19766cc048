// The removal step shared by the open-addressing tables (NodeMap, NameIndex).
#pragma once

#include <cstddef>
#include <utility>

namespace quorvex::fs {

// In a linear-probing table of mask + 1 slots (a power of two) whose slot at `hole` has
// just been emptied, pulls back every later entry of the run that may sit at or before
// the hole, so that no tombstones are needed. `occupied(at)` tells whether a slot holds an
// entry, `home(at)` is the slot that entry hashes to, and `move(from, to)` moves it into
// the hole at `to`, leaving `from` empty.
template <class Occupied, class Home, class Move>
void close_gap(std::size_t mask, std::size_t hole, Occupied &&occupied, Home &&home,
               Move &&move) noexcept {
    for (std::size_t at = (hole + 1) & mask; occupied(at); at = (at + 1) & mask) {
        const std::size_t wanted = home(at);
        // Whether the entry's home lies cyclically in (hole, at], so that it may not move.
        const bool stays =
            hole < at ? (wanted > hole && wanted <= at) : (wanted > hole || wanted <= at);
        if (!stays) {
            move(at, hole);
            hole = at;
        }
    }
}

// The same over an array of slots, each empty when it converts to false; Slot{} is an
// empty one.
template <class Slot, class Home>
void close_gap(Slot *slots, std::size_t mask, std::size_t hole, Home &&home) noexcept {
    close_gap(
        mask, hole, [slots](std::size_t at) { return static_cast<bool>(slots[at]); },
        [slots, &home](std::size_t at) { return home(slots[at]); },
        [slots](std::size_t from, std::size_t to) {
            slots[to] = std::exchange(slots[from], Slot{});
        });
}

} // namespace quorvex::fs
