// The concurrent table that owns every inode, keyed by id.
//
// Why it cannot deadlock: the table is split into shards, each a shared_mutex over a map
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
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "fs/inode.hpp"

namespace quorvex::fs {

class InodeTable {
  public:
    InodeTable() = default;
    InodeTable(const InodeTable &) = delete;
    InodeTable &operator=(const InodeTable &) = delete;

    // A shared handle on the entry, or null when the id is absent.
    [[nodiscard]] INodeRef find(InodeId id) const {
        const Shard &shard = shard_of(id);
        std::shared_lock guard(shard.mutex);
        auto it = shard.nodes.find(id);
        return it == shard.nodes.end() ? nullptr : it->second;
    }

    // Ids are never reused, so the id is always new; an existing entry is kept.
    void insert(INodeRef node) {
        Shard &shard = shard_of(node->id);
        std::unique_lock guard(shard.mutex);
        shard.nodes.emplace(node->id, std::move(node));
    }

    // Takes the entry out; it is destroyed once the last handle on it goes. The node is
    // released outside the shard lock so that its destruction runs under no lock.
    void erase(InodeId id) {
        INodeRef removed;
        {
            Shard &shard = shard_of(id);
            std::unique_lock guard(shard.mutex);
            auto it = shard.nodes.find(id);
            if (it == shard.nodes.end()) return;
            removed = std::move(it->second);
            shard.nodes.erase(it);
            removed->released.store(true, std::memory_order_release);
        }
    }

    // Handles on every entry, in increasing id order.
    [[nodiscard]] std::vector<INodeRef> snapshot() const;

    [[nodiscard]] std::size_t size() const;

  private:
    static constexpr std::size_t kShardCount = 64;

    struct alignas(64) Shard {
        mutable std::shared_mutex mutex;
        std::unordered_map<InodeId, INodeRef> nodes;
    };

    Shard &shard_of(InodeId id) noexcept { return shards_[id % kShardCount]; }
    const Shard &shard_of(InodeId id) const noexcept { return shards_[id % kShardCount]; }

    std::array<Shard, kShardCount> shards_;
};

} // namespace quorvex::fs
