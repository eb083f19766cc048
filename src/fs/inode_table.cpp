#include "fs/inode_table.hpp"

#include <algorithm>

namespace quorvex::fs {

std::vector<INodeRef> InodeTable::snapshot() const {
    std::vector<INodeRef> nodes;
    for (const Shard &shard : shards_) {
        std::shared_lock guard(shard.mutex);
        shard.nodes.for_each([&](INode *node) { nodes.push_back(INodeRef::share(node)); });
    }
    std::sort(nodes.begin(), nodes.end(),
              [](const INodeRef &a, const INodeRef &b) { return a->id < b->id; });
    return nodes;
}

std::size_t InodeTable::size() const {
    std::size_t count = 0;
    for (const Shard &shard : shards_) {
        std::shared_lock guard(shard.mutex);
        count += shard.nodes.size();
    }
    return count;
}

} // namespace quorvex::fs
