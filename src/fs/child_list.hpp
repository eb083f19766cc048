// A directory's entries: inode ids in creation order.
//
// Small directories are a plain inline list scanned from the front. Large ones keep two
// aids so that neither lookup nor removal costs a pass over every entry: a name index
// (name -> slot), and holes: a removed entry leaves a hole that readers skip, and the list
// is compacted once holes outnumber the live entries, which keeps removal amortised O(1).
//
// The index is keyed by each child's own name, viewed in place inside the child node (a
// name never changes and the node outlives its place in this list). Lookups by name
// compare the names of the nodes that entries resolve to; for a symbolic link that is
// its target's name, which an index of own names cannot answer, so a directory that ever
// holds a link drops its index for good and is scanned instead.
#pragma once

#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "fs/function_ref.hpp"
#include "fs/small_vector.hpp"

namespace quorvex::fs {

class ChildList {
  public:
    using Id = std::uint64_t;
    // Directories with more live entries than this get a name index.
    static constexpr std::size_t kIndexThreshold = 32;

    class const_iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Id;
        using difference_type = std::ptrdiff_t;
        using pointer = const Id *;
        using reference = Id;

        const_iterator() = default;
        Id operator*() const noexcept { return *at_; }
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
        const_iterator(const Id *at, const Id *end) noexcept : at_(at), end_(end) { skip_holes(); }
        void skip_holes() noexcept {
            while (at_ != end_ && *at_ == kHole) ++at_;
        }
        const Id *at_ = nullptr;
        const Id *end_ = nullptr;
    };

    ChildList() = default;
    ChildList(ChildList &&) noexcept = default;
    ChildList &operator=(ChildList &&) noexcept = default;

    [[nodiscard]] const_iterator begin() const noexcept {
        return {slots_.data(), slots_.data() + slots_.size()};
    }
    [[nodiscard]] const_iterator end() const noexcept {
        const Id *last = slots_.data() + slots_.size();
        return {last, last};
    }
    [[nodiscard]] std::size_t size() const noexcept { return slots_.size() - holes_; }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }

    // Copies the live ids, in order, into `out`.
    void copy_to(SmallVectorImpl<Id> &out) const {
        out.clear();
        out.reserve(size());
        for (Id id : *this) out.push_back(id);
    }

    // Whether find() may be used; otherwise callers scan.
    [[nodiscard]] bool indexed() const noexcept { return index_ != nullptr; }
    // The entry named `name`, through the index; only while indexed().
    [[nodiscard]] std::optional<Id> find(std::string_view name) const {
        auto it = index_->find(name);
        if (it == index_->end()) return std::nullopt;
        return slots_[it->second];
    }

    // Makes room for one more entry, so that the append that follows cannot fail half-way.
    void reserve_one() { slots_.reserve(slots_.size() + 1); }

    // Adds an entry at the end. `name` must stay valid while the entry is in the list;
    // `name_of` gives the names of the present entries when an index is first built.
    void append(Id id, std::string_view name, bool is_link,
                FunctionRef<std::string_view(Id)> name_of) {
        slots_.push_back(id);
        if (is_link) {
            has_link_ = true;
            index_.reset();
            return;
        }
        if (index_) {
            index_->emplace(name, slots_.size() - 1);
        } else if (!has_link_ && size() > kIndexThreshold) {
            build_index(name_of);
        }
    }

    // Takes out the entry `id`, whose own name is `name`; the others keep their order.
    void remove(Id id, std::string_view name) {
        std::size_t slot = slots_.size();
        if (index_) {
            if (auto it = index_->find(name); it != index_->end() && slots_[it->second] == id) {
                slot = it->second;
                index_->erase(it);
            }
        }
        if (slot == slots_.size()) {
            for (slot = 0; slot < slots_.size() && slots_[slot] != id; ++slot) {
            }
            if (slot == slots_.size()) return;
        }
        slots_[slot] = kHole;
        ++holes_;
        if (holes_ > size()) compact();
    }

  private:
    // No inode ever takes this id: ids count up from 0 one at a time.
    static constexpr Id kHole = std::numeric_limits<Id>::max();
    using Index = std::unordered_map<std::string_view, std::size_t>;

    void build_index(FunctionRef<std::string_view(Id)> name_of) {
        auto index = std::make_unique<Index>();
        index->reserve(slots_.size() * 2);
        for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
            if (slots_[slot] != kHole) index->emplace(name_of(slots_[slot]), slot);
        }
        index_ = std::move(index);
    }

    void compact() {
        // remap[old slot] = new slot, kept only while an index needs re-pointing.
        std::unique_ptr<std::size_t[]> remap;
        if (index_) remap = std::make_unique<std::size_t[]>(slots_.size());
        std::size_t kept = 0;
        for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
            if (slots_[slot] == kHole) continue;
            if (remap) remap[slot] = kept;
            slots_[kept++] = slots_[slot];
        }
        slots_.resize(kept);
        holes_ = 0;
        if (index_) {
            for (auto &entry : *index_) entry.second = remap[entry.second];
        }
    }

    SmallVector<Id, 8> slots_;
    std::size_t holes_ = 0;
    bool has_link_ = false;
    std::unique_ptr<Index> index_;
};

} // namespace quorvex::fs
