#include "fs/name_index.hpp"

#include <bit>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <random>

#if defined(__linux__)
#include <sys/random.h>
#endif

#include "fs/epoch.hpp"
#include "fs/linear_probing.hpp"

namespace quorvex::fs {

namespace {

NameIndex::HashKey clock_key() noexcept {
    // No entropy source: the addresses and the clock still differ from run to run.
    const auto now =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return {now ^ reinterpret_cast<std::uintptr_t>(&now),
            std::rotl(now, 29) ^ reinterpret_cast<std::uintptr_t>(&clock_key)};
}

NameIndex::HashKey random_key() noexcept {
#if defined(__linux__)
    // getrandom directly: a statically linked libstdc++'s random_device calls arc4random,
    // which would raise the oldest glibc the module runs on to 2.36.
    std::uint64_t words[2];
    if (getrandom(words, sizeof words, 0) == static_cast<ssize_t>(sizeof words)) {
        return {words[0], words[1]};
    }
    return clock_key();
#else
    try {
        std::random_device device;
        const auto word = [&device] {
            return (static_cast<std::uint64_t>(device()) << 32) | device();
        };
        return {word(), word()};
    } catch (...) {
        return clock_key();
    }
#endif
}

// A table's words are made by rehash() with their first values, rather than zeroed first
// and stored again; they need no destruction.
void free_table(void *table) noexcept { ::operator delete[](table); }

} // namespace

// Drawn while the library is loaded, so that reading it needs no check of its own.
const NameIndex::HashKey NameIndex::process_key_ = random_key();

NameIndex::~NameIndex() { free_table(table_.load(std::memory_order_relaxed)); }

std::size_t NameIndex::slot_of(std::uint32_t hash, Position position) const noexcept {
    if (!entries_) return capacity();
    for (std::size_t at = home(hash); entry_at(at); at = next(at)) {
        if (entry_at(at).position == position) return at;
    }
    return capacity();
}

void NameIndex::erase(std::uint32_t hash, Position position) noexcept {
    const std::size_t hole = slot_of(hash, position);
    if (hole == capacity()) return;
    put(hole, Entry{});
    --count_;
    // An entry is written to its new slot before it leaves its old one, so a reader finds
    // it twice rather than not at all; either way its directory's counter tells it apart.
    close_gap(
        mask_, hole, [this](std::size_t at) { return static_cast<bool>(entry_at(at)); },
        [this](std::size_t at) { return home(entry_at(at).hash); },
        [this](std::size_t from, std::size_t to) {
            put(to, entry_at(from));
            put(from, Entry{});
        });
}

void NameIndex::move(std::uint32_t hash, Position from, Position to) noexcept {
    const std::size_t at = slot_of(hash, from);
    if (at != capacity()) put(at, {to, hash});
}

void NameIndex::renumber(const Position *moved_to) noexcept {
    const std::size_t end = capacity();
    for (std::size_t at = 0; at < end; ++at) {
        const Entry entry = entry_at(at);
        if (entry) put(at, {moved_to[entry.position], entry.hash});
    }
}

void NameIndex::place(Entry entry) noexcept {
    std::size_t at = home(entry.hash);
    while (entry_at(at))
        at = next(at);
    put(at, entry);
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
    Word *const old_table = table_.load(std::memory_order_relaxed);
    Word *const old_entries = entries_;
    // Filled before it is published, so nobody else sees it yet.
    auto *fresh = static_cast<Word *>(::operator new[]((fresh_capacity + 1) * sizeof(Word)));
    const auto bits = static_cast<unsigned>(std::countr_zero(fresh_capacity));
    std::construct_at(fresh, bits);
    for (std::size_t at = 1; at <= fresh_capacity; ++at)
        std::construct_at(fresh + at, pack(Entry{}));
    entries_ = fresh + 1;
    mask_ = fresh_capacity - 1;
    shift_ = 32 - bits;
    for (std::size_t at = 0; at < old_capacity; ++at) {
        const Entry entry = unpack(old_entries[at].load(std::memory_order_relaxed));
        if (entry) place(entry);
    }
    table_.store(fresh, std::memory_order_release);
    // A reader may still be scanning the old table.
    if (old_table) epoch::retire(old_table, free_table);
}

} // namespace quorvex::fs
