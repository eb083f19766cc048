// Removal of files and directory trees.
//
// A removal inspects the node first (and, for a recursive removal of a directory, removes
// its contents), then unlinks it with every lock taken afresh, so each fact of the first
// phase is tested again. No lock is held between the phases or across the recursion. The
// recursion carries shares of the nodes it visits, so a tree is removed without looking
// each node up again; a node that left the table meanwhile counts as not found, exactly
// as a fresh lookup would. The walk keeps its place in a list of its own, not on the
// call stack.
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "fs/clock.hpp"
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
    auto parent = resolve(node->parent.load(std::memory_order_acquire));
    if (!parent) return parent.error();
    return remove_node(node, *parent, recurse);
}

namespace {

// A directory whose contents a recursive removal is working through.
struct PendingDirectory {
    INodeRef node;
    ChildRefs children;
    std::size_t next = 0;
};

} // namespace

Status FileSystem::inspect_for_removal(const INodeRef &node, bool recurse,
                                       ChildRefs &children) const {
    if (is_released(*node)) return IoErrorKind::InodeNotFound;
    std::shared_lock guard(node->lock);
    if (const auto *entries = node->as_directory()) {
        if (recurse) {
            entries->children.share_to(children);
        } else if (!entries->children.empty()) {
            return IoErrorKind::DirectoryIsNotEmpty;
        }
    }
    return {};
}

Status FileSystem::finish_removal(const INodeRef &node, const INodeRef &parent) {
    if (node->id == kRootId) {
        // The root stays: every path starts there. Removing it means emptying it, and it
        // must still be empty now, as any directory must be when it is unlinked.
        std::shared_lock guard(node->lock);
        if (!node->as_directory()->children.empty()) {
            return IoErrorKind::DirectoryIsNotEmpty;
        }
        return {};
    }
    return unlink(node, parent);
}

// Depth first, children before their directory, in child-list order. The directories
// under way are kept in a list of their own rather than on the call stack, so a deep
// tree costs heap, not stack; each one's parent is the one before it.
Status FileSystem::remove_node(const INodeRef &node, const INodeRef &parent, bool recurse) {
    ChildRefs children;
    QUORVEX_TRY(inspect_for_removal(node, recurse, children));
    if (children.empty()) return finish_removal(node, parent);
    std::vector<PendingDirectory> pending;
    pending.push_back({node, std::move(children), 0});
    while (!pending.empty()) {
        PendingDirectory &top = pending.back();
        if (top.next < top.children.size()) {
            INodeRef &child = top.children[top.next++];
            ChildRefs grandchildren;
            QUORVEX_TRY(inspect_for_removal(child, true, grandchildren));
            if (grandchildren.empty()) {
                QUORVEX_TRY(finish_removal(child, top.node));
            } else {
                pending.push_back({std::move(child), std::move(grandchildren), 0});
            }
            continue;
        }
        const INodeRef done = std::move(top.node);
        pending.pop_back();
        QUORVEX_TRY(finish_removal(done, pending.empty() ? parent : pending.back().node));
    }
    return {};
}

Status FileSystem::claim_for_unlink(INode &node) {
    // Exclusive, so that marking a directory unlinked cannot interleave with a creation
    // inside it: either the child is in the list now, or it never will be.
    std::unique_lock guard(node.lock);
    if (is_released(node)) return IoErrorKind::InodeNotFound;
    if (auto *file = node.as_file()) {
        // A second removal of the same file finds it claimed, like any other holder.
        if (!file->lock.try_claim_for_removal()) return IoErrorKind::ResourceCurrentInUse;
    } else {
        if (node.is_unlinked()) return IoErrorKind::InodeNotFound;
        const auto *entries = node.as_directory();
        if (entries && !entries->children.empty()) return IoErrorKind::DirectoryIsNotEmpty;
    }
    node.flags.fetch_or(INode::kUnlinked, std::memory_order_relaxed);
    return {};
}

void FileSystem::unlink_claimed(const INodeRef &node, INodeRef parent) {
    while (parent) {
        bool removed = false;
        {
            std::unique_lock guard(parent->lock);
            if (auto *entries = parent->as_directory()) {
                const ListChange change(*parent);
                removed = entries->children.remove(node.get());
            }
        }
        if (removed) {
            parent->touch_mtime(now_ns());
            break;
        }
        // A rename moved the node out of `parent` before the claim stopped renames from
        // moving it; its parent now names the directory that lists it.
        auto lister = resolve(node->parent.load(std::memory_order_acquire));
        if (!lister || *lister == parent) break;
        parent = std::move(*lister);
    }
    release_inode_id(node->id);
}

Status FileSystem::unlink(const INodeRef &node, const INodeRef &parent) {
    QUORVEX_TRY(claim_for_unlink(*node));
    unlink_claimed(node, parent);
    return {};
}

} // namespace quorvex::fs
