// The inode model: what the inode table stores under each id.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <variant>

#include "fs/child_list.hpp"
#include "fs/inode_ref.hpp"
#include "fs/locking.hpp"
#include "fs/name.hpp"
#include "fs/name_arena.hpp"
#include "fs/node_pool.hpp"
#include "fs/small_vector.hpp"

namespace quorvex::fs {

using InodeId = std::uint64_t;

inline constexpr InodeId kRootId = 0;
// A new node may lie at most this many levels below the root.
inline constexpr std::uint64_t kMaxDepth = 64;
// Links followed in one resolution before giving up, so that a cycle cannot loop forever.
inline constexpr int kMaxSymlinkHops = 40;

using ByteVector = SmallVector<std::uint8_t, 32>;

inline std::string_view as_view(const Name &name) noexcept { return name.view(); }
inline Name make_name(std::string_view text) { return Name(text); }

// A file's lock word: 0 free, n > 0 held by n handles without WRITE, kWriteExclusive held
// by one writing handle, kRemoving claimed by a removal. Nothing ever waits on it.
class FileLock {
  public:
    static constexpr std::int64_t kFree = 0;
    static constexpr std::int64_t kWriteExclusive = -1;
    static constexpr std::int64_t kRemoving = -2;

    FileLock() noexcept = default;
    // Moving is only for building a node's kind before the node is shared.
    FileLock(FileLock &&other) noexcept : flag_(other.flag_.load(std::memory_order_relaxed)) {}
    FileLock &operator=(FileLock &&) = delete;

    [[nodiscard]] std::int64_t flag() const noexcept { return flag_.load(); }

    // Each returns false, changing nothing, when the current state refuses the request.
    bool try_acquire_shared() noexcept;
    bool try_acquire_exclusive() noexcept { return try_claim(kWriteExclusive); }
    bool try_claim_for_removal() noexcept { return try_claim(kRemoving); }

    // Throw InvariantViolation when the word is not in the state that the release expects.
    void release_shared();
    void release_exclusive();

  private:
    bool try_claim(std::int64_t state) noexcept;

    std::atomic<std::int64_t> flag_{kFree};
};

struct FileData {
    ByteVector data;
};

// The lock word first, next to the node's share count (see INode::refs_).
struct File {
    FileLock lock;
    FileData data;
};

struct Directory {
    ChildList children;
};

struct Symlink {
    InodeId target = 0;
};

// What a new node is, as its creator hands it over. The node keeps only the alternative's
// body; which alternative it was goes into two bits of the node's flags, which saves the
// variant's padded tag in every node.
using INodeKind = std::variant<File, Directory, Symlink>;

// One node of the tree. `id` and the node's type never change, so is_directory() and
// is_link() need no lock; the body (as_file(), as_directory(), as_link()) is read and
// changed under `lock`.
// Only a rename changes `parent`, the name and `depth` (see locking.hpp for who may read
// them when):
//  - the parent and the name change under the exclusive locks of the directories the node
//    leaves and enters, inside a ListChange of each, so a directory's version covers the
//    names of its entries;
//  - a node's depth changes under its own lock when it is a directory (a creation inside it
//    reads it there), and under its directory's lock when it is not.
struct INode {
    // `now` stamps both times (nanoseconds since the Unix epoch).
    INode(InodeId id_, InodeId parent_, std::uint64_t depth_, Name &&name_, INodeKind &&kind_,
          std::int64_t now = 0)
        : id(id_), parent(parent_), birth_ns(now), mtime_ns(now), first_name(std::move(name_)),
          depth(static_cast<std::uint8_t>(depth_)), flags(type_bits(kind_)),
          probe_tag(probe_tag_for(first_name, kind_)) {
        std::visit([this](auto &&body) { body_.emplace(std::forward<decltype(body)>(body)); },
                   std::move(kind_));
    }
    INode(const INode &) = delete;
    INode &operator=(const INode &) = delete;
    ~INode() {
        if (File *file = as_file()) {
            file->~File();
        } else if (Directory *directory = as_directory()) {
            directory->~Directory();
        }
        NameArena::destroy(renamed_.load(std::memory_order_relaxed));
    }

    const InodeId id;
    std::atomic<InodeId> parent;
    // Creation and modification times. The modification time is read and written without
    // the node's lock: each stamp stands alone.
    const std::int64_t birth_ns;
    std::atomic<std::int64_t> mtime_ns;

