#include "fs/name_arena.hpp"

#include <new>

namespace quorvex::fs {

// A chunk's first slot holds its count of holders: one for each name in it not yet
// destroyed, and one for the arena while it carves from the chunk.
struct NameArena::Chunk {
    static constexpr std::size_t kBytes = 512;
    static constexpr std::size_t kSlot = 32;
    static constexpr std::uint32_t kSlots = kBytes / kSlot - 1;

    std::atomic<std::uint32_t> holders{1};

    // Slot `at`, its last byte marked with its position.
    [[nodiscard]] std::byte *slot(std::uint32_t at) noexcept {
        std::byte *slot = reinterpret_cast<std::byte *>(this) + kSlot * (at + 1);
        slot[kSlot - 1] = static_cast<std::byte>(at);
        return slot;
    }
    static Chunk *of(const Name *name) noexcept {
        const auto *slot = reinterpret_cast<const std::byte *>(name);
        const auto at = static_cast<std::size_t>(slot[kSlot - 1]);
        return reinterpret_cast<Chunk *>(const_cast<std::byte *>(slot - kSlot * (at + 1)));
    }
    void let_go() noexcept {
        if (holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            this->~Chunk();
            ::operator delete(this);
        }
    }
};

NameArena::~NameArena() {
    if (chunk_) chunk_->let_go();
}

void NameArena::open_chunk() {
    // A name leaves its slot's last byte free for the slot's position.
    static_assert(sizeof(Name) < Chunk::kSlot && alignof(Name) == 1);
    static_assert(sizeof(Chunk) <= Chunk::kSlot && Chunk::kSlots <= 0xff);
    void *memory = ::operator new(Chunk::kBytes);
    if (chunk_) chunk_->let_go();
    chunk_ = new (memory) Chunk;
    next_ = 0;
}

NameArena::Owned NameArena::make(std::string_view text) {
    if (!chunk_ || next_ == Chunk::kSlots) open_chunk();
    std::byte *slot = chunk_->slot(next_);
    // A long name's own block may fail; the slot is then left for the next name.
    Name *name = new (slot) Name(text);
    ++next_;
    chunk_->holders.fetch_add(1, std::memory_order_relaxed);
    return Owned(name);
}

void NameArena::destroy(const Name *name) noexcept {
    if (!name) return;
    Chunk *chunk = Chunk::of(name);
    name->~Name();
    chunk->let_go();
}

} // namespace quorvex::fs
