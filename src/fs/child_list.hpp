// A directory's entries, in creation order.
//
// An entry is a counted share of the child node, so anyone holding the directory's lock
// may read a listed child's immutable fields (id, name, kind) without a table lookup or
// a lock of the child's. A child enters the table before the list and leaves the list
// before the table, so a listed child is normally in the table too; one taken out of the
// table while still listed is marked `released` and treated as missing.
//
// Up to eight entries live inside the list itself, scanned from the front, and a removal
// closes the gap at once. A longer list moves to the heap for good, and a large one keeps
// two aids so that neither lookup nor removal costs a pass over every entry: a name index
// (name -> slot), and holes: a removed entry leaves a hole that readers skip, and the list
// is compacted once holes outnumber the live entries, which keeps removal amortised O(1).
//
// The index is keyed by each child's own name. Lookups by name compare the names of the
// nodes that entries resolve to; for a symbolic link that is its target's name, which an
// index of own names cannot answer, so a directory that ever holds a link drops its index
// for good and is scanned instead.
//
// Every word of the list is atomic, so that a lookup may read the list without the
// directory's lock (probe(), validated by the directory's change counter; see
// locking.hpp). The list's owner changes it only under the directory's exclusive lock,
// storing each word with release order; a heap block the list lets go of is retired to
// the epoch reclaimer rather than freed, since a probe may still be reading it.
#pragma once

#include <atomic>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

#include "fs/inode_ref.hpp"
#include "fs/name_index.hpp"
#include "fs/small_vector.hpp"

namespace quorvex::fs {

class ChildList {
  public:
    using Id = std::uint64_t;
    // Directories with more live entries than this get a name index.
    static constexpr std::size_t kIndexThreshold = 32;

    // One entry: the address of a child the list holds a share of, or 0 for a hole. In a
    // spilled list the inline words hold the heap block's bookkeeping instead.
    using Word = std::atomic<std::uintptr_t>;

    // Walks the live entries; dereferencing gives the child's id. For the list's owner.
    class const_iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Id;
        using difference_type = std::ptrdiff_t;
        using pointer = const Id *;
        using reference = Id;

        const_iterator() = default;
        Id operator*() const noexcept; // defined beside INode
        [[nodiscard]] INode *node() const noexcept { return node_at(*at_); }
        const_iterator &operator++() noexcept {
            ++at_;
            skip_holes();
            return *this;
        }
        const_iterator operator++(int) noexcept {
            auto copy = *this;
            ++*this;
            return copy;
        }
        friend bool operator==(const const_iterator &a, const const_iterator &b) noexcept {
            return a.at_ == b.at_;
        }

      private:
        friend class ChildList;
        const_iterator(const Word *at, const Word *end) noexcept : at_(at), end_(end) {
            skip_holes();
        }
        void skip_holes() noexcept {
            while (at_ != end_ && at_->load(std::memory_order_relaxed) == 0)
                ++at_;
        }
        const Word *at_ = nullptr;
        const Word *end_ = nullptr;
    };

    // What probe() could tell without the lock.
    enum class Probe : std::uint8_t { Found, Missing, Undecided };

    ChildList() noexcept = default;
    // A list still empty, as a new directory's is while its node is being made, moves
    // without a call: its words are all 0 already, and so are the new list's.
    ChildList(ChildList &&other) noexcept : has_link_(other.has_link_) {
        if (other.used() != 0 || other.spilled()) take(other);
    }
    ChildList &operator=(ChildList &&other) noexcept {
        if (this != &other) {
            destroy();
            take(other);
        }
        return *this;
    }
    ~ChildList() {
        if (used() != 0 || spilled()) destroy();
    }

