#include "fs/name_index.hpp"

#include <bit>
#include <functional>
#include <new>
#include <utility>

namespace quorvex::fs {

std::uint32_t NameIndex::hash(std::string_view name) noexcept {
    const std::uint64_t full = std::hash<std::string_view>{}(name);
    return static_cast<std::uint32_t>(full ^ (full >> 32));
}

std::size_t NameIndex::slot_of(std::uint32_t hash, Position position) const noexcept {
    if (!entries_) return capacity();
    for (std::size_t at = home(hash); entries_[at].position != kAbsent; at = next(at)) {
        if (entries_[at].position == position) return at;
    }
    return capacity();
}

void NameIndex::erase(std::uint32_t hash, Position position) noexcept {
    std::size_t hole = slot_of(hash, position);
    if (hole == capacity()) return;
    entries_[hole] = Entry{};
    --count_;
    // Pull back every later entry of the run that may sit at or before the hole.
    for (std::size_t at = next(hole); entries_[at].position != kAbsent; at = next(at)) {
        const std::size_t wanted = home(entries_[at].hash);
        const bool stays =
            hole < at ? (wanted > hole && wanted <= at) : (wanted > hole || wanted <= at);
        if (!stays) {
            entries_[hole] = std::exchange(entries_[at], Entry{});
            hole = at;
        }
    }
}

void NameIndex::move(std::uint32_t hash, Position from, Position to) noexcept {
    const std::size_t at = slot_of(hash, from);
    if (at != capacity()) entries_[at].position = to;
}

void NameIndex::place(Entry entry) noexcept {
    std::size_t at = home(entry.hash);
    while (entries_[at].position != kAbsent)
        at = next(at);
    entries_[at] = entry;
}

void NameIndex::grow_if_possible() {
    try {
        rehash(capacity() ? capacity() * 2 : kMinCapacity);
    } catch (const std::bad_alloc &) {
        // One slot must stay empty, or a probe for an absent name would never end.
        if (count_ + 2 > capacity()) throw;
    }
}

void NameIndex::reserve(std::size_t count) {
    std::size_t wanted = kMinCapacity;
    while (wanted * 3 < count * 4)
        wanted *= 2;
    if (wanted > capacity()) rehash(wanted);
}

void NameIndex::rehash(std::size_t fresh_capacity) {
    const std::size_t old_capacity = capacity();
    auto old = std::exchange(entries_, std::make_unique<Entry[]>(fresh_capacity));
    mask_ = fresh_capacity - 1;
    shift_ = 32 - static_cast<unsigned>(std::countr_zero(fresh_capacity));
    for (std::size_t at = 0; at < old_capacity; ++at) {
        if (old[at].position != kAbsent) place(old[at]);
    }
}

} // namespace quorvex::fs
