// The name index of a large directory: name -> position in its child list.
//
// Open addressing over 8-byte entries, each a position and the name's 32-bit hash; the
// names themselves stay in the child nodes, and are compared only when hashes agree.
// Linear probing; a removal shifts the entries behind it back, so there are no tombstones.
// The hash is keyed per process, so nobody can choose names that pile up in one run.
//
// The index may be read without its owner's lock (scan()), by a lookup inside an epoch
// guard that validates what it found by its directory's change counter (see locking.hpp).
// For that every entry is one atomic word, stored by the owner with release order, and the
// table is one heap block that starts with its own size, published through an atomic
// pointer: a reader that loaded the pointer has a table whose bounds it knows. A table
// replaced by a larger one is retired to the epoch reclaimer, never freed at once.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fs/name.hpp"

namespace quorvex::fs {
namespace detail {

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() noexcept {
        v0 += v1;
        v1 = std::rotl(v1, 13) ^ v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16) ^ v2;
        v0 += v3;
        v3 = std::rotl(v3, 21) ^ v0;
        v2 += v1;
        v1 = std::rotl(v1, 17) ^ v2;
        v2 = std::rotl(v2, 32);
    }
    void absorb(std::uint64_t word) noexcept {
        v3 ^= word;
        round();
        v0 ^= word;
    }
};

// SipHash-1-3: one round per word, three to finish. The last bytes are read one at a
// time, or, with kLoadTail, in two or three loads (short_word): the same value in fewer
// instructions, from code too large for a lookup loop to inline without cost.
template <bool kLoadTail = false>
inline std::uint64_t sip_hash_1_3(std::string_view text, std::uint64_t k0,
                                  std::uint64_t k1) noexcept {
    SipState state{k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull,
                   k0 ^ 0x6c7967656e657261ull, k1 ^ 0x7465646279746573ull};
    std::size_t at = 0;
    for (; at + 8 <= text.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + at, 8);
        state.absorb(word);
    }
    std::uint64_t last = static_cast<std::uint64_t>(text.size()) << 56;
    if constexpr (kLoadTail && std::endian::native == std::endian::little) {
        last |= short_word(text.data() + at, text.size() - at);
    } else {
        for (std::size_t i = 0; at + i < text.size(); ++i)
            last |= static_cast<std::uint64_t>(static_cast<unsigned char>(text[at + i])) << (8 * i);
    }
    state.absorb(last);
    state.v2 ^= 0xff;
    state.round();
    state.round();
    state.round();
    return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

} // namespace detail

class NameIndex {
  public:
    using Position = std::uint32_t;
    // A slot of the table: the hash in the high half, the position in the low one.
    using Word = std::atomic<std::uint64_t>;

    NameIndex() noexcept = default;
    NameIndex(const NameIndex &) = delete;
    NameIndex &operator=(const NameIndex &) = delete;
    // Frees the table at once: only for an index no reader can reach any more.
    ~NameIndex();

    // A name's hash: SipHash-1-3 under a key drawn at random once per process, so that
    // names crafted to collide in one process do not collide in another.
    struct HashKey {
        std::uint64_t k0;
        std::uint64_t k1;
    };
    template <bool kLoadTail = false>
    [[nodiscard]] static std::uint32_t hash(std::string_view name, HashKey key) noexcept {
        const std::uint64_t full = detail::sip_hash_1_3<kLoadTail>(name, key.k0, key.k1);
        return static_cast<std::uint32_t>(full ^ (full >> 32));
    }
    // Inline, as is the key's read, so that a lookup loop that hashes makes no call.
    [[nodiscard]] static std::uint32_t hash(std::string_view name) noexcept {
        return hash(name, process_key_);
    }
    // The same hash in fewer instructions, for a caller outside a lookup loop.
    [[nodiscard]] static std::uint32_t hash_once(std::string_view name) noexcept {
        return hash<true>(name, process_key_);
    }

    // The position of `name`, or kAbsent. `name_at` gives the name at a position. For the
    // owner, or under the owner's shared lock.
    template <class NameAt>
    [[nodiscard]] Position find(std::string_view name, std::uint32_t hash,
                                NameAt &&name_at) const noexcept {
        if (!entries_) return kAbsent;
        for (std::size_t at = home(hash);; at = next(at)) {
            const Entry entry = entry_at(at);
            if (!entry) return kAbsent;
            if (entry.hash == hash && same_text(name_at(entry.position), name))
                return entry.position;
        }
    }

    // How a scan() ended: a candidate stopped it, an empty slot ended the run (the name is
    // absent, if nothing changed meanwhile), or a whole pass met no empty slot.
    enum class Scan : std::uint8_t { Stopped, Ended, GaveUp };

