#include "fs/file_system.hpp"

#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "fs/clock.hpp"
#include "fs/epoch.hpp"
#include "fs/test_hooks.hpp"

namespace quorvex::fs {

namespace {

// The bytes of `word` that are separators, each marked by its top bit; exact, with no
// carry from one byte into the next, so that the highest mark is the last separator.
std::uint64_t separator_bytes(std::uint64_t word) noexcept {
    static_assert(kSeparators == "/\\");
    constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full;
    constexpr std::uint64_t kEach = 0x0101010101010101ull;
    const auto zero_bytes = [](std::uint64_t x) { return ~(((x & kLow7) + kLow7) | x | kLow7); };
    return zero_bytes(word ^ ('/' * kEach)) | zero_bytes(word ^ ('\\' * kEach));
}

} // namespace

SplitPath split_last_component(std::string_view path) noexcept {
    const char *const begin = path.data();
    const char *const end = begin + path.size();
    const char *cut = end;
    // Eight bytes at a time while a whole word is left, from the end; the word's last
    // separator is its highest mark when the last byte in memory is the most significant.
    for (; cut - begin >= 8; cut -= 8) {
        std::uint64_t word;
        std::memcpy(&word, cut - 8, sizeof word);
        if (const std::uint64_t marks = separator_bytes(word)) {
            cut -= (std::endian::native == std::endian::little ? std::countl_zero(marks)
                                                               : std::countr_zero(marks)) /
                   8;
            // Answered here rather than through the byte loop's tail, whose tests cost
            // every deep path and every creation about ten instructions.
            return {std::string_view(begin, static_cast<std::size_t>(cut - 1 - begin)),
                    std::string_view(cut, static_cast<std::size_t>(end - cut))};
        }
    }
    if constexpr (std::endian::native == std::endian::little) {
        // The fewer than eight bytes left, as one word: its highest mark is the last
        // separator, as above.
        const auto left = static_cast<std::size_t>(cut - begin);
        if (const std::uint64_t marks = separator_bytes(short_word(begin, left))) {
            cut = begin + (63 - std::countl_zero(marks)) / 8 + 1;
            return {std::string_view(begin, static_cast<std::size_t>(cut - 1 - begin)),
                    std::string_view(cut, static_cast<std::size_t>(end - cut))};
        }
        return {std::string_view(), path};
    }
    while (cut != begin && !is_separator(cut[-1]))
        --cut;
    const std::string_view name(cut, static_cast<std::size_t>(end - cut));
    if (cut == begin) return {std::string_view(), name};
    return {std::string_view(begin, static_cast<std::size_t>(cut - 1 - begin)), name};
}

FileSystem::FileSystem()
    : pool_(new NodePool),
      root_(INodeRef::make_in(pool_.get(), kRootId, kRootId, 0, Name(), Directory{}, now_ns())) {
    // The root counts as a node; no limit is set yet, so the reservation cannot fail.
    (void)usage().try_reserve_node();
    root_->mark_counted();
    inodes_.insert(root_);
}

namespace {

// Gives up a share of a node of a file system being destroyed. When it was the last, the
// node, and in turn each child whose last share its list held, is freed at once instead
// of through the epoch reclaimer: no lookup without locks can be inside a file system
// that is being destroyed (see locking.hpp). A node shared by something else keeps the
// ordinary way, and its list its entries. Recursion goes one level per directory, at most
// kMaxDepth deep.
void destroy_in_teardown(INode *node, NodePool::Batch &batch) noexcept {
    if (auto *directory = node->as_directory()) {
        directory->children.release_each([&batch](INode *child) {
            if (!INodeRef::release_was_last(child)) return;
            // Most children are files, which are destroyed without a further frame.
            if (child->is_directory()) {
                destroy_in_teardown(child, batch);
            } else {
                destroy_inode(child, batch);
            }
        });
    }
    destroy_inode(node, batch);
}

void release_in_teardown(INode *node, NodePool::Batch &batch) noexcept {
    if (INodeRef::release_was_last(node)) destroy_in_teardown(node, batch);
}

} // namespace

FileSystem::~FileSystem() {
    // The nodes' memory goes back block by block, before the pool is let go.
    NodePool::Batch batch;
    // The table first: a listed node's last share is then its directory's.
    inodes_.release_each([&batch](INode *node) { release_in_teardown(node, batch); });
    release_in_teardown(root_.detach(), batch);
}

std::shared_ptr<FileSystem> FileSystem::make() {
    // The constructor is private, so make_shared cannot reach it.
    return std::shared_ptr<FileSystem>(new FileSystem());
}

Result<INodeRef> FileSystem::resolve(InodeId id) const {
    for (int hops = 0;; ++hops) {
        INodeRef node = inodes_.find(id);
        if (!node) return IoErrorKind::InodeNotFound;
        // A node's kind, and a link's target, never change: no lock is needed to read them.
        if (!node->is_link()) return node;
        if (hops == kMaxSymlinkHops) return IoErrorKind::InodeNotFound;
        id = node->as_link()->target;
    }
}

Result<InodeId> FileSystem::get_inode_raw(InodeId id) const {
    auto node = resolve(id);
    if (!node) return node.error();
    return (*node)->id;
}

Result<InodeId> FileSystem::find_inode_by_name_with_handle(const INode &directory,
                                                           std::string_view name) const {
    auto entry = find_entry(directory, name);
    if (!entry) return entry.error();
    return entry->id;
}

Result<FileSystem::Entry> FileSystem::find_entry(const INode &directory,
                                                 std::string_view name) const {
    switch (step_of(name)) {
    case Step::Stay:
        // The caller holds the directory, so a further share of it is safe to take.
        return Entry{directory.id, INodeRef::share(const_cast<INode *>(&directory))};
    case Step::Up:
        return Entry{directory.parent.load(std::memory_order_acquire), nullptr};
    case Step::Down:
        break;
    }
    std::shared_lock guard(directory.lock);
    const auto *entries = directory.as_directory();
    if (!entries) return IoErrorKind::NotADirectory;
    auto child = find_child_locked(*entries, name);
    if (!child) return child.error();
    INode *found = *child;
    return Entry{found->id, found->is_link() ? nullptr : INodeRef::share(found)};
}

Result<INode *> FileSystem::find_child_locked(const Directory &directory, std::string_view name,
                                              std::optional<std::uint32_t> name_hash) const {
    const ChildList &children = directory.children;
    if (children.indexed()) {
        INode *found = children.find(name, name_hash ? *name_hash : NameIndex::hash_once(name));
        if (found && !is_released(*found)) return found;
        return IoErrorKind::InodeNotFound;
    }
    // The first entry, in creation order, whose node (links followed) has the name. An
    // entry gone from the table, or a link that leads nowhere, names nothing and is passed
    // over, as the index passes over it: a sibling's removal never hides a name.
    for (auto it = children.begin(); it != children.end(); ++it) {
        INode *child = it.node();
        if (is_released(*child)) continue;
        if (!child->is_link()) {
            if (same_text(child->name_view(), name)) return child;
            continue;
        }
        auto target = resolve(child->id);
        if (target && (*target)->name_view() == name) return child;
    }
    return IoErrorKind::InodeNotFound;
}

Result<INodeRef> FileSystem::enter(const INode &directory, std::string_view name) const {
    auto entry = find_entry(directory, name);
    if (!entry) return entry.error();
    if (entry->node) return std::move(entry->node);
    return resolve(entry->id);
}

Result<InodeId> FileSystem::find_inode_by_name(InodeId directory, std::string_view name) const {
    auto node = resolve(directory);
    if (!node) return node.error();
    return find_inode_by_name_with_handle(**node, name);
}

Result<bool> FileSystem::is_directory_raw(InodeId id) const {
    auto node = resolve(id);
    if (!node) return node.error();
    std::shared_lock guard((*node)->lock);
    return (*node)->is_directory();
}

Result<bool> FileSystem::is_file_raw(InodeId id) const {
    auto is_directory = is_directory_raw(id);
    if (!is_directory) return is_directory.error();
    return !*is_directory;
}

namespace {

// The components of a path, cut at every separator in one pass.
class Components {
  public:
    explicit Components(std::string_view path) noexcept
        : at_(path.data()), end_(path.data() + path.size()) {}
    // The next component (possibly empty), or false at the end.
    bool next(std::string_view &component) noexcept {
        if (at_ == end_) return false;
        const char *stop = at_;
        while (stop != end_ && !is_separator(*stop))
            ++stop;
        component = std::string_view(at_, static_cast<std::size_t>(stop - at_));
        at_ = stop == end_ ? end_ : stop + 1;
        return true;
    }

