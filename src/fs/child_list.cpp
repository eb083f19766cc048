#include "fs/child_list.hpp"

#include <cassert>
#include <limits>
#include <memory>
#include <new>

#include "fs/epoch.hpp"
#include "fs/inode.hpp"

namespace quorvex::fs {
namespace {

// A share of `child` turned into the word that holds it, and back.
std::uintptr_t share_word(INode *child) noexcept {
    return reinterpret_cast<std::uintptr_t>(INodeRef::share(child).detach());
}
void release_word(std::uintptr_t word) noexcept {
    if (word) INodeRef::adopt(reinterpret_cast<INode *>(word));
}

// A heap block's words are made by grow() with their first values, rather than zeroed
// first and stored again; they need no destruction.
ChildList::Word *new_block(std::uint32_t capacity) {
    return static_cast<ChildList::Word *>(::operator new[](capacity * sizeof(ChildList::Word)));
}
void free_block(void *block) noexcept { ::operator delete[](block); }
void free_index(void *index) noexcept { delete static_cast<NameIndex *>(index); }

} // namespace

void ChildList::clear_words() noexcept {
    for (Word &word : words_)
        word.store(0, std::memory_order_relaxed);
    used_.store(0, std::memory_order_relaxed);
    spilled_.store(false, std::memory_order_relaxed);
    has_link_ = false;
}

void ChildList::take(ChildList &other) noexcept {
    // A new directory's kind is moved into place while still empty: nothing to copy.
    if (other.used() == 0 && !other.spilled()) {
        clear_words();
        has_link_ = other.has_link_;
        return;
    }
    // Only lists not yet shared with anyone are moved, so order does not matter here.
    for (std::size_t word = 0; word < kInlineSlots; ++word)
        words_[word].store(other.words_[word].load(std::memory_order_relaxed),
                           std::memory_order_relaxed);
    used_.store(other.used(), std::memory_order_relaxed);
    spilled_.store(other.spilled(), std::memory_order_relaxed);
    has_link_ = other.has_link_;
    other.clear_words();
}

void ChildList::destroy() noexcept {
    Word *entries = slots();
    for (std::uint32_t slot = 0; slot < used(); ++slot)
        release_word(entries[slot].load(std::memory_order_relaxed));
    if (spilled()) {
        delete index();
        // The list dies with its node, which readers can no longer reach.
        free_block(entries);
    }
}

void ChildList::grow() {
    const std::uint32_t old_capacity = capacity();
    if (old_capacity > std::numeric_limits<std::uint32_t>::max() / 2) throw std::bad_alloc();
    const std::uint32_t fresh_capacity = old_capacity * 2;
    // Entries keep their positions, so the index stays valid across the move.
    Word *fresh = new_block(fresh_capacity);
    Word *old = slots();
    const std::uint32_t count = used();
    for (std::uint32_t slot = 0; slot < count; ++slot)
        std::construct_at(fresh + slot, old[slot].load(std::memory_order_relaxed));
    for (std::uint32_t slot = count; slot < fresh_capacity; ++slot)
        std::construct_at(fresh + slot, 0);
    if (spilled()) {
        const std::uint32_t holes_now = holes();
        put_tagged(words_[kSpillSlots], fresh);
        set_counts(fresh_capacity, holes_now);
        // A probe may still be reading the old block.
        epoch::retire(old, free_block);
    } else {
        // The inline words become the bookkeeping of the heap block, the first of them
        // before anything else, so that a probe sees at once that the words changed role.
        put_tagged(words_[kSpillSlots], fresh);
        set_counts(fresh_capacity, 0);
        put_tagged(words_[kSpillIndex], nullptr);
        for (std::size_t word = kSpillIndex + 1; word < kInlineSlots; ++word)
            words_[word].store(0, std::memory_order_release);
        spilled_.store(true, std::memory_order_release);
    }
}

void ChildList::drop_index() noexcept {
    NameIndex *names = index();
    if (!names) return;
    set_index(nullptr);
    // A probe may still be reading it.
    epoch::retire(names, free_index);
}

void ChildList::share_to(SmallVectorImpl<INodeRef> &out) const {
    out.clear();
    out.reserve(size());
    const Word *entries = slots();
    for (std::uint32_t slot = 0; slot < used(); ++slot) {
        if (INode *child = node_at(entries[slot])) out.push_back(INodeRef::share(child));
    }
}

std::string_view ChildList::name_at(NameIndex::Position position) const noexcept {
    return node_at(slots()[position])->name_view();
}

INode *ChildList::find(std::string_view name) const {
    return find(name, NameIndex::hash_once(name));
}

INode *ChildList::find(std::string_view name, std::uint32_t name_hash) const {
    const auto position =
        index()->find(name, name_hash, [this](NameIndex::Position at) { return name_at(at); });
    return position == NameIndex::kAbsent ? nullptr : node_at(slots()[position]);
}

ChildList::Located ChildList::locate(std::string_view name, std::uint32_t name_hash) const {
    const auto position =
        index()->find(name, name_hash, [this](NameIndex::Position at) { return name_at(at); });
    if (position == NameIndex::kAbsent) return {nullptr, position};
    return {node_at(slots()[position]), position};
}

void ChildList::append(Room room, INode *child, std::optional<std::uint32_t> name_hash,
                       bool unindexed) {
    assert(room.list_ == this && used() < capacity() && "append() without reserve_one()");
    (void)room;
    const std::uint32_t at = used();
    slots()[at].store(share_word(child), std::memory_order_release);
    set_used(at + 1);
    if (child->is_link()) {
        has_link_ = true;
        drop_index();
        return;
    }
    try {
        if (NameIndex *names = index()) {
            // A name already there can only be an entry released behind this list's back.
            const std::string_view name = child->name_view();
            const std::uint32_t hash = name_hash ? *name_hash : NameIndex::hash_once(name);
            if (unindexed) {
                names->add(hash, static_cast<NameIndex::Position>(at));
            } else {
                names->assign(hash, static_cast<NameIndex::Position>(at), name,
                              [this](NameIndex::Position position) { return name_at(position); });
            }
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

bool ChildList::remove_inline(const INode *child) noexcept {
    const std::uint32_t count = used();
    std::uint32_t slot = 0;
    while (slot < count && node_at(words_[slot]) != child)
        ++slot;
    if (slot == count) return false;
    const std::uintptr_t removed = words_[slot].load(std::memory_order_relaxed);
    for (; slot + 1 < count; ++slot)
        words_[slot].store(words_[slot + 1].load(std::memory_order_relaxed),
                           std::memory_order_release);
    words_[count - 1].store(0, std::memory_order_release);
    set_used(count - 1);
    release_word(removed);
    return true;
}

bool ChildList::remove(const INode *child, std::optional<std::uint32_t> name_hash,
                       std::optional<std::uint32_t> position) {
    if (!spilled()) return remove_inline(child);
    Word *entries = slots();
    const std::uint32_t count = used();
    std::uint32_t slot = count;
    if (NameIndex *names = index()) {
        const std::string_view name = child->name_view();
        const std::uint32_t hash = name_hash ? *name_hash : NameIndex::hash_once(name);
        // A list changed since the child was located may have moved it.
        if (!position || *position >= count || node_at(entries[*position]) != child) {
            position =
                names->find(name, hash, [this](NameIndex::Position at) { return name_at(at); });
        }
        if (*position != NameIndex::kAbsent && node_at(entries[*position]) == child) {
            slot = *position;
            names->erase(hash, slot);
        }
    }
    if (slot == count) {
        for (slot = 0; slot < count && node_at(entries[slot]) != child; ++slot) {
        }
        if (slot == count) return false;
    }
    const std::uintptr_t removed = entries[slot].load(std::memory_order_relaxed);
    entries[slot].store(0, std::memory_order_release);
    set_counts(capacity(), holes() + 1);
    release_word(removed);
    if (holes() > size()) compact();
    return true;
}

void ChildList::build_index() {
    // Only a spilled list is ever long enough to be indexed.
    auto built = std::make_unique<NameIndex>();
    built->reserve(size());
    const auto name_at_slot = [this](NameIndex::Position at) { return name_at(at); };
    const Word *entries = slots();
    for (std::uint32_t slot = 0; slot < used(); ++slot) {
        const INode *child = node_at(entries[slot]);
        if (!child) continue;
        const std::string_view name = child->name_view();
        built->assign(NameIndex::hash_once(name), static_cast<NameIndex::Position>(slot), name,
                      name_at_slot);
    }
    NameIndex *old = index();
    set_index(built.release());
    if (old) epoch::retire(old, free_index);
}

void ChildList::compact() {
    // Entries only move towards the front, in order, so no entry is ever pointed at a
    // position another entry still holds; re-pointing the index allocates nothing.
    Word *entries = slots();
    NameIndex *names = index();
    const std::uint32_t count = used();
    // Re-pointing each moved entry hashes its name again; a pass over the index's table
    // with each old position's new one costs far less while the table is not mostly
    // empty. Without memory for the positions, the names are hashed.
    std::unique_ptr<NameIndex::Position[]> moved_to;
    if (names && names->slots() <= kRenumberSpread * size()) {
        moved_to.reset(new (std::nothrow) NameIndex::Position[count]);
    }
    std::uint32_t kept = 0;
    for (std::uint32_t slot = 0; slot < count; ++slot) {
        const std::uintptr_t word = entries[slot].load(std::memory_order_relaxed);
        // A hole has no index entry; its number is set all the same.
        if (moved_to) moved_to[slot] = kept;
        if (!word) continue;
        if (!moved_to && names && slot != kept) {
            names->move(NameIndex::hash_once(node_at(entries[slot])->name_view()), slot, kept);
        }
        entries[kept++].store(word, std::memory_order_release);
    }
    if (moved_to) names->renumber(moved_to.get());
    for (std::uint32_t slot = kept; slot < count; ++slot)
        entries[slot].store(0, std::memory_order_release);
    set_used(kept);
    set_counts(capacity(), 0);
}

ChildList::Probed ChildList::probe_heap(const char *at, const char *end,
                                        const std::atomic<std::uint32_t> &version,
                                        std::uint32_t seen) const noexcept {
    constexpr auto acquire = std::memory_order_acquire;
    constexpr Probed undecided{nullptr, Probe::Undecided, 0};
    const std::uintptr_t first = words_[kSpillSlots].load(acquire);
    // Still inline: what the scan gave up on (a link, an entry that left the table, a
    // change under way) is for the locked path.
    if (!(first & kTag)) return undecided;
    // The block and the count must belong together before the block is read.
    const std::uintptr_t names = words_[kSpillIndex].load(acquire);
    if (names != kTag) return probe_indexed(at, end, version, seen, first, names);
    const auto *entries = reinterpret_cast<const Word *>(first & ~kTag);
    const std::uint32_t count = used_.load(acquire);
    if (version.load(acquire) != seen) return undecided;
    const Probed answer = scan_entries(entries, count, at, end);
    if (version.load(acquire) != seen) return undecided;
    return answer;
}

} // namespace quorvex::fs
