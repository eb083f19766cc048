// The name index of a large directory: name -> position in its child list.
//
// Open addressing over 8-byte entries, each a position and the name's 32-bit hash; the
// names themselves stay in the child nodes, and are compared only when hashes agree.
// Linear probing; a removal shifts the entries behind it back, so there are no tombstones.
// The hash is keyed per process, so nobody can choose names that pile up in one run.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace quorvex::fs {

class NameIndex {
  public:
    using Position = std::uint32_t;

    // A name's hash: SipHash-1-3 under a key drawn at random once per process, so that
    // names crafted to collide in one process do not collide in another.
    [[nodiscard]] static std::uint32_t hash(std::string_view name) noexcept;
    struct HashKey {
        std::uint64_t k0;
        std::uint64_t k1;
    };
    [[nodiscard]] static std::uint32_t hash(std::string_view name, HashKey key) noexcept;

    // The position of `name`, or kAbsent. `name_at` gives the name at a position.
    template <class NameAt>
    [[nodiscard]] Position find(std::string_view name, std::uint32_t hash,
                                NameAt &&name_at) const noexcept {
        if (!entries_) return kAbsent;
        for (std::size_t at = home(hash);; at = next(at)) {
            const Entry &entry = entries_[at];
            if (entry.position == kAbsent) return kAbsent;
            if (entry.hash == hash && name_at(entry.position) == name) return entry.position;
        }
    }

    // Adds `name`'s position, or moves it there when the name is present. Without memory
    // to grow, a table that still has room fills up further (probes get longer, nothing
    // breaks); only a full one throws std::bad_alloc, leaving the index unchanged.
    template <class NameAt>
    void assign(std::uint32_t hash, Position position, std::string_view name, NameAt &&name_at) {
        if (entries_) {
            for (std::size_t at = home(hash); entries_[at].position != kAbsent; at = next(at)) {
                Entry &entry = entries_[at];
                if (entry.hash == hash && name_at(entry.position) == name) {
                    entry.position = position;
                    return;
                }
            }
        }
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

    static constexpr Position kAbsent = ~Position{0};

  private:
    struct Entry {
        Position position = kAbsent;
        std::uint32_t hash = 0;

        explicit operator bool() const noexcept { return position != kAbsent; }
    };

    [[nodiscard]] std::size_t capacity() const noexcept { return entries_ ? mask_ + 1 : 0; }
    [[nodiscard]] std::size_t home(std::uint32_t hash) const noexcept {
        return static_cast<std::uint32_t>(hash * 0x9E3779B9u) >> shift_;
    }
    [[nodiscard]] std::size_t next(std::size_t at) const noexcept { return (at + 1) & mask_; }
    [[nodiscard]] std::size_t slot_of(std::uint32_t hash, Position position) const noexcept;
    void place(Entry entry) noexcept;
    void grow_if_possible();
    void rehash(std::size_t fresh_capacity);

    static constexpr std::size_t kMinCapacity = 64;

    std::unique_ptr<Entry[]> entries_;
    std::size_t mask_ = 0;
    unsigned shift_ = 32;
    std::size_t count_ = 0;
};

} // namespace quorvex::fs
