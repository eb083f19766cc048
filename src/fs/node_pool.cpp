#include "fs/node_pool.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

#include "fs/inode.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define QUORVEX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVEX_ASAN 1
#endif
#endif
#if defined(QUORVEX_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace quorvex::fs {
namespace {

// A given-back cell is poisoned under AddressSanitizer, so that a use of a destroyed node
// is caught until the cell is handed out again.
void poison(void *memory, std::size_t size) noexcept {
#if defined(QUORVEX_ASAN)
    ASAN_POISON_MEMORY_REGION(memory, size);
#else
    (void)memory;
    (void)size;
#endif
}
void unpoison(void *memory, std::size_t size) noexcept {
#if defined(QUORVEX_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(memory, size);
#else
    (void)memory;
    (void)size;
#endif
}

constexpr std::uint32_t kMaxCells = 128;

} // namespace

namespace detail {
[[gnu::tls_model("initial-exec")]] constinit thread_local std::uint32_t lane_plus_one = 0;

std::uint32_t assign_lane() noexcept {
    constinit static std::atomic<std::uint32_t> next_thread{0};
    const std::uint32_t lane = next_thread.fetch_add(1, std::memory_order_relaxed) % kLanes + 1;
    lane_plus_one = lane;
    return lane;
}
} // namespace detail

struct NodePool::Cell {
    // The block the cell belongs to, for good; null for a node on the heap alone.
    Block *block;
    // The node, or, while the cell is free, the next free cell of its block.
    alignas(INode) unsigned char node[sizeof(INode)];

    static Cell *of(void *node) noexcept {
        return reinterpret_cast<Cell *>(static_cast<unsigned char *>(node) - offsetof(Cell, node));
    }
    // The link is kept as an address word in the cell's bytes, which hold no object then.
    [[nodiscard]] Cell *next_free() const noexcept {
        std::uintptr_t next = 0;
        std::memcpy(&next, node, sizeof next);
        return reinterpret_cast<Cell *>(next);
    }
    void set_next_free(Cell *next) noexcept {
        const auto word = reinterpret_cast<std::uintptr_t>(next);
        std::memcpy(node, &word, sizeof word);
    }
};

struct NodePool::Block {
    NodePool *pool;
    // The lane whose list and lock the block belongs to, for good.
    std::uint8_t lane;
    // Neighbours in the pool's list of open blocks, while `open`.
    Block *previous = nullptr;
    Block *next = nullptr;
    Cell *free = nullptr;
    std::uint32_t capacity;
    std::uint32_t used = 0; // cells handed out at least once; those after are untouched
    std::uint32_t live = 0; // cells holding a node
    bool open = false;

    Block(NodePool *pool_, std::uint8_t lane_, std::uint32_t capacity_) noexcept
        : pool(pool_), lane(lane_), capacity(capacity_) {}

    static constexpr std::size_t header_size() noexcept {
        return (sizeof(Block) + alignof(Cell) - 1) / alignof(Cell) * alignof(Cell);
    }
    // On a cache line's start, so that every node lies at one of two places in its lines
    // (cells are 160 bytes), both of which keep a file's share count and lock word on one
    // line (see INode::refs_).
    static constexpr std::align_val_t kAlignment{64};
    static Block *make(NodePool *pool, std::uint8_t lane, std::uint32_t capacity) {
        // The two places: a node starts on a line or half-way through one.
        static_assert(sizeof(void *) != 8 || ((header_size() + offsetof(Cell, node)) % 32 == 0 &&
                                              sizeof(Cell) % 32 == 0),
                      "a node's place in its cache lines moved");
        void *memory = ::operator new(header_size() + capacity * sizeof(Cell), kAlignment);
        return new (memory) Block(pool, lane, capacity);
    }
    Cell *cell(std::uint32_t at) noexcept {
        return reinterpret_cast<Cell *>(reinterpret_cast<unsigned char *>(this) + header_size()) +
               at;
    }
    [[nodiscard]] bool full() const noexcept { return !free && used == capacity; }
};

void *NodePool::allocate(NodePool *pool) {
    if (pool) return pool->take();
    auto *cell = static_cast<Cell *>(::operator new(sizeof(Cell)));
    cell->block = nullptr;
    return cell->node;
}

void NodePool::release(void *node) noexcept {
    Cell *cell = Cell::of(node);
    Block *block = cell->block;
    if (!block) {
        ::operator delete(cell);
        return;
    }
    block->pool->give_back(cell, cell, 1, block);
}

Usage *NodePool::usage_of(void *node) noexcept {
    Block *block = Cell::of(node)->block;
    return block ? &block->pool->usage_ : nullptr;
}

