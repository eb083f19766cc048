#include "fs/child_list.hpp"

#include <new>

#include "fs/inode.hpp"

namespace quorvex::fs {

void ChildList::copy_to(SmallVectorImpl<Id> &out) const {
    out.clear();
    out.reserve(size());
    for (Id id : *this)
        out.push_back(id);
}

std::string_view ChildList::name_at(NameIndex::Position position) const noexcept {
    return slots_[position]->name_view();
}

INode *ChildList::find(std::string_view name) const {
    const auto position = index_->find(name, NameIndex::hash(name),
                                       [this](NameIndex::Position at) { return name_at(at); });
    return position == NameIndex::kAbsent ? nullptr : slots_[position].get();
}

void ChildList::append(INode *child) {
    slots_.push_back(INodeRef::share(child));
    if (child->is_link()) {
        has_link_ = true;
        index_.reset();
        return;
    }
    try {
        if (index_) {
            // A name already there can only be an entry released behind this list's back.
            const std::string_view name = child->name_view();
            index_->assign(NameIndex::hash(name),
                           static_cast<NameIndex::Position>(slots_.size() - 1), name,
                           [this](NameIndex::Position at) { return name_at(at); });
        } else if (!has_link_ && size() > kIndexThreshold) {
            build_index();
        }
    } catch (const std::bad_alloc &) {
        // An index that misses an entry would let its name be taken twice. The index only
        // speeds lookups up, so without memory for it the directory is scanned until a
        // later append builds it afresh.
        index_.reset();
    }
}

void ChildList::remove(const INode *child) {
    std::size_t slot = slots_.size();
    if (index_) {
        const std::string_view name = child->name_view();
        const std::uint32_t hash = NameIndex::hash(name);
        const auto position =
            index_->find(name, hash, [this](NameIndex::Position at) { return name_at(at); });
        if (position != NameIndex::kAbsent && slots_[position].get() == child) {
            slot = position;
            index_->erase(hash, position);
        }
    }
    if (slot == slots_.size()) {
        for (slot = 0; slot < slots_.size() && slots_[slot].get() != child; ++slot) {
        }
        if (slot == slots_.size()) return;
    }
    slots_[slot].reset();
    ++holes_;
    if (holes_ > size()) compact();
}

void ChildList::build_index() {
    auto index = std::make_unique<NameIndex>();
    index->reserve(size());
    const auto name_at_slot = [this](NameIndex::Position at) { return name_at(at); };
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
        if (!slots_[slot]) continue;
        const std::string_view name = slots_[slot]->name_view();
        index->assign(NameIndex::hash(name), static_cast<NameIndex::Position>(slot), name,
                      name_at_slot);
    }
    index_ = std::move(index);
}

void ChildList::compact() {
    // Entries only move towards the front, in order, so no entry is ever pointed at a
    // position another entry still holds; re-pointing the index allocates nothing.
    std::size_t kept = 0;
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
        if (!slots_[slot]) continue;
        if (index_ && slot != kept) {
            index_->move(NameIndex::hash(slots_[slot]->name_view()),
                         static_cast<NameIndex::Position>(slot),
                         static_cast<NameIndex::Position>(kept));
        }
        slots_[kept++] = std::move(slots_[slot]);
    }
    slots_.resize(kept);
    holes_ = 0;
}

} // namespace quorvex::fs