    [[nodiscard]] const_iterator begin() const noexcept { return {slots(), slots() + used()}; }
    [[nodiscard]] const_iterator end() const noexcept {
        const Word *last = slots() + used();
        return {last, last};
    }
    [[nodiscard]] std::size_t size() const noexcept { return used() - holes(); }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }

    // Takes a share of each live entry, in order, into `out`.
    void share_to(SmallVectorImpl<INodeRef> &out) const;

    // Whether find() may be used; otherwise callers scan.
    [[nodiscard]] bool indexed() const noexcept { return index() != nullptr; }
    // The entry whose own name is `name`, through the index; only while indexed(). The
    // second form takes the name's NameIndex::hash, when the caller has it already.
    [[nodiscard]] INode *find(std::string_view name) const;
    [[nodiscard]] INode *find(std::string_view name, std::uint32_t name_hash) const;
    // find() that also gives the entry's position, which remove() may take as a hint.
    struct Located {
        INode *node;
        std::uint32_t position;
    };
    [[nodiscard]] Located locate(std::string_view name, std::uint32_t name_hash) const;

    // Room for one more entry, made by reserve_one() and used up by append().
    class Room {
        friend class ChildList;
        explicit Room(const ChildList *list) noexcept : list_(list) {}
        [[maybe_unused]] const ChildList *list_; // read by the debug check only
    };
    // Makes room for one more entry, so that the append that follows cannot fail half-way.
    [[nodiscard]] Room reserve_one() {
        if (used() == capacity()) grow();
        return Room(this);
    }
    // Adds a child at the end, taking a share of it, in the room reserve_one() made: this
    // cannot fail. Each room takes one child (checked in debug builds). `name_hash`, when
    // given, is the NameIndex::hash of the child's name, which the index then need not
    // compute again; `unindexed` says that the index holds no entry of that name at all
    // (the caller has just asked it), so that the entry goes in without a search.
    void append(Room room, INode *child, std::optional<std::uint32_t> name_hash = std::nullopt,
                bool unindexed = false);
    // Takes a listed child out; the others keep their order. False when it is not listed.
    // `name_hash`, when given, is the NameIndex::hash of the child's name; `position`, when
    // given, is where locate() found the child, used if the child is still there.
    bool remove(const INode *child, std::optional<std::uint32_t> name_hash = std::nullopt,
                std::optional<std::uint32_t> position = std::nullopt);
    // Hands the list's share of each entry to `release(INode *)`, for a list about to be
    // destroyed with its directory, which then releases nothing more.
    template <class Release> void release_each(Release &&release) noexcept {
        Word *entries = slots();
        for (std::uint32_t slot = 0; slot < used(); ++slot) {
            if (INode *child = node_at(entries[slot])) release(child);
        }
        set_used(0);
    }

    // What probe() found: the child and the length of its name when Found (the node valid
    // for the epoch guard's life). Small enough to come back in two registers.
    struct Probed {
        INode *node;
        Probe outcome;
        std::uint32_t length;
    };
    // Looks up, without the directory's lock, the name that [at, end) starts with, up to
    // the first separator; it does not start with one, and it is neither "." nor "..". For
    // a caller inside an epoch guard; `version` is the directory's change counter, odd
    // while a change is under way. Found or Missing only when every entry read came from
    // one unchanged state of the list and was a plain node (no link, nothing released);
    // anything else is Undecided, and the caller asks again under the lock.
    [[nodiscard]] Probed probe(const char *at, const char *end,
                               const std::atomic<std::uint32_t> &version) const noexcept;

  private:
    static Probed scan_entries(const Word *entries, std::uint32_t count, const char *at,
                               const char *end) noexcept;

    static constexpr std::uint32_t kInlineSlots = 8;
    // compact() renumbers the index in one pass over its table while the table has at
    // most this many slots per live entry: hashing a name again and finding its entry
    // costs about as much as passing over that many slots.
    static constexpr std::size_t kRenumberSpread = 16;
    // The inline words of a spilled list, each with kTag set so that a lookup reading
    // them as entries can tell them from the (aligned, hence even) address of a node.
    static constexpr std::size_t kSpillSlots = 0;  // the heap block of entries
    static constexpr std::size_t kSpillCounts = 1; // capacity in bits 1-32, holes above
    static constexpr std::size_t kSpillIndex = 2;  // the NameIndex, owned; none when bare
    static constexpr std::uintptr_t kTag = 1;

    static INode *node_at(const Word &word) noexcept {
        return reinterpret_cast<INode *>(word.load(std::memory_order_relaxed));
    }
    static void put_tagged(Word &word, const void *value) noexcept {
        word.store(reinterpret_cast<std::uintptr_t>(value) | kTag, std::memory_order_release);
    }
    static std::uintptr_t untagged(const Word &word) noexcept {
        return word.load(std::memory_order_relaxed) & ~kTag;
    }
    [[nodiscard]] bool spilled() const noexcept { return spilled_.load(std::memory_order_relaxed); }
    [[nodiscard]] std::uint32_t used() const noexcept {
        return used_.load(std::memory_order_relaxed);
    }
    void set_used(std::uint32_t count) noexcept { used_.store(count, std::memory_order_release); }
    [[nodiscard]] const Word *slots() const noexcept {
        return spilled() ? reinterpret_cast<const Word *>(untagged(words_[kSpillSlots])) : words_;
    }
    [[nodiscard]] Word *slots() noexcept {
        return const_cast<Word *>(static_cast<const ChildList *>(this)->slots());
    }
    [[nodiscard]] std::uint64_t counts() const noexcept {
        return words_[kSpillCounts].load(std::memory_order_relaxed);
    }
    [[nodiscard]] std::uint32_t capacity() const noexcept {
        return spilled() ? static_cast<std::uint32_t>(counts() >> 1) : kInlineSlots;
    }
    [[nodiscard]] std::uint32_t holes() const noexcept {
        return spilled() ? static_cast<std::uint32_t>(counts() >> 33) : 0;
    }
    void set_counts(std::uint32_t capacity, std::uint32_t holes) noexcept {
        words_[kSpillCounts].store(kTag | (std::uint64_t{capacity} << 1) |
                                       (std::uint64_t{holes} << 33),
                                   std::memory_order_release);
    }
    [[nodiscard]] NameIndex *index() const noexcept {
        return spilled() ? reinterpret_cast<NameIndex *>(untagged(words_[kSpillIndex])) : nullptr;
    }
    void set_index(NameIndex *index) noexcept { put_tagged(words_[kSpillIndex], index); }

    // probe() in a list that moved to the heap, after the counter showed `seen`. Out of
    // line, so that the walk's loop, which inlines probe(), keeps its registers for the
    // inline lists that most directories have.
    [[nodiscard, gnu::noinline]] Probed probe_heap(const char *at, const char *end,
                                                   const std::atomic<std::uint32_t> &version,
                                                   std::uint32_t seen) const noexcept;
    // probe_heap() in a list with an index: `block` and `names` are the words read from
    // kSpillSlots and kSpillIndex after the counter showed `seen`.
    [[nodiscard]] Probed probe_indexed(const char *at, const char *end,
                                       const std::atomic<std::uint32_t> &version,
                                       std::uint32_t seen, std::uintptr_t block,
                                       std::uintptr_t names) const noexcept;
    void clear_words() noexcept;
    void take(ChildList &other) noexcept;
    void destroy() noexcept;
    void grow();
    void drop_index() noexcept;
    bool remove_inline(const INode *child) noexcept;
    void build_index();
    void compact();
    [[nodiscard]] std::string_view name_at(NameIndex::Position position) const noexcept;

    // Words [0, used_) hold the entries, inline or (once spilled) in the heap block; in a
    // spilled list a removed entry leaves a hole there, while an inline list closes the
    // gap at once. Every word below capacity() from used_ on is 0.
    Word words_[kInlineSlots]{};
    std::atomic<std::uint32_t> used_{0};
    std::atomic<bool> spilled_{false};
    bool has_link_ = false;
};

} // namespace quorvex::fs