  private:
    const char *at_;
    const char *end_;
};

} // namespace

inline FileSystem::FastWalk FileSystem::walk_unlocked(std::string_view path) const noexcept {
    const INode *current = root_.get();
    if (is_released(*current)) return {nullptr, FastWalk::Failed, IoErrorKind::InodeNotFound};
    // The parent of a name directly under the root, answered before the walk sets up.
    if (path.empty()) return {current, FastWalk::Reached, IoErrorKind::InodeNotFound};
    return descend_unlocked<false>(current, path);
}

template <bool kKeepsAncestors>
FileSystem::FastWalk FileSystem::descend_unlocked(const INode *const root,
                                                  std::string_view path) noexcept {
    constexpr FastWalk undecided{nullptr, FastWalk::Undecided, IoErrorKind::InodeNotFound};
    const INode *current = root;
    // The nodes above the current one, as the walk came down through them, for "..": the
    // walk goes down only from a directory to a listed child (never through a link) and up
    // only to where it came from. Counted by the walk itself, not by the nodes' depths,
    // which a rename may change meanwhile; a walk that fills the list leaves the rest to
    // the locked walk. Keeping them costs every step a register, so a walk starts without
    // them and starts again with them at its first ".." below the root.
    [[maybe_unused]] const INode *above[kKeepsAncestors ? kMaxDepth + 1 : 1];
    [[maybe_unused]] const INode **top = above;
    const char *at = path.data();
    const char *const end = at + path.size();
    // The path is not empty, and every step that moves `at` stops the walk at the end, so
    // at < end at the top of the loop.
    for (;;) {
        if (is_separator_or_dot(*at)) {
            // Empty components, between two separators, stay where they are.
            if (*at != '.') {
                if (++at == end) break;
                continue;
            }
            const char *after = at + 1;
            if (after == end) break; // "." stays too
            if (is_separator(*after)) {
                at = after;
                continue;
            }
            if (*after == '.' && (after + 1 == end || is_separator(after[1]))) {
                at = after + 1;
                // The root is its own parent, and the walk is at the root whenever it has
                // come down no step. Any other parent that is not the node the walk came
                // from (a child made through a link, or one a rename moved meanwhile) or
                // that has left the table is found through the table instead.
                if constexpr (!kKeepsAncestors) {
                    if (current != root) return descend_unlocked<true>(root, path);
                } else if (top != above) {
                    const INode *parent = top[-1];
                    if (parent->id != current->parent.load(std::memory_order_acquire) ||
                        is_released(*parent)) {
                        return undecided;
                    }
                    --top;
                    current = parent;
                }
                if (at == end) break;
                continue;
            }
        }
        const auto *entries = current->as_directory();
        if (!entries) return {nullptr, FastWalk::Failed, IoErrorKind::NotADirectory};
        const ChildList::Probed probed = entries->children.probe(at, end, current->version);
        if (probed.outcome == ChildList::Probe::Missing) {
            return {nullptr, FastWalk::Failed, IoErrorKind::InodeNotFound};
        }
        if (probed.outcome != ChildList::Probe::Found) return undecided;
        if constexpr (kKeepsAncestors) {
            if (top == std::end(above)) return undecided;
            *top++ = current;
        }
        current = probed.node;
        // The name ends the path or is followed by a separator, which need not be read again;
        // a separator that ends the path ends the walk too.
        if (probed.length + 1 >= static_cast<std::size_t>(end - at)) break;
        at += probed.length + 1;
    }
    return {current, FastWalk::Reached, IoErrorKind::InodeNotFound};
}

std::optional<Result<INodeRef>> FileSystem::open_unlocked(const SplitPath &split) const {
    // "", "." and ".." as the name, and every case the walk cannot settle, take the
    // locked way; a missing name too, since it may be about to be created.
    if (step_of(split.name) != Step::Down) return std::nullopt;
    const epoch::Guard guard;
    const FastWalk parent = walk_unlocked(split.parent);
    if (parent.outcome == FastWalk::Failed) return Result<INodeRef>(parent.error);
    if (parent.outcome != FastWalk::Reached) return std::nullopt;
    const auto *entries = parent.node->as_directory();
    if (!entries) return Result<INodeRef>(IoErrorKind::NotADirectory);
    const char *name = split.name.data();
    const ChildList::Probed probed =
        entries->children.probe(name, name + split.name.size(), parent.node->version);
    if (probed.outcome != ChildList::Probe::Found) return std::nullopt;
    INodeRef node = INodeRef::try_share(probed.node);
    if (!node) return std::nullopt;
    return Result<INodeRef>(std::move(node));
}

Result<InodeId> FileSystem::get_inode_by_path_raw(std::string_view path) const {
    {
        const epoch::Guard guard;
        const FastWalk fast = walk_unlocked(path);
        if (fast.outcome == FastWalk::Reached) return fast.node->id;
        if (fast.outcome == FastWalk::Failed) return fast.error;
    }
    auto node = walk_locked(path);
    if (!node) return node.error();
    return (*node)->id;
}

Result<INodeRef> FileSystem::walk(std::string_view path) const {
    {
        const epoch::Guard guard;
        const FastWalk fast = walk_unlocked(path);
        if (fast.outcome == FastWalk::Failed) return fast.error;
        if (fast.outcome == FastWalk::Reached) {
            // A node that has just lost its last share is settled by the locked walk.
            if (INodeRef node = INodeRef::try_share(const_cast<INode *>(fast.node))) return node;
        }
    }
    return walk_locked(path);
}

Result<INodeRef> FileSystem::walk_locked(std::string_view path) const {
    // The root never leaves the table unless released by id; then nothing is found.
    if (is_released(*root_)) return IoErrorKind::InodeNotFound;
    INodeRef current = root_;
    Components components(path);
    std::string_view component;
    while (components.next(component)) {
        auto next = enter(*current, component);
        if (!next) return next.error();
        // The next node is pinned before the current one is let go.
        current = std::move(*next);
    }
    return current;
}

Result<std::string> FileSystem::get_path_by_inode(InodeId id) const {
    // Parent links only ever point at older nodes, but a symbolic link may point anywhere;
    // the bound keeps a cycle built from links from walking forever.
    constexpr int kMaxSteps = static_cast<int>(kMaxDepth + 1) * (kMaxSymlinkHops + 1);
    SmallVector<INodeRef, 8> chain;
    while (id != kRootId) {
        if (static_cast<int>(chain.size()) == kMaxSteps) {
            return IoErrorKind::MaxRecursionDepthExceeded;
        }
        auto node = resolve(id);
        if (!node) return node.error();
        id = (*node)->parent.load(std::memory_order_acquire);
        chain.push_back(std::move(*node));
    }
    if (chain.empty()) return std::string("/");
    // A rename may give a node of the chain a new name meanwhile; the guard keeps the
    // names read alive.
    const epoch::Guard guard;
    std::size_t length = 0;
    for (const INodeRef &node : chain)
        length += 1 + node->name_view().size();
    std::string path;
    path.reserve(length);
    for (auto it = chain.end(); it != chain.begin();) {
        --it;
        path += '/';
        path += (*it)->name_view();
    }
    return path;
}

bool FileSystem::has_entry_named_locked(const ChildList &children, std::string_view name) const {
    if (children.indexed()) {
        const INode *found = children.find(name);
        return found && !is_released(*found);
    }
    // Own names only: following a link here could lead back to the directory whose lock
    // the caller holds exclusively, and an entry that does not resolve must not hide the
    // entries behind it.
    for (auto it = children.begin(); it != children.end(); ++it) {
        if (it.node()->name_view() == name && !is_released(*it.node())) return true;
    }
    return false;
}

Result<InodeId> FileSystem::create_inode(InodeId parent, Name name, INodeKind kind) {
    // A name cut from a path holds no separator; this one may, and is refused first.
    if (!is_acceptable_name(as_view(name))) return IoErrorKind::ResourceAlreadyExists;
    auto directory = resolve(parent);
    auto created =
        create_in(directory ? directory->get() : nullptr, parent, std::move(name), std::move(kind));
    if (!created) return created.error();
    return (*created)->id;
}

Result<INodeRef> FileSystem::create_in(INode *directory, InodeId parent, Name &&name,
                                       INodeKind &&kind) {
    if (!is_acceptable_last_component(as_view(name))) return IoErrorKind::ResourceAlreadyExists;
    // The id is used up by every creation whose name passed the check.
    const InodeId id = next_inode_id_.fetch_add(1);
    if (!directory || is_released(*directory)) return IoErrorKind::InodeNotFound;
    // The depth is set under the directory's lock, where a rename cannot be changing it.
    const std::int64_t now = now_ns();
    INodeRef node =
        INodeRef::make_in(pool_.get(), id, parent, 0, std::move(name), std::move(kind), now);
    const std::string_view wanted = as_view(node->first_name);
    if constexpr (planted::kNoNameRecheck) {
        if (find_inode_by_name_with_handle(*directory, wanted)) {
            return IoErrorKind::ResourceAlreadyExists;
        }
    }
    // Taken only to wait for a rename that is moving the directory's subtree.
    std::unique_lock<RenameMutex> rename_done;
    // The search for the name, the checks and the append happen under one exclusive hold,
    // so a racing creation of the same name cannot slip in between them.
    std::unique_lock guard(directory->lock);
    std::uint8_t flags = directory->flags.load(std::memory_order_relaxed);
    if (flags & INode::kMoving) {
        // Lock order: the rename mutex under no node lock, then the directory's lock again.
        guard.unlock();
        rename_done = std::unique_lock(rename_mutex_);
        guard.lock();
        flags = directory->flags.load(std::memory_order_relaxed);
    }
    auto *entries = directory->as_directory();
    // An indexed directory hashes the name once, for the search and for the index entry.
    std::optional<std::uint32_t> name_hash;
    // Whether the index holds no entry of the name at all, not even one released behind
    // the list's back, so that the new entry goes in without being looked for again.
    bool unindexed = false;
    if (entries && entries->children.indexed()) name_hash = NameIndex::hash_once(wanted);
    if constexpr (!planted::kNoNameRecheck) {
        // A directory's entries are searched as any lookup searches them (links followed);
        // an indexed list holds no links, so its index answers as find_child_locked would.
        if (name_hash) {
            const INode *found = entries->children.find(wanted, *name_hash);
            if (found && !is_released(*found)) return IoErrorKind::ResourceAlreadyExists;
            unindexed = !found;
        } else if (entries && find_child_locked(*entries, wanted)) {
            return IoErrorKind::ResourceAlreadyExists;
        }
    }
    const std::uint64_t depth = directory->depth.load(std::memory_order_relaxed) + 1u;
    if (depth > kMaxDepth) return IoErrorKind::MaxRecursionDepthExceeded;
    if (!entries) return IoErrorKind::NotADirectory;
    // A directory whose removal is under way is already gone for new children.
    if (!planted::kCreateUnderRemoval && (flags & INode::kUnlinked)) {
        return IoErrorKind::InodeNotFound;
    }
    if constexpr (!planted::kNoNameRecheck) {
        // Own names too, so that no two entries ever carry one name. An indexed list holds
        // own names only and was just asked.
        if (!name_hash && has_entry_named_locked(entries->children, wanted)) {
            return IoErrorKind::ResourceAlreadyExists;
        }
    }
    // Last, so that a full file system reports it only for a creation that would succeed.
    if (!usage().try_reserve_node()) return IoErrorKind::NoSpaceLeft;
    node->mark_counted();
    node->depth.store(static_cast<std::uint8_t>(depth), std::memory_order_relaxed);
    // The node enters the table before its id enters the list, so a scan of the directory
    // never meets an id the table lacks. Reserving first keeps the two steps all-or-nothing.
    {
        const ListChange change(*directory);
        const auto room = entries->children.reserve_one();
        inodes_.insert(node);
        entries->children.append(room, node.get(), name_hash, unindexed);
    }
    directory->touch_mtime(now);
    return node;
}

Status FileSystem::make_node(std::string_view path, INodeKind &&kind) {
    const SplitPath split = split_last_component(path);
    auto parent = walk(split.parent);
    if (!parent) return parent.error();
    auto created = create_in(parent->get(), (*parent)->id, make_name(split.name), std::move(kind));
    if (!created) return created.error();
    return {};
}

Status FileSystem::ls_each(InodeId id, FunctionRef<bool(std::string_view, bool)> visit) const {
    auto node = resolve(id);
    if (!node) return node.error();
    std::shared_lock guard((*node)->lock);
    const auto *entries = (*node)->as_directory();
    if (!entries) return IoErrorKind::NotADirectory;
    // Names and kinds of listed children are immutable and the children stay alive while
    // the directory is locked, so the listing is read in one pass under that lock alone.
    for (auto it = entries->children.begin(); it != entries->children.end(); ++it) {
        const INode *entry = it.node();
        INodeRef target;
        // An entry gone from the table is not listed.
        if (is_released(*entry)) continue;
        if (entry->is_link()) {
            auto resolved = resolve(entry->id);
            // A link that leads nowhere is not listed.
            if (!resolved) continue;
            target = std::move(*resolved);
            entry = target.get();
        }
        const locking::CallbackScope in_callback;
        if (!visit(entry->name_view(), entry->is_directory())) break;
    }
    return {};
}

Result<Listing> FileSystem::ls_raw(InodeId id) const {
    Listing listing;
    QUORVEX_TRY(ls_each(id, [&listing](std::string_view name, bool is_directory) {
        (is_directory ? listing.directories : listing.files).emplace_back(name);
        return true;
    }));
    return listing;
}

} // namespace quorvex::fs