    mutable NodeLock lock;
    // The name the node was made with. Its bytes never change, so a lookup without locks may
    // compare them at any time; a rename gives the node a name of its own in `renamed_`
    // instead, and from then on its probe tag sends lookups there.
    const Name first_name;
    // At most kMaxDepth, so a byte holds it.
    std::atomic<std::uint8_t> depth;
    // kUnlinked: a removal (or a rename that replaces the node) has committed to unlinking
    // it; a directory in this state accepts no new children, so nothing is ever created
    // under a vanishing parent. kMoving: a rename is changing the depth of the subtree this
    // directory belongs to; a creation inside it waits for the rename (see create_in).
    // kCounted: the node counts in its file system's usage (fs/usage.hpp), set when a
    // creation reserved it, before the node is shared, so that a node dropped by a failed
    // creation gives nothing back. kDirectory or kLink, set for good when the node is made,
    // say which of INodeKind's alternatives it is (a file has neither); one bit each, so
    // that the walks ask with a single test.
    std::atomic<std::uint8_t> flags;
    static constexpr std::uint8_t kUnlinked = 1;
    static constexpr std::uint8_t kMoving = 2;
    static constexpr std::uint8_t kCounted = 4;
    static constexpr std::uint8_t kDirectory = 8;
    static constexpr std::uint8_t kLink = 16;
    // What a lookup without locks needs to know of this node, in one byte read: the
    // length of its name when it is stored inline, else kProbeLongName (a long name, or any
    // name given by a rename), or kProbeLink for a link, whose name is not what a lookup
    // compares; kProbeReleased is added when the node leaves the inode table (a directory
    // that still lists it, only possible when an id is released behind its directory's back,
    // then treats it as missing).
    std::atomic<std::uint8_t> probe_tag;
    static constexpr std::uint8_t kProbeLink = 0x7e;
    static constexpr std::uint8_t kProbeLongName = 0x7f;
    static constexpr std::uint8_t kProbeReleased = 0x80;
    // A directory's change counter for lookups without its lock: odd while its child list
    // (or the name of an entry in it) is being changed, under the exclusive lock, inside a
    // ListChange.
    mutable std::atomic<std::uint32_t> version{0};

  private:
    friend class SharedNode<INode>;
    // Shares held by INodeRefs; the node goes to the epoch reclaimer when the last one goes.
    // Right before the body, which for a file starts with its lock word: an open and a
    // close write only these two words, and threads that open one file side by side then
    // mostly move one cache line between them rather than two.
    mutable std::atomic<std::uint32_t> refs_{0};

  public:
    // The body of the node's alternative, or null when it is another one.
    [[nodiscard]] File *as_file() noexcept { return is_file() ? &body_.file : nullptr; }
    [[nodiscard]] const File *as_file() const noexcept { return is_file() ? &body_.file : nullptr; }
    [[nodiscard]] Directory *as_directory() noexcept {
        return is_directory() ? &body_.directory : nullptr;
    }
    [[nodiscard]] const Directory *as_directory() const noexcept {
        return is_directory() ? &body_.directory : nullptr;
    }
    [[nodiscard]] const Symlink *as_link() const noexcept {
        return is_link() ? &body_.link : nullptr;
    }

    // The current name. Stable while the caller holds the lock of the directory that lists
    // the node, or is inside an epoch guard (a name replaced by a rename is retired, not
    // freed), or no rename can run.
    [[nodiscard]] std::string_view name_view() const noexcept {
        if (const Name *renamed = renamed_.load(std::memory_order_acquire)) return renamed->view();
        return as_view(first_name);
    }
    // Gives the node `name`, made by the caller beforehand so that this cannot fail. For a
    // rename, holding the exclusive lock of every directory that lists the node, inside a
    // ListChange of each.
    void set_name(NameArena::Owned name) noexcept;
    [[nodiscard]] bool is_counted() const noexcept { return has_flag(kCounted); }
    void mark_counted() noexcept { flags.fetch_or(kCounted, std::memory_order_relaxed); }
    [[nodiscard]] bool is_unlinked() const noexcept { return has_flag(kUnlinked); }
    [[nodiscard]] bool is_moving() const noexcept { return has_flag(kMoving); }
    void mark_released() noexcept { probe_tag.fetch_or(kProbeReleased, std::memory_order_release); }
    [[nodiscard]] bool is_file() const noexcept { return !has_flag(kDirectory | kLink); }
    [[nodiscard]] bool is_directory() const noexcept { return has_flag(kDirectory); }
    [[nodiscard]] bool is_link() const noexcept { return has_flag(kLink); }
    // Memory for one node (INodeRef::make_in), from `pool` or, when null, the heap.
    [[nodiscard]] static void *allocate(NodePool *pool) { return NodePool::allocate(pool); }
    static void deallocate(void *memory) noexcept { NodePool::release(memory); }
    // Stamps a change of the contents: a file's bytes, or a directory's entries.
    void touch_mtime(std::int64_t now) noexcept { mtime_ns.store(now, std::memory_order_relaxed); }

