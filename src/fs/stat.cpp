// What a node is, how large and when it changed, and the limits on what a file system holds.
#include <shared_mutex>

#include "fs/file_system.hpp"

namespace quorvex::fs {

NodeStat FileSystem::stat_node(const INode &node) {
    NodeStat stat{NodeStat::Kind::Symlink, 0, node.id,
                  node.mtime_ns.load(std::memory_order_relaxed), node.birth_ns};
    // The node's lock, shared and for a moment, only for the size; a file's lock word is
    // not looked at, so handles of any mode do not stand in the way.
    std::shared_lock guard(node.lock);
    if (const auto *file = node.as_file()) {
        stat.kind = NodeStat::Kind::File;
        stat.size = file->data.data.size();
    } else if (const auto *directory = node.as_directory()) {
        stat.kind = NodeStat::Kind::Directory;
        stat.size = directory->children.size();
    }
    return stat;
}

Result<NodeStat> FileSystem::stat(std::string_view path) const {
    auto node = walk(path);
    if (!node) return node.error();
    return stat_node(**node);
}

Status FileSystem::set_times(std::string_view path, std::int64_t mtime_ns) {
    auto node = walk(path);
    if (!node) return node.error();
    (*node)->touch_mtime(mtime_ns);
    return {};
}

Status FileSystem::set_limits(std::optional<std::uint64_t> max_bytes,
                              std::optional<std::uint64_t> max_nodes) {
    if (!usage().set_limits(max_bytes.value_or(Usage::kUnlimited),
                            max_nodes.value_or(Usage::kUnlimited))) {
        return IoErrorKind::NoSpaceLeft;
    }
    return {};
}

} // namespace quorvex::fs
