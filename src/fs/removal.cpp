// Removal of files and directory trees.
//
// A removal inspects the node first (and, for a recursive removal of a directory, removes
// its contents), then unlinks it with every lock taken afresh, so each fact of the first
// phase is tested again. No lock is held between the phases or across the recursion.
#include <algorithm>
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

    ChildIds children;
    {
        std::shared_lock guard(node->lock);
        if (const auto *entries = std::get_if<Directory>(&node->kind)) {
            if (recurse) {
                entries->children.copy_to(children);
            } else if (!entries->children.empty()) {
                return IoErrorKind::DirectoryIsNotEmpty;
            }
        }
    }
    node.reset();

    for (InodeId child : children)
        QUORVEX_TRY(rm_raw(child, true));

    if (id == kRootId) {
        // The root stays: every path starts there. Removing it means emptying it, and it
        // must still be empty now, as any directory must be when it is unlinked.
        INodeRef root = lookup(kRootId);
        std::shared_lock guard(root->lock);
        if (!std::get<Directory>(root->kind).children.empty()) {
            return IoErrorKind::DirectoryIsNotEmpty;
        }
        return {};
    }
    return unlink(id);
}

Status FileSystem::unlink(InodeId id) {
    INodeRef node = lookup(id);
    if (!node) return IoErrorKind::InodeNotFound;
    auto parent = resolve(node->parent);
    if (!parent) return parent.error();

    {
        // Exclusive, so that marking a directory unlinked cannot interleave with a
        // creation inside it: either the child is in the list now, or it never will be.
        std::unique_lock guard(node->lock);
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
        INode &directory = **parent;
        std::unique_lock guard(directory.lock);
        if (auto *entries = std::get_if<Directory>(&directory.kind)) {
            entries->children.remove(node.get());
        }
    }
    node.reset();
    release_inode_id(id);
    return {};
}

} // namespace quorvex::fs
