#include "fs/node_pool.hpp"

#include <algorithm>
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
    // Neighbours in the pool's list of open blocks, while `open`.
    Block *previous = nullptr;
    Block *next = nullptr;
    Cell *free = nullptr;
    std::uint32_t capacity;
    std::uint32_t used = 0; // cells handed out at least once; those after are untouched
    std::uint32_t live = 0; // cells holding a node
    bool open = false;

    Block(NodePool *pool_, std::uint32_t capacity_) noexcept : pool(pool_), capacity(capacity_) {}

    static std::size_t header_size() noexcept {
        return (sizeof(Block) + alignof(Cell) - 1) / alignof(Cell) * alignof(Cell);
    }
    static Block *make(NodePool *pool, std::uint32_t capacity) {
        void *memory = ::operator new(header_size() + capacity * sizeof(Cell));
        return new (memory) Block(pool, capacity);
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
    std::unique_lock guard(lock_);
    Block *block = open_ ? open_ : open_new_block();
    Cell *cell = block->free;
    if (cell) {
        unpoison(cell->node, sizeof cell->node);
        block->free = cell->next_free();
    } else {
        cell = block->cell(block->used++);
        cell->block = block;
    }
    ++block->live;
    ++live_;
    if (block->full()) unlink(block);
    return cell->node;
}

NodePool::Block *NodePool::open_new_block() {
    Block *block = Block::make(this, next_capacity_);
    ++blocks_;
    next_capacity_ = std::min(next_capacity_ * 2, kMaxCells);
    link(block);
    return block;
}

void NodePool::give_back(Cell *first, Cell *last, std::uint32_t count, Block *block) noexcept {
    lock_.lock();
    if (!block->open) link(block); // it was full
    // The last cell's link is the one word of the run still to be written.
    unpoison(last->node, sizeof(Cell *));
    last->set_next_free(block->free);
    block->free = first;
    poison(last->node, sizeof last->node);
    bool pool_gone = false;
    block->live -= count;
    live_ -= count;
    // An empty block goes back to the heap, unless it is the one the next creation would
    // take from: a file system that makes and removes one node at a time keeps its block.
    if (block->live == 0 && (!owned_ || open_ != block || block->next)) {
        pool_gone = free_block(block);
    }
    lock_.unlock();
    if (pool_gone) delete this;
}

std::size_t NodePool::live() const noexcept {
    lock_.lock_shared();
    const std::size_t count = live_;
    lock_.unlock_shared();
    return count;
}

void NodePool::disown() noexcept {
    lock_.lock();
    owned_ = false;
    // Only open blocks can be empty; a full one holds a node in every cell.
    bool pool_gone = blocks_ == 0;
    for (Block *block = open_; block;) {
        Block *next = block->next;
        if (block->live == 0) pool_gone = free_block(block);
        block = next;
    }
    lock_.unlock();
    if (pool_gone) delete this;
}

void NodePool::link(Block *block) noexcept {
    block->previous = nullptr;
    block->next = open_;
    if (open_) open_->previous = block;
    open_ = block;
    block->open = true;
}

void NodePool::unlink(Block *block) noexcept {
    if (block->previous) {
        block->previous->next = block->next;
    } else {
        open_ = block->next;
    }
    if (block->next) block->next->previous = block->previous;
    block->previous = block->next = nullptr;
    block->open = false;
}

bool NodePool::free_block(Block *block) noexcept {
    if (block->open) unlink(block);
    block->~Block();
    ::operator delete(block);
    --blocks_;
    return !owned_ && blocks_ == 0;
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
