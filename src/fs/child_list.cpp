#include "fs/child_list.hpp"

#include <cassert>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "fs/inode.hpp"

namespace quorvex::fs {

void ChildList::construct_inline() noexcept {
    for (INodeRef &slot : inline_)
        std::construct_at(&slot);
    spilled_ = false;
}

void ChildList::take(ChildList &other) noexcept {
    if (other.spilled_) {
        std::construct_at(&spill_, other.spill_);
        spilled_ = true;
        other.construct_inline();
    } else {
        for (std::uint32_t slot = 0; slot < kInlineSlots; ++slot)
            std::construct_at(&inline_[slot], std::move(other.inline_[slot]));
        spilled_ = false;
    }
    used_ = std::exchange(other.used_, 0);
    has_link_ = std::exchange(other.has_link_, false);
}

void ChildList::destroy() noexcept {
    if (spilled_) {
        delete spill_.index;
        delete[] spill_.slots;
    } else {
        // Slots from used_ on are always empty, so only the entries need releasing.
        std::destroy(inline_, inline_ + used_);
    }
}

void ChildList::grow() {
    const std::uint32_t old_capacity = capacity();
    if (old_capacity > std::numeric_limits<std::uint32_t>::max() / 2) throw std::bad_alloc();
    const std::uint32_t fresh_capacity = old_capacity * 2;
    // Slots keep their positions, so the index stays valid across the move.
    auto *fresh = new INodeRef[fresh_capacity];
    INodeRef *old = slots();
    for (std::uint32_t slot = 0; slot < used_; ++slot)
        fresh[slot] = std::move(old[slot]);
    if (spilled_) {
        delete[] spill_.slots;
        spill_.slots = fresh;
        spill_.capacity = fresh_capacity;
    } else {
        std::destroy(std::begin(inline_), std::end(inline_));
        std::construct_at(&spill_, Spill{fresh, fresh_capacity, 0, nullptr});
        spilled_ = true;
    }
}

void ChildList::drop_index() noexcept {
    if (!spilled_) return;
    delete spill_.index;
    spill_.index = nullptr;
}

void ChildList::share_to(SmallVectorImpl<INodeRef> &out) const {
    out.clear();
    out.reserve(size());
    for (const INodeRef *slot = slots(), *last = slots() + used_; slot != last; ++slot) {
        if (*slot) out.push_back(*slot);
    }
}

std::string_view ChildList::name_at(NameIndex::Position position) const noexcept {
    return slots()[position]->name_view();
}

INode *ChildList::find(std::string_view name) const {
    const auto position = index()->find(name, NameIndex::hash(name),
                                        [this](NameIndex::Position at) { return name_at(at); });
    return position == NameIndex::kAbsent ? nullptr : slots()[position].get();
}

void ChildList::append(Room room, INode *child) {
    assert(room.list_ == this && used_ < capacity() && "append() without reserve_one()");
    (void)room;
    slots()[used_++] = INodeRef::share(child);
    if (child->is_link()) {
        has_link_ = true;
        drop_index();
        return;
    }
    try {
        if (NameIndex *names = index()) {
            // A name already there can only be an entry released behind this list's back.
            const std::string_view name = child->name_view();
            names->assign(NameIndex::hash(name), static_cast<NameIndex::Position>(used_ - 1), name,
                          [this](NameIndex::Position at) { return name_at(at); });
        } else if (!has_link_ && size() > kIndexThreshold) {
            build_index();
        }
    } catch (const std::bad_alloc &) {
        // An index that misses an entry would let its name be taken twice. The index only
        // speeds lookups up, so without memory for it the directory is scanned until a
        // later append builds it afresh.
        drop_index();
    }
}

void ChildList::remove_inline(const INode *child) noexcept {
    std::uint32_t slot = 0;
    while (slot < used_ && inline_[slot].get() != child)
        ++slot;
    if (slot == used_) return;
    for (; slot + 1 < used_; ++slot)
        inline_[slot] = std::move(inline_[slot + 1]);
    inline_[--used_].reset();
}

void ChildList::remove(const INode *child) {
    if (!spilled_) {
        remove_inline(child);
        return;
    }
    std::uint32_t slot = used_;
    if (NameIndex *names = spill_.index) {
        const std::string_view name = child->name_view();
        const std::uint32_t hash = NameIndex::hash(name);
        const auto position =
            names->find(name, hash, [this](NameIndex::Position at) { return name_at(at); });
        if (position != NameIndex::kAbsent && spill_.slots[position].get() == child) {
            slot = position;
            names->erase(hash, position);
        }
    }
    if (slot == used_) {
        for (slot = 0; slot < used_ && spill_.slots[slot].get() != child; ++slot) {
        }
        if (slot == used_) return;
    }
    spill_.slots[slot].reset();
    ++spill_.holes;
    if (spill_.holes > size()) compact();
}

void ChildList::build_index() {
    // Only a spilled list is ever long enough to be indexed.
    auto built = std::make_unique<NameIndex>();
    built->reserve(size());
    const auto name_at_slot = [this](NameIndex::Position at) { return name_at(at); };
    for (std::uint32_t slot = 0; slot < used_; ++slot) {
        if (!spill_.slots[slot]) continue;
        const std::string_view name = spill_.slots[slot]->name_view();
        built->assign(NameIndex::hash(name), static_cast<NameIndex::Position>(slot), name,
                      name_at_slot);
    }
    delete std::exchange(spill_.index, built.release());
}

void ChildList::compact() {
    // Entries only move towards the front, in order, so no entry is ever pointed at a
    // position another entry still holds; re-pointing the index allocates nothing.
    INodeRef *entries = spill_.slots;
    std::uint32_t kept = 0;
    for (std::uint32_t slot = 0; slot < used_; ++slot) {
        if (!entries[slot]) continue;
        if (spill_.index && slot != kept) {
            spill_.index->move(NameIndex::hash(entries[slot]->name_view()), slot, kept);
        }
        entries[kept++] = std::move(entries[slot]);
    }
    for (std::uint32_t slot = kept; slot < used_; ++slot)
        entries[slot].reset();
    used_ = kept;
    spill_.holes = 0;
}

} // namespace quorvex::fs
