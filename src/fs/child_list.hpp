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
#pragma once

#include <cstdint>
#include <iterator>
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

    // Walks the live entries; dereferencing gives the child's id.
    class const_iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Id;
        using difference_type = std::ptrdiff_t;
        using pointer = const Id *;
        using reference = Id;

        const_iterator() = default;
        Id operator*() const noexcept;              // defined beside INode
        [[nodiscard]] INode *node() const noexcept; // likewise
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
        const_iterator(const INodeRef *at, const INodeRef *end) noexcept : at_(at), end_(end) {
            skip_holes();
        }
        void skip_holes() noexcept; // likewise
        const INodeRef *at_ = nullptr;
        const INodeRef *end_ = nullptr;
    };

    ChildList() noexcept { construct_inline(); }
    ChildList(ChildList &&other) noexcept { take(other); }
    ChildList &operator=(ChildList &&other) noexcept {
        if (this != &other) {
            destroy();
            take(other);
        }
        return *this;
    }
    ~ChildList() { destroy(); }

    [[nodiscard]] const_iterator begin() const noexcept { return {slots(), slots() + used_}; }
    [[nodiscard]] const_iterator end() const noexcept {
        const INodeRef *last = slots() + used_;
        return {last, last};
    }
    [[nodiscard]] std::size_t size() const noexcept { return used_ - holes(); }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }

    // Takes a share of each live entry, in order, into `out`.
    void share_to(SmallVectorImpl<INodeRef> &out) const;

    // Whether find() may be used; otherwise callers scan.
    [[nodiscard]] bool indexed() const noexcept { return index() != nullptr; }
    // The entry whose own name is `name`, through the index; only while indexed().
    [[nodiscard]] INode *find(std::string_view name) const;

    // Room for one more entry, made by reserve_one() and used up by append().
    class Room {
        friend class ChildList;
        explicit Room(const ChildList *list) noexcept : list_(list) {}
        [[maybe_unused]] const ChildList *list_; // read by the debug check only
    };
    // Makes room for one more entry, so that the append that follows cannot fail half-way.
    [[nodiscard]] Room reserve_one() {
        if (used_ == capacity()) grow();
        return Room(this);
    }
    // Adds a child at the end, taking a share of it, in the room reserve_one() made: this
    // cannot fail. Each room takes one child (checked in debug builds).
    void append(Room room, INode *child);
    // Takes a listed child out; the others keep their order.
    void remove(const INode *child);

  private:
    static constexpr std::uint32_t kInlineSlots = 8;

    // A list that has outgrown its inline slots moves to the heap; only such a list can be
    // large enough for holes and an index, so their bookkeeping lives here too.
    struct Spill {
        INodeRef *slots;
        std::uint32_t capacity;
        std::uint32_t holes;
        NameIndex *index; // owned; null while not indexed
    };

    [[nodiscard]] const INodeRef *slots() const noexcept {
        return spilled_ ? spill_.slots : inline_;
    }
    [[nodiscard]] INodeRef *slots() noexcept { return spilled_ ? spill_.slots : inline_; }
    [[nodiscard]] std::uint32_t capacity() const noexcept {
        return spilled_ ? spill_.capacity : kInlineSlots;
    }
    [[nodiscard]] std::uint32_t holes() const noexcept { return spilled_ ? spill_.holes : 0; }
    [[nodiscard]] NameIndex *index() const noexcept { return spilled_ ? spill_.index : nullptr; }

    void construct_inline() noexcept;
    void take(ChildList &other) noexcept;
    void destroy() noexcept;
    void grow();
    void drop_index() noexcept;
    void remove_inline(const INode *child) noexcept;
    void build_index();
    void compact();
    [[nodiscard]] std::string_view name_at(NameIndex::Position position) const noexcept;

    // Slots [0, used_) hold the entries; in a spilled list a removed entry leaves an empty
    // hole there, while an inline list closes the gap at once. Every slot below capacity()
    // is a constructed (possibly empty) INodeRef.
    union {
        INodeRef inline_[kInlineSlots];
        Spill spill_;
    };
    std::uint32_t used_ = 0;
    bool spilled_ = false;
    bool has_link_ = false;
};

} // namespace quorvex::fs