  private:
    [[nodiscard]] static std::uint8_t type_bits(const INodeKind &kind) noexcept {
        if (std::holds_alternative<Directory>(kind)) return kDirectory;
        return std::holds_alternative<Symlink>(kind) ? kLink : 0;
    }
    [[nodiscard]] bool has_flag(std::uint8_t flag) const noexcept {
        return (flags.load(std::memory_order_relaxed) & flag) != 0;
    }
    [[nodiscard]] static std::uint8_t probe_tag_for(const Name &name,
                                                    const INodeKind &kind) noexcept {
        if (std::holds_alternative<Symlink>(kind)) return kProbeLink;
        return name.is_inline() ? static_cast<std::uint8_t>(name.size()) : kProbeLongName;
    }

    // The name given by the latest rename, or null; the one it replaced goes to the epoch
    // reclaimer.
    std::atomic<const Name *> renamed_{nullptr};

    // Exactly one member lives, the one `flags` names; the node builds and destroys it.
    union Body {
        Body() noexcept {}
        ~Body() {}
        Body(const Body &) = delete;
        Body &operator=(const Body &) = delete;
        void emplace(File &&made) { new (&file) File(std::move(made)); }
        void emplace(Directory &&made) { new (&directory) Directory(std::move(made)); }
        void emplace(Symlink &&made) noexcept { new (&link) Symlink(made); }

