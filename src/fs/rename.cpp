// Renaming: an entry moves to a new name, in its own directory or another, replacing what
// the new name held where that is allowed, in one step.
//
// Every rename holds the file system's rename mutex, under which it may hold more than one
// node lock (locking.hpp, rule 6): the two directories, the node it replaces, and the
// directories of a subtree whose depth it changes. The move itself happens inside one
// change of each directory's list, so a lookup sees the entry in exactly one place.
//
// A directory that moves to another depth changes the depth of every node below it. Before
// the move, every directory of its subtree is marked as moving, one at a time under its
// lock, and the subtree's height is measured; a creation in a marked directory waits for
// the rename, so the height cannot grow between the check and the move. After the move,
// each directory, under its lock, takes its new depth and gives its entries theirs, and
// loses its mark.
#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "fs/clock.hpp"
#include "fs/epoch.hpp"
#include "fs/file_system.hpp"
#include "fs/test_hooks.hpp"

namespace quorvex::fs {

void INode::set_name(NameArena::Owned name) noexcept {
    const Name *old = renamed_.exchange(name.release(), std::memory_order_acq_rel);
    // From here on lookups without locks read the name through the pointer; an entry that
    // left the table stays marked so.
    std::uint8_t tag = probe_tag.load(std::memory_order_relaxed);
    const std::uint8_t own = is_link() ? kProbeLink : kProbeLongName;
    while (!probe_tag.compare_exchange_weak(tag,
                                            static_cast<std::uint8_t>((tag & kProbeReleased) | own),
                                            std::memory_order_release, std::memory_order_relaxed)) {
    }
    if (old) {
        epoch::retire(const_cast<Name *>(old), [](void *object) noexcept {
            NameArena::destroy(static_cast<const Name *>(object));
        });
    }
}

// One side of a rename: the directory reached and the entry's name in it; `wants_directory`
// when the path ended in a separator, which, as in Linux, only a directory may.
struct FileSystem::RenameSide {
    INodeRef directory;
    std::string_view name;
    bool wants_directory;
};

// The directories of a subtree whose depth a rename changes, parents before their
// children, each with its level below the moved directory; and the subtree's height.
struct FileSystem::MovingSubtree {
    struct Level {
        INodeRef directory;
        std::uint64_t level;
    };
    std::vector<Level> directories;
    std::uint64_t height = 0;

    // Marks every directory below and at `top` as moving and measures the height. The
    // rename holds the locks of `from` and `to` already, neither of which lies in a subtree
    // that may move; they are not taken twice all the same.
    void mark(INode &top, const INode &from, const INode &to) {
        directories.push_back({INodeRef::share(&top), 0});
        for (std::size_t at = 0; at < directories.size(); ++at) {
            INode &directory = *directories[at].directory;
            const std::uint64_t below = directories[at].level + 1;
            std::shared_lock guard(directory.lock, std::defer_lock);
            if (&directory != &from && &directory != &to) guard.lock();
            directory.flags.fetch_or(INode::kMoving, std::memory_order_relaxed);
            const auto &children = directory.as_directory()->children;
            if (!children.empty()) height = std::max(height, below);
            for (auto it = children.begin(); it != children.end(); ++it) {
                if (it.node()->is_directory()) {
                    directories.push_back({INodeRef::share(it.node()), below});
                }
            }
        }
    }

