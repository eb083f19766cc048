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

INode *ChildList::find(std::string_view name) const {
    auto it = index_->find(name);
    return it == index_->end() ? nullptr : slots_[it->second].get();
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
            index_->insert_or_assign(child->name_view(), slots_.size() - 1);
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
        auto it = index_->find(child->name_view());
        if (it != index_->end() && slots_[it->second].get() == child) {
            slot = it->second;
            index_->erase(it);
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
    auto index = std::make_unique<Index>();
    index->reserve(slots_.size() * 2);
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
        if (slots_[slot]) index->insert_or_assign(slots_[slot]->name_view(), slot);
    }
    index_ = std::move(index);
}

void ChildList::compact() {
    std::size_t kept = 0;
    for (INodeRef &child : slots_) {
        if (child) slots_[kept++] = std::move(child);
    }
    slots_.resize(kept);
    holes_ = 0;
    if (!index_) return;
    // Slots moved: point every name at its entry's new place. Rebuilding needs no memory
    // beyond what the index already has.
    for (std::size_t slot = 0; slot < kept; ++slot) {
        (*index_)[slots_[slot]->name_view()] = slot;
    }
}

} // namespace quorvex::fs
