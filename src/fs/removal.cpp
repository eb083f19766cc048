// Removal of files and directory trees.
//
// A removal inspects the node first (and, for a recursive removal of a directory, removes
// its contents), then unlinks it with every lock taken afresh, so each fact of the first
// phase is tested again. No lock is held between the phases or across the recursion. The
// recursion carries shares of the nodes it visits, so a tree is removed without looking
// each node up again; a node that left the table meanwhile counts as not found, exactly
// as a fresh lookup would.
#include <mutex>
#include <shared_mutex>

#include "fs/file_system.hpp"

namespace quorvex::fs {

Status FileSystem::rm(std::string_view path, bool recurse) {
    auto id = get_inode_by_path_raw(path);
    if (!id) return id.error();
    return rm_raw(*id, recurse);
}

Status FileSystem::rm_raw(InodeId id, bool recurse) {
    // A symbolic link is removed itself, never its target: a recursive removal must not
    // reach outside the tree it was asked to remove. For every other node the id names
    // the node directly.
    INodeRef node = lookup(id);
    if (!node) return IoErrorKind::InodeNotFound;
    auto parent = resolve(node->parent);
    if (!parent) return parent.error();
    return remove_node(node, *parent, recurse);
}

Status FileSystem::remove_node(const INodeRef &node, const INodeRef &parent, bool recurse) {
    if (is_released(*node)) return IoErrorKind::InodeNotFound;
    ChildRefs children;
    {
        std::shared_lock guard(node->lock);
        if (const auto *entries = std::get_if<Directory>(&node->kind)) {
            if (recurse) {
                entries->children.share_to(children);
            } else if (!entries->children.empty()) {
                return IoErrorKind::DirectoryIsNotEmpty;
            }
        }
    }
    for (const INodeRef &child : children)
        QUORVEX_TRY(remove_node(child, node, true));

    if (node->id == kRootId) {
        // The root stays: every path starts there. Removing it means emptying it, and it
        // must still be empty now, as any directory must be when it is unlinked.
        std::shared_lock guard(node->lock);
        if (!std::get<Directory>(node->kind).children.empty()) {
            return IoErrorKind::DirectoryIsNotEmpty;
        }
        return {};
    }
    return unlink(node, parent);
}

Status FileSystem::unlink(const INodeRef &node, const INodeRef &parent) {
    {
        // Exclusive, so that marking a directory unlinked cannot interleave with a
        // creation inside it: either the child is in the list now, or it never will be.
        std::unique_lock guard(node->lock);
        if (is_released(*node)) return IoErrorKind::InodeNotFound;
        if (auto *file = std::get_if<File>(&node->kind)) {
            // A second removal of the same file finds it claimed, like any other holder.
            if (!file->lock.try_claim_for_removal()) return IoErrorKind::ResourceCurrentInUse;
        } else {
            if (node->unlinked) return IoErrorKind::InodeNotFound;
            const auto *entries = std::get_if<Directory>(&node->kind);
            if (entries && !entries->children.empty()) return IoErrorKind::DirectoryIsNotEmpty;
        }
        node->unlinked = true;
    }
    {
        std::unique_lock guard(parent->lock);
        if (auto *entries = std::get_if<Directory>(&parent->kind)) {
            entries->children.remove(node.get());
        }
    }
    release_inode_id(node->id);
    return {};
}

} // namespace quorvex::fs