    // Gives each directory its depth below a top now at `top_depth` (none when the move
    // did not happen), its entries theirs, and takes its mark away.
    // NodeLock's shared lock never throws, and every marked node is a directory.
    void
    settle(std::optional<std::uint64_t> top_depth) noexcept { // NOLINT(bugprone-exception-escape)
        for (const Level &entry : directories) {
            INode &directory = *entry.directory;
            std::shared_lock guard(directory.lock);
            if (top_depth && !planted::kDepthsNotUpdated) {
                const auto depth = static_cast<std::uint8_t>(*top_depth + entry.level);
                directory.depth.store(depth, std::memory_order_relaxed);
                const auto &children = directory.as_directory()->children;
                for (auto it = children.begin(); it != children.end(); ++it) {
                    if (!it.node()->is_directory()) {
                        it.node()->depth.store(static_cast<std::uint8_t>(depth + 1),
                                               std::memory_order_relaxed);
                    }
                }
            }
            directory.flags.fetch_and(static_cast<std::uint8_t>(~INode::kMoving),
                                      std::memory_order_relaxed);
        }
    }
};

namespace {

// A rename's path cut into its directory's path and the entry's name. Trailing separators
// are cut off first: they name the entry before them, and ask for a directory.
struct RenamePath {
    SplitPath split;
    bool wants_directory;
};

RenamePath cut_rename_path(std::string_view path) noexcept {
    bool trailing = false;
    while (!path.empty() && is_separator(path.back())) {
        path.remove_suffix(1);
        trailing = true;
    }
    return {split_last_component(path), trailing};
}

} // namespace

Status FileSystem::rename(std::string_view from, std::string_view to) {
    const RenamePath source = cut_rename_path(from);
    const RenamePath target = cut_rename_path(to);
    auto source_directory = walk(source.split.parent);
    if (!source_directory) return source_directory.error();
    if (!(*source_directory)->is_directory()) return IoErrorKind::NotADirectory;
    // Both names in one directory (the same path to it): one walk finds it for both, as
    // two walks at one moment would.
    auto target_directory = same_text(target.split.parent, source.split.parent)
                                ? Result<INodeRef>(INodeRef::share(source_directory->get()))
                                : walk(target.split.parent);
    if (!target_directory) return target_directory.error();
    if (!(*target_directory)->is_directory()) return IoErrorKind::NotADirectory;
    // The root, "." and ".." name no entry of a directory that could move or be replaced;
    // Linux refuses them with EBUSY.
    if (!is_acceptable_last_component(source.split.name) ||
        !is_acceptable_last_component(target.split.name)) {
        return IoErrorKind::ResourceCurrentInUse;
    }
    const RenameSide source_side{std::move(*source_directory), source.split.name,
                                 source.wants_directory};
    const RenameSide target_side{std::move(*target_directory), target.split.name,
                                 target.wants_directory};
    const std::lock_guard renaming(rename_mutex_);
    return rename_between(source_side, target_side);
}

bool FileSystem::is_at_or_above(const INode &upper, const INode &lower) const {
    const std::uint64_t upper_depth = upper.depth.load(std::memory_order_relaxed);
    const INode *at = &lower;
    INodeRef pinned;
    for (std::uint64_t depth = lower.depth.load(std::memory_order_relaxed); depth > upper_depth;
         --depth) {
        auto parent = resolve(at->parent.load(std::memory_order_relaxed));
        if (!parent) return false;
        pinned = std::move(*parent);
        at = pinned.get();
    }
    return at == &upper;
}

bool FileSystem::goes_first(const INode &one, const INode &other) const {
    // The ancestor first; between unrelated directories, the lower id first. Only a
    // directory less deep than the other can lie above it.
    const auto one_depth = one.depth.load(std::memory_order_relaxed);
    const auto other_depth = other.depth.load(std::memory_order_relaxed);
    if (one_depth != other_depth) {
        if (one_depth < other_depth ? is_at_or_above(one, other) : is_at_or_above(other, one)) {
            return one_depth < other_depth;
        }
    }
    return one.id < other.id;
}

Status FileSystem::rename_between(const RenameSide &source, const RenameSide &target) {
    INode *first = source.directory.get();
    INode *second = target.directory.get();
    if (first == second) {
        second = nullptr;
    } else if (goes_first(*second, *first)) {
        std::swap(first, second);
    }
    MovingSubtree subtree;
    INodeRef replaced;
    Status status;
    try {
        std::unique_lock first_lock(first->lock);
        std::unique_lock<NodeLock> second_lock;
        if (second) second_lock = std::unique_lock(second->lock);
        status = rename_locked(source, target, subtree, replaced);
    } catch (...) {
        subtree.settle(std::nullopt);
        throw;
    }
    const bool moved = status.ok() && !subtree.directories.empty();
    subtree.settle(moved ? std::optional<std::uint64_t>(
                               target.directory->depth.load(std::memory_order_relaxed) + 1u)
                         : std::nullopt);
    // As a removal does: the replaced node left its directory's list first.
    if (replaced) release_inode_id(replaced->id);
    return status;
}

Status FileSystem::rename_locked(const RenameSide &source, const RenameSide &target,
                                 MovingSubtree &subtree, INodeRef &replaced) {
    INode &from = *source.directory;
    INode &to = *target.directory;
    auto &leaving = from.as_directory()->children;
    auto &entering = to.as_directory()->children;
    // A directory that left the table or whose removal is under way has no entries to give
    // or take.
    if (is_released(from) || is_released(to) || from.is_unlinked() || to.is_unlinked()) {
        return IoErrorKind::InodeNotFound;
    }
    // An indexed directory hashes each name once, for the search and for the change.
    const auto hash_in = [](const ChildList &list, std::string_view name) {
        return list.indexed() ? std::optional(NameIndex::hash_once(name)) : std::nullopt;
    };
    const std::optional<std::uint32_t> source_hash = hash_in(leaving, source.name);
    const std::optional<std::uint32_t> target_hash = hash_in(entering, target.name);
    // Where the index found the source, so that taking it out need not search again.
    std::optional<std::uint32_t> source_position;
    INode *source_node = nullptr;
    if (source_hash) {
        const ChildList::Located located = leaving.locate(source.name, *source_hash);
        if (located.node && !is_released(*located.node)) {
            source_node = located.node;
            source_position = located.position;
        }
    } else if (auto found = find_child_locked(*from.as_directory(), source.name)) {
        source_node = *found;
    }
    if (!source_node) return IoErrorKind::InodeNotFound;
    const INodeRef moved = INodeRef::share(source_node);
    // Claimed by a removal: it is on its way out.
    if (moved->is_unlinked()) return IoErrorKind::InodeNotFound;
    const bool is_directory = moved->is_directory();
    if ((source.wants_directory || target.wants_directory) && !is_directory) {
        return IoErrorKind::NotADirectory;
    }
    if (is_directory && !planted::kRenameWithoutSubtreeCheck && is_at_or_above(*moved, to)) {
        return IoErrorKind::InvalidMove;
    }
    // An indexed list holds no links, so its index answers as find_child_locked would; a
    // name it does not hold at all goes in later without a search.
    INode *existing = nullptr;
    bool unindexed = false;
    if (target_hash) {
        INode *found = entering.find(target.name, *target_hash);
        if (found && !is_released(*found)) existing = found;
        unindexed = !found;
    } else if (auto there = find_child_locked(*to.as_directory(), target.name)) {
        existing = *there;
    }
    // The same entry under both names: nothing to do, as in Linux.
    if (existing == moved.get()) return {};
    if (existing) {
        if (is_directory && !existing->is_directory()) return IoErrorKind::NotADirectory;
        if (!is_directory && existing->is_directory()) return IoErrorKind::NotAFile;
        // The source's own directory, whose lock is held here already, holds the source.
        if (existing == &from) return IoErrorKind::DirectoryIsNotEmpty;
    }
    const std::uint64_t depth = to.depth.load(std::memory_order_relaxed) + 1u;
    if (depth > kMaxDepth) return IoErrorKind::MaxRecursionDepthExceeded;
    if (is_directory && depth != moved->depth.load(std::memory_order_relaxed)) {
        subtree.mark(*moved, from, to);
        if (depth + subtree.height > kMaxDepth) return IoErrorKind::MaxRecursionDepthExceeded;
    }
    // What can fail is done before anything changes: the new name, the room in the list,
    // and claiming the replaced node from its handles (or finding it not empty).
    NameArena::Owned name;
    if (!same_text(moved->name_view(), target.name)) name = names_.make(target.name);
    const ListChange leaving_change(from);
    std::optional<ListChange> entering_change;
    if (&to != &from) entering_change.emplace(to);
    const auto room = entering.reserve_one();
    if (existing) {
        QUORVEX_TRY(claim_for_unlink(*existing));
        replaced = INodeRef::share(existing);
        entering.remove(existing, target_hash);
    }
    // The old name finds the entry in the source's index; the new one goes into the
    // target's.
    leaving.remove(moved.get(), source_hash, source_position);
    if (name) moved->set_name(std::move(name));
    moved->parent.store(to.id, std::memory_order_release);
    if (!is_directory)
        moved->depth.store(static_cast<std::uint8_t>(depth), std::memory_order_relaxed);
    // The list may have dropped its index or built one meanwhile; append() hashes anew then.
    // Taking the source out only removed a name from the index, so one the index did not
    // hold is still not there.
    const bool still_indexed = entering.indexed() && target_hash;
    entering.append(room, moved.get(), still_indexed ? target_hash : std::nullopt,
                    still_indexed && unindexed);
    // Both directories changed entries; the moved node's own contents did not.
    const std::int64_t now = now_ns();
    from.touch_mtime(now);
    to.touch_mtime(now);
    return {};
}

} // namespace quorvex::fs