        File file;
        Directory directory;
        Symlink link;
    } body_;
};

// Every node of a large tree costs this much plus its table and list slots; a field added
// here shows up at once in memory_bench's bytes per node.
static_assert(Name::kInline < INode::kProbeLink, "an inline name's length is its probe tag");
static_assert(sizeof(void *) != 8 || sizeof(INode) <= 152, "an inode outgrew 152 bytes");

// Brackets every change of a directory's child list, under the directory's exclusive lock.
class ListChange {
  public:
    explicit ListChange(const INode &directory) noexcept : version_(directory.version) {
        version_.store(version_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    ~ListChange() {
        version_.store(version_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    ListChange(const ListChange &) = delete;
    ListChange &operator=(const ListChange &) = delete;

  private:
    std::atomic<std::uint32_t> &version_;
};

// Whether the node has left the inode table, so that lookups no longer find it.
inline bool is_released(const INode &node) noexcept {
    return (node.probe_tag.load(std::memory_order_acquire) & INode::kProbeReleased) != 0;
}

// Shares of a directory's children, copied out for work done without its lock; short
// lists stay inline.
using ChildRefs = SmallVector<INodeRef, 8>;

// Frees a node once no epoch guard that might have found it is still open.
void retire_inode(INode *node) noexcept;
// Destroys a node and gives its memory back, at once: for its last share's holder, once no
// lookup without locks can reach it.
void destroy_inode(INode *node) noexcept;
// The same, for many nodes destroyed in a row, whose memory `batch` gives back together.
void destroy_inode(INode *node, NodePool::Batch &batch) noexcept;

inline ChildList::Id ChildList::const_iterator::operator*() const noexcept {
    return node_at(*at_)->id;
}

// Whether [at, end) starts with the component `name`: the name's bytes, then a separator or
// the end.
inline bool starts_with_component(const char *at, const char *end, const char *name,
                                  std::size_t size) noexcept {
    if (static_cast<std::size_t>(end - at) < size) return false;
    if (at + size != end && !is_separator(at[size])) return false;
    return same_bytes(at, name, size);
}

// The entries' part of probe(). The path is compared with each child's name where it
// stands, so the component's end is never looked for separately; a first byte that
// differs passes over a child at once.
[[gnu::always_inline]] inline ChildList::Probed ChildList::scan_entries(const Word *entries,
                                                                        std::uint32_t count,
                                                                        const char *at,
                                                                        const char *end) noexcept {
    // Read once: the acquire loads below would otherwise make the compiler read them again
    // for every child.
    const char first_byte = *at;
    const auto left = static_cast<std::size_t>(end - at);
    for (std::uint32_t slot = 0; slot < count; ++slot) {
        const std::uintptr_t word = entries[slot].load(std::memory_order_acquire);
        if (word == 0) continue;
        // Bookkeeping: the list is spilling.
        if (word & kTag) return {nullptr, Probe::Undecided, 0};
        auto *child = reinterpret_cast<INode *>(word);
        const std::uint8_t tag = child->probe_tag.load(std::memory_order_acquire);
        if (tag < INode::kProbeLink) {
            // The first bytes are compared before anything else, to pass over most children
            // at once; a listed child's name is never empty.
            const char *name = child->first_name.inline_bytes();
            if (name[0] != first_byte || left < tag) continue;
            if (left != tag && !is_separator(at[tag])) continue;
            if (tag > 1 && !same_bytes(at + 1, name + 1, tag - 1u)) continue;
            return {child, Probe::Found, tag};
        } else if (tag == INode::kProbeLongName) {
            const std::string_view name = child->name_view();
            if (starts_with_component(at, end, name.data(), name.size())) {
                return {child, Probe::Found, static_cast<std::uint32_t>(name.size())};
            }
        } else {
            return {nullptr, Probe::Undecided, 0}; // a link, or an entry that left the table
        }
    }
    return {nullptr, Probe::Missing, 0};
}

[[gnu::always_inline]] inline ChildList::Probed
ChildList::probe(const char *at, const char *end,
                 const std::atomic<std::uint32_t> &version) const noexcept {
    constexpr auto acquire = std::memory_order_acquire;
    constexpr Probed undecided{nullptr, Probe::Undecided, 0};
    const std::uint32_t seen = version.load(acquire);
    if (seen & 1) return undecided;
    // Every word read here was current at some moment since the caller's guard opened, so
    // an even word is a node that the epoch guard keeps alive. Only the answer needs the
    // counter to show that nothing changed meanwhile.
    //
    // A count that fits the inline words is scanned there at once, without first asking
    // whether the list moved to the heap: the words of a list that did are tagged from the
    // first on, so the scan gives up at its first word (or finds nothing, for an empty
    // list, which is the right answer), and only then is the heap block looked at.
    const std::uint32_t inline_count = used_.load(acquire);
    if (inline_count <= kInlineSlots) {
        const Probed answer = scan_entries(words_, inline_count, at, end);
        if (answer.outcome != Probe::Undecided) {
            if (version.load(acquire) != seen) return undecided;
            return answer;
        }
    }
    return probe_heap(at, end, version, seen);
}

inline ChildList::Probed ChildList::probe_indexed(const char *at, const char *end,
                                                  const std::atomic<std::uint32_t> &version,
                                                  std::uint32_t seen, std::uintptr_t block,
                                                  std::uintptr_t names) const noexcept {
    constexpr auto acquire = std::memory_order_acquire;
    constexpr Probed undecided{nullptr, Probe::Undecided, 0};
    const auto *entries = reinterpret_cast<const Word *>(block & ~kTag);
    const std::uint32_t count = used_.load(acquire);
    // The block, the index and the count must belong together before the block is read
    // at a position the index gives.
    if (version.load(acquire) != seen) return undecided;
    const auto *index = reinterpret_cast<const NameIndex *>(names & ~kTag);
    // The index is asked by hash, so here the component's end is looked for first.
    const char *stop = at;
    while (stop != end && !is_separator(*stop))
        ++stop;
    const std::string_view name(at, static_cast<std::size_t>(stop - at));
    Probed answer{nullptr, Probe::Missing, 0};
    const auto scanned = index->scan(NameIndex::hash(name), [&](NameIndex::Position position) {
        // A position past the list, a hole or a tagged word: the index is changing.
        const std::uintptr_t word = position < count ? entries[position].load(acquire) : 0;
        if (word == 0 || (word & kTag)) {
            answer = undecided;
            return true;
        }
        auto *child = reinterpret_cast<INode *>(word);
        const std::string_view own = child->name_view();
        if (own.size() != name.size() || !same_bytes(at, own.data(), own.size())) return false;
        // An entry that left the table is settled under the lock; an indexed list holds
        // no links, so meeting one means the list changed.
        const std::uint8_t tag = child->probe_tag.load(acquire);
        if (tag == INode::kProbeLink || (tag & INode::kProbeReleased) != 0) {
            answer = undecided;
        } else {
            answer = {child, Probe::Found, static_cast<std::uint32_t>(name.size())};
        }
        return true;
    });
    if (scanned == NameIndex::Scan::GaveUp) return undecided;
    return version.load(acquire) == seen ? answer : undecided;
}

} // namespace quorvex::fs