    // For a reader without the owner's lock, inside an epoch guard: offers
    // `candidate(position)` every position stored under `hash` along its run, in probe
    // order, until it returns true. The table may be changing meanwhile, so a candidate
    // may be stale, repeated or missed, and only a caller that validates the whole read
    // afterwards may trust the outcome; but the scan stays inside the table it loaded,
    // which stays allocated for the guard's life, and ends after one pass at most.
    template <class Candidate>
    [[nodiscard]] Scan scan(std::uint32_t hash, Candidate &&candidate) const noexcept {
        const Word *table = table_.load(std::memory_order_acquire);
        if (!table) return Scan::Ended;
        const auto bits = static_cast<unsigned>(table[0].load(std::memory_order_relaxed));
        const std::size_t mask = (std::size_t{1} << bits) - 1;
        std::size_t at = home(hash, 32 - bits);
        for (std::size_t left = mask + 1; left != 0; --left, at = (at + 1) & mask) {
            const Entry entry = unpack(table[1 + at].load(std::memory_order_acquire));
            if (!entry) return Scan::Ended;
            if (entry.hash == hash && candidate(entry.position)) return Scan::Stopped;
        }
        return Scan::GaveUp;
    }

    // Adds `name`'s position, or moves it there when the name is present. Without memory
    // to grow, a table that still has room fills up further (probes get longer, nothing
    // breaks); only a full one throws std::bad_alloc, leaving the index unchanged.
    template <class NameAt>
    void assign(std::uint32_t hash, Position position, std::string_view name, NameAt &&name_at) {
        if (entries_) {
            for (std::size_t at = home(hash); entry_at(at); at = next(at)) {
                const Entry entry = entry_at(at);
                if (entry.hash == hash && same_text(name_at(entry.position), name)) {
                    put(at, {position, hash});
                    return;
                }
            }
        }
        add(hash, position);
    }
    // assign() of a name that the index is known not to hold.
    void add(std::uint32_t hash, Position position) {
        if ((count_ + 1) * 4 > capacity() * 3) grow_if_possible();
        place({position, hash});
        ++count_;
    }

    // Makes room for `count` entries in one allocation, so that building an index either
    // fails at once or not at all for want of memory.
    void reserve(std::size_t count);

    // Removes the entry that holds `position`, if any.
    void erase(std::uint32_t hash, Position position) noexcept;
    // Points the entry that holds `from` at `to`.
    void move(std::uint32_t hash, Position from, Position to) noexcept;
    // Points every entry that holds a position p at moved_to[p], in one pass over the
    // table and without hashing a name: worth it when most slots hold entries.
    void renumber(const Position *moved_to) noexcept;
    // The slots of the table, which a renumber() passes over.
    [[nodiscard]] std::size_t slots() const noexcept { return capacity(); }

    static constexpr Position kAbsent = ~Position{0};

  private:
    struct Entry {
        Position position = kAbsent;
        std::uint32_t hash = 0;

        explicit operator bool() const noexcept { return position != kAbsent; }
    };
    static Entry unpack(std::uint64_t word) noexcept {
        return {static_cast<Position>(word), static_cast<std::uint32_t>(word >> 32)};
    }
    static std::uint64_t pack(Entry entry) noexcept {
        return (std::uint64_t{entry.hash} << 32) | entry.position;
    }
    [[nodiscard]] Entry entry_at(std::size_t at) const noexcept {
        return unpack(entries_[at].load(std::memory_order_relaxed));
    }
    void put(std::size_t at, Entry entry) noexcept {
        entries_[at].store(pack(entry), std::memory_order_release);
    }

    [[nodiscard]] std::size_t capacity() const noexcept { return entries_ ? mask_ + 1 : 0; }
    [[nodiscard]] static std::size_t home(std::uint32_t hash, unsigned shift) noexcept {
        return static_cast<std::uint32_t>(hash * 0x9E3779B9u) >> shift;
    }
    [[nodiscard]] std::size_t home(std::uint32_t hash) const noexcept { return home(hash, shift_); }
    [[nodiscard]] std::size_t next(std::size_t at) const noexcept { return (at + 1) & mask_; }
    [[nodiscard]] std::size_t slot_of(std::uint32_t hash, Position position) const noexcept;
    void place(Entry entry) noexcept;
    void grow_if_possible();
    void rehash(std::size_t fresh_capacity);

    static constexpr std::size_t kMinCapacity = 64;
    static const HashKey process_key_;

    // The published table: word 0 holds log2 of its capacity, the slots follow. The
    // owner's own view of it is below: entries_ (the first slot), mask_ and shift_.
    std::atomic<Word *> table_{nullptr};
    Word *entries_ = nullptr;
    std::size_t mask_ = 0;
    unsigned shift_ = 32;
    std::size_t count_ = 0;
};

} // namespace quorvex::fs