void NodePool::Batch::release(void *node) noexcept {
    Cell *cell = Cell::of(node);
    Block *block = cell->block;
    if (!block) return NodePool::release(node); // a cell of its own, from the heap
    if (block != block_) {
        flush();
        block_ = block;
        earliest_ = cell;
    }
    cell->set_next_free(latest_);
    poison(cell->node, sizeof cell->node);
    latest_ = cell;
    ++count_;
}

void NodePool::Batch::flush() noexcept {
    if (count_ == 0) return;
    block_->pool->give_back(latest_, earliest_, count_, block_);
    block_ = nullptr;
    latest_ = earliest_ = nullptr;
    count_ = 0;
}

void *NodePool::take() {
    const auto index = static_cast<std::uint8_t>(thread_lane());
    Lane &lane = lanes_[index];
    std::unique_lock guard(lane.lock);
    Block *block = lane.open ? lane.open : open_new_block(lane, index);
    Cell *cell = block->free;
    if (cell) {
        unpoison(cell->node, sizeof cell->node);
        block->free = cell->next_free();
    } else {
        cell = block->cell(block->used++);
        cell->block = block;
    }
    ++block->live;
    ++lane.live;
    if (block->full()) unlink(lane, block);
    return cell->node;
}

NodePool::Block *NodePool::open_new_block(Lane &lane, std::uint8_t index) {
    Block *block = Block::make(this, index, lane.next_capacity);
    holds_.fetch_add(1, std::memory_order_relaxed);
    lane.next_capacity = std::min(lane.next_capacity * 2, kMaxCells);
    link(lane, block);
    return block;
}

void NodePool::give_back(Cell *first, Cell *last, std::uint32_t count, Block *block) noexcept {
    Lane &lane = lanes_[block->lane];
    lane.lock.lock();
    if (!block->open) link(lane, block); // it was full
    // The last cell's link is the one word of the run still to be written.
    unpoison(last->node, sizeof(Cell *));
    last->set_next_free(block->free);
    block->free = first;
    poison(last->node, sizeof last->node);
    block->live -= count;
    lane.live -= count;
    // An empty block goes back to the heap, unless it is the one the lane's next creation
    // would take from: a thread that makes and removes one node at a time keeps its block.
    const bool freed = block->live == 0 && (!owned_.load(std::memory_order_relaxed) ||
                                            lane.open != block || block->next);
    if (freed) free_block(lane, block);
    lane.lock.unlock();
    if (freed) let_go(1);
}

void NodePool::let_go(std::size_t holds) noexcept {
    if (holds_.fetch_sub(holds, std::memory_order_acq_rel) == holds) delete this;
}

std::size_t NodePool::live() const noexcept {
    std::size_t count = 0;
    for (const Lane &lane : lanes_) {
        lane.lock.lock_shared();
        count += lane.live;
        lane.lock.unlock_shared();
    }
    return count;
}

void NodePool::disown() noexcept {
    owned_.store(false, std::memory_order_relaxed);
    // Only open blocks can be empty; a full one holds a node in every cell. A block that
    // empties later, once its lane's lock has been let go here, sees the owner gone.
    std::size_t freed = 0;
    for (Lane &lane : lanes_) {
        lane.lock.lock();
        for (Block *block = lane.open; block;) {
            Block *next = block->next;
            if (block->live == 0) {
                free_block(lane, block);
                ++freed;
            }
            block = next;
        }
        lane.lock.unlock();
    }
    let_go(freed + 1); // the blocks' holds and the owner's
}

void NodePool::link(Lane &lane, Block *block) noexcept {
    block->previous = nullptr;
    block->next = lane.open;
    if (lane.open) lane.open->previous = block;
    lane.open = block;
    block->open = true;
}

void NodePool::unlink(Lane &lane, Block *block) noexcept {
    if (block->previous) {
        block->previous->next = block->next;
    } else {
        lane.open = block->next;
    }
    if (block->next) block->next->previous = block->previous;
    block->previous = block->next = nullptr;
    block->open = false;
}

void NodePool::free_block(Lane &lane, Block *block) noexcept {
    if (block->open) unlink(lane, block);
    block->~Block();
    ::operator delete(block, Block::kAlignment);
}

namespace {

// A counted node's share of the usage goes back as its memory does.
void give_back_usage(INode *node) noexcept {
    if (!node->is_counted()) return;
    Usage *usage = NodePool::usage_of(node);
    if (!usage) return;
    const auto *file = node->as_file();
    usage->release_node(file ? file->data.data.size() : 0);
}

} // namespace

void destroy_inode(INode *node) noexcept {
    give_back_usage(node);
    node->~INode();
    NodePool::release(node);
}

// Only a file system's teardown destroys in batches, and nobody can ask its usage then.
void destroy_inode(INode *node, NodePool::Batch &batch) noexcept {
    node->~INode();
    batch.release(node);
}

} // namespace quorvex::fs
