// The concurrent table that owns every inode, keyed by id.
//
// Why it cannot deadlock: the table is split into shards, each a reader/writer lock over a map
// from id to a shared owner of the node. A shard's mutex is held only for the map
// operation itself and nothing else is ever locked or called while it is held, so shard
// locks are leaf locks. A lookup copies the owner out under the shard's shared lock and
// returns after unlocking: the "lookup handle" is that owner, which pins the node by
// reference count, not by a lock. Holding any number of handles therefore never blocks
// an insertion or a removal (of the same entry or another), and growth of a shard's map
// happens under its own exclusive lock with no handle involved. A node taken out of the
// table while another thread still holds it stays alive until that holder lets go.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "fs/inode.hpp"
#include "fs/linear_probing.hpp"
#include "fs/locking.hpp"

namespace quorvex::fs {

// A map from id to node, by open addressing: a slot is the address of a node the map
// holds a share of (counted in the node, kept here as a bare address), whose own id is
// the key. Linear probing; a removal shifts the entries behind it back, so there are no
// tombstones. The first few slots live in the map itself, so a map of a handful of entries
// allocates nothing; beyond them, one allocation per growth instead of one per entry.
class NodeMap {
  public:
    NodeMap() noexcept = default;
    NodeMap(const NodeMap &) = delete;
    NodeMap &operator=(const NodeMap &) = delete;
    ~NodeMap() {
        if (size_ != 0) release_each([](INode *node) { INodeRef::adopt(node); });
        free_slots();
    }

    [[nodiscard]] INode *find(InodeId id) const noexcept {
        for (std::size_t at = home(id);; at = (at + 1) & mask_) {
            INode *node = slots_[at];
            if (!node || node->id == id) return node;
        }
    }

    // Takes over the caller's share. Leaves the map and the share unchanged when growing
    // the map throws.
    void insert(INodeRef &&node) {
        if ((std::size_t{size_} + 1) * 4 > capacity() * 3) grow();
        place(node.detach());
        ++size_;
    }

    // The entry's share of the node, or null when the id is absent.
    INodeRef erase(InodeId id) noexcept {
        std::size_t hole = home(id);
        while (slots_[hole] && slots_[hole]->id != id)
            hole = (hole + 1) & mask_;
        if (!slots_[hole]) return nullptr;
        INodeRef removed = INodeRef::adopt(std::exchange(slots_[hole], nullptr));
        --size_;
        close_gap(slots_, mask_, hole, [this](const INode *node) { return home(node->id); });
        return removed;
    }

    [[nodiscard]] std::size_t size() const noexcept { return size_; }

    // Hands the map's share of each entry to `release(INode *)` and empties the map.
    template <class Release> void release_each(Release &&release) noexcept {
        for_each(release);
        free_slots();
        std::fill(std::begin(inline_slots_), std::end(inline_slots_), nullptr);
        slots_ = inline_slots_;
        mask_ = kInlineSlots - 1;
        shift_ = kInlineShift;
        size_ = 0;
    }

    // Calls `visit(INode *)` for each entry.
    template <class Visit> void for_each(Visit &&visit) const {
        // Read once: `visit` could otherwise change them, as far as the compiler knows.
        INode *const *const slots = slots_;
        const std::size_t end = capacity();
        for (std::size_t at = 0; at < end; ++at) {
            if (INode *node = slots[at]) visit(node);
        }
    }

  private:
    static constexpr std::uint32_t kInlineSlots = 4;
    static constexpr std::uint8_t kInlineShift = 62;
    // Up to this many slots a growth quadruples the slots rather than doubling them: for a
    // small array the allocation costs more than the slots it would save.
    static constexpr std::uint32_t kQuadrupleBelow = 64;

    [[nodiscard]] std::size_t capacity() const noexcept { return std::size_t{mask_} + 1; }
    // Fibonacci hashing spreads the consecutive ids a shard receives over the slots.
    [[nodiscard]] std::size_t home(InodeId id) const noexcept {
        return static_cast<std::size_t>((id * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void place(INode *node) noexcept {
        std::size_t at = home(node->id);
        while (slots_[at])
            at = (at + 1) & mask_;
        slots_[at] = node;
    }

    void grow() {
        const std::size_t old_capacity = capacity();
        if (old_capacity > std::numeric_limits<std::uint32_t>::max() / 4) throw std::bad_alloc();
        const std::size_t fresh_capacity = old_capacity * (old_capacity < kQuadrupleBelow ? 4 : 2);
        INode **const old = std::exchange(slots_, new INode *[fresh_capacity]());
        mask_ = static_cast<std::uint32_t>(fresh_capacity - 1);
        shift_ = static_cast<std::uint8_t>(64 - std::countr_zero(fresh_capacity));
        for (std::size_t at = 0; at < old_capacity; ++at) {
            if (old[at]) place(old[at]);
        }
        if (old != inline_slots_) delete[] old;
    }

    void free_slots() noexcept {
        if (slots_ != inline_slots_) delete[] slots_;
    }

    INode **slots_ = inline_slots_;
    INode *inline_slots_[kInlineSlots]{};
    std::uint32_t mask_ = kInlineSlots - 1;
    std::uint32_t size_ = 0;
    std::uint8_t shift_ = kInlineShift;
};

class InodeTable {
  public:
    InodeTable() = default;
    InodeTable(const InodeTable &) = delete;
    InodeTable &operator=(const InodeTable &) = delete;

    // A shared handle on the entry, or null when the id is absent.
    [[nodiscard]] INodeRef find(InodeId id) const {
        const Shard &shard = shard_of(id);
        std::shared_lock guard(shard.mutex);
        return INodeRef::share(shard.nodes.find(id));
    }

    // Takes the caller's share (the first form) or one of its own (the second). Ids are
    // never reused, so the id is always new.
    void insert(INodeRef &&node) {
        Shard &shard = shard_of(node->id);
        std::unique_lock guard(shard.mutex);
        shard.nodes.insert(std::move(node));
    }
    void insert(const INodeRef &node) { insert(INodeRef::share(node.get())); }

    // Takes the entry out; it is destroyed once the last handle on it goes. The node is
    // released outside the shard lock so that its destruction runs under no lock.
    void erase(InodeId id) {
        INodeRef removed;
        {
            Shard &shard = shard_of(id);
            std::unique_lock guard(shard.mutex);
            removed = shard.nodes.erase(id);
            if (!removed) return;
            removed->mark_released();
        }
    }

    // Hands the table's share of each entry to `release(INode *)` and empties it, for a
    // table that nobody else can reach any more (its file system is being destroyed).
    template <class Release> void release_each(Release &&release) noexcept {
        for (Shard &shard : shards_)
            shard.nodes.release_each(release);
    }

    // Handles on every entry, in increasing id order.
    [[nodiscard]] std::vector<INodeRef> snapshot() const;

    [[nodiscard]] std::size_t size() const;

  private:
    static constexpr std::size_t kShardCount = 64;

    struct alignas(64) Shard {
        mutable ShardLock mutex;
        NodeMap nodes;
    };
    static_assert(sizeof(void *) != 8 || sizeof(Shard) == 64, "a shard outgrew its cache line");

    Shard &shard_of(InodeId id) noexcept { return shards_[id % kShardCount]; }
    const Shard &shard_of(InodeId id) const noexcept { return shards_[id % kShardCount]; }

    std::array<Shard, kShardCount> shards_;
};

} // namespace quorvex::fs
