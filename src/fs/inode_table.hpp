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

#include <array>
#include <bit>
#include <cstddef>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "fs/inode.hpp"
#include "fs/linear_probing.hpp"
#include "fs/locking.hpp"

namespace quorvex::fs {

// A map from id to node, by open addressing: a slot is just the owning share of a node,
// whose own id is the key. Linear probing; a removal shifts the entries behind it back,
// so there are no tombstones. One allocation per growth instead of one per entry.
class NodeMap {
  public:
    [[nodiscard]] INode *find(InodeId id) const noexcept {
        if (size_ == 0) return nullptr;
        for (std::size_t at = home(id);; at = (at + 1) & mask_) {
            INode *node = slots_[at].get();
            if (!node || node->id == id) return node;
        }
    }

    // Leaves the map unchanged when growing it throws.
    void insert(INodeRef node) {
        if ((size_ + 1) * 4 > capacity() * 3) grow();
        place(std::move(node));
        ++size_;
    }

    // The entry's share of the node, or null when the id is absent.
    INodeRef erase(InodeId id) noexcept {
        if (size_ == 0) return nullptr;
        std::size_t hole = home(id);
        while (slots_[hole] && slots_[hole]->id != id)
            hole = (hole + 1) & mask_;
        if (!slots_[hole]) return nullptr;
        INodeRef removed = std::move(slots_[hole]);
        --size_;
        close_gap(slots_.get(), mask_, hole,
                  [this](const INodeRef &node) { return home(node->id); });
        return removed;
    }

    [[nodiscard]] std::size_t size() const noexcept { return size_; }

    // Hands the map's share of each entry to `release(INode *)` and empties the map.
    template <class Release> void release_each(Release &&release) noexcept {
        for (std::size_t at = 0; at < capacity(); ++at) {
            if (slots_[at]) release(slots_[at].detach());
        }
        size_ = 0;
    }

    template <class Visit> void for_each(Visit &&visit) const {
        for (std::size_t at = 0; at < capacity(); ++at) {
            if (slots_[at]) visit(slots_[at]);
        }
    }

  private:
    [[nodiscard]] std::size_t capacity() const noexcept { return slots_ ? mask_ + 1 : 0; }
    // Fibonacci hashing spreads the consecutive ids a shard receives over the slots.
    [[nodiscard]] std::size_t home(InodeId id) const noexcept {
        return static_cast<std::size_t>((id * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void place(INodeRef node) noexcept {
        std::size_t at = home(node->id);
        while (slots_[at])
            at = (at + 1) & mask_;
        slots_[at] = std::move(node);
    }

    void grow() {
        const std::size_t old_capacity = capacity();
        const std::size_t fresh_capacity = old_capacity ? old_capacity * 2 : 8;
        auto old = std::exchange(slots_, std::make_unique<INodeRef[]>(fresh_capacity));
        mask_ = fresh_capacity - 1;
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(fresh_capacity));
        for (std::size_t at = 0; at < old_capacity; ++at) {
            if (old[at]) place(std::move(old[at]));
        }
    }

    std::unique_ptr<INodeRef[]> slots_;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    std::size_t size_ = 0;
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

    // Ids are never reused, so the id is always new; an existing entry is kept.
    void insert(INodeRef node) {
        Shard &shard = shard_of(node->id);
        std::unique_lock guard(shard.mutex);
        shard.nodes.insert(std::move(node));
    }

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

    Shard &shard_of(InodeId id) noexcept { return shards_[id % kShardCount]; }
    const Shard &shard_of(InodeId id) const noexcept { return shards_[id % kShardCount]; }

    std::array<Shard, kShardCount> shards_;
};

} // namespace quorvex::fs
