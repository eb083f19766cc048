// Memory for a file system's inodes, carved from blocks of many nodes at a time.
//
// A creation takes a free cell of a block that has one (or the next unused cell of it),
// and a node's destruction gives its cell back to its block. A block is handed back to
// the heap once its last node is gone and another block can take the next creations, so
// a file system that shrinks returns its memory as it goes. Each cell begins with the
// address of its block, which is how a node finds its way back from whichever thread
// destroys it.
//
// Lifetime: a pool belongs to its file system and to the nodes still in it. When the file
// system goes (NodePool::Disown), the blocks left empty are freed at once; a block that
// still holds a node (one shared beyond its file system, or one still waiting in an epoch
// queue) is freed when that node goes, and the pool with its last block.
//
// Safety with reclamation: a cell is reused only once destroy_inode() gave it back, which
// happens when the epoch reclaimer (or a file system's teardown) has established that no
// lookup can still see the node; reuse is then as safe as the heap's own.
//
// The blocks are kept in lanes (thread_lane.hpp), each with its own lock and its own list of
// open blocks: a thread takes its cells from its lane's blocks, and a cell goes back to the
// lane of its block, whichever thread gives it back. So threads that create side by side
// neither wait for one lock nor get nodes that share cache lines with each other's.
//
// A lane's lock is a leaf: it is held for taking one cell or giving back a run of cells
// of one block (and the block bookkeeping that goes with it) and nothing is called under
// it but the heap. A file system's teardown gives its nodes' cells back in such runs
// (NodePool::Batch): nodes made one after another sit in one block, so the lock is taken
// about once per block rather than once per node. It may be taken under any other lock,
// since a node may be destroyed wherever its last share goes, but never inside an epoch
// guard (nothing is destroyed there).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "fs/rw_lock.hpp"
#include "fs/thread_lane.hpp"
#include "fs/usage.hpp"

namespace quorvex::fs {

class NodePool {
    struct Block;
    struct Cell;

  public:
    // Memory for one node. From the heap, one cell alone, when `pool` is null.
    [[nodiscard]] static void *allocate(NodePool *pool);
    // Gives back the memory of a node already destroyed, to the pool it came from.
    static void release(void *node) noexcept;

    // Gives back the memory of many nodes destroyed one after another on one thread,
    // taking a pool's lock once for each run of cells of one block rather than once for
    // each cell. A cell it holds still counts as taken, so its block stays, until the run
    // is handed over: when a cell of another block comes, or when the batch goes.
    class Batch {
      public:
        Batch() noexcept = default;
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;
        ~Batch() { flush(); }

        void release(void *node) noexcept;

      private:
        void flush() noexcept;

        Block *block_ = nullptr;
        // The run, linked as free cells from the latest to the earliest.
        Cell *latest_ = nullptr;
        Cell *earliest_ = nullptr;
        std::uint32_t count_ = 0;
    };

    // Ends the owner's part: frees what it can now, the rest as its last nodes go.
    struct Disown {
        void operator()(NodePool *pool) const noexcept { pool->disown(); }
    };

    NodePool() = default;
    NodePool(const NodePool &) = delete;
    // Nodes made from the pool and not yet destroyed: those in the table, and those that
    // left it but are still shared (or still waiting for the epoch reclaimer).
    [[nodiscard]] std::size_t live() const noexcept;
    NodePool &operator=(const NodePool &) = delete;

    // The usage of the file system the nodes belong to. It lives here, not in the file
    // system, because the pool lasts as long as any of its nodes: a node freed after its
    // file system (held by a handle) still gives back to a live count.
    [[nodiscard]] Usage &usage() noexcept { return usage_; }
    // The usage of the pool that gave `node` its memory; null for a node from the heap.
    [[nodiscard]] static Usage *usage_of(void *node) noexcept;

  private:
    // One lane's blocks, alone on its cache line.
    struct alignas(kLaneAlign) Lane {
        mutable RwLock lock;
        // Cells of this lane's blocks that hold a node.
        std::size_t live = 0;
        // Blocks with a free or unused cell, the one to take from first.
        Block *open = nullptr;
        // Cells in the next block made; grows to a bound, so a small file system stays small.
        std::uint32_t next_capacity = 8;
    };

    void *take();
    // Out of line, so that taking a cell from an open block saves no registers for it.
    [[gnu::noinline]] Block *open_new_block(Lane &lane, std::uint8_t index);
    // Gives back `count` cells of `block`, linked as free cells from `first` to `last`.
    void give_back(Cell *first, Cell *last, std::uint32_t count, Block *block) noexcept;
    void disown() noexcept;
    static void link(Lane &lane, Block *block) noexcept;
    static void unlink(Lane &lane, Block *block) noexcept;
    // Frees `block`, under its lane's lock; its hold on the pool is let go of after that
    // lock, as the pool may go with it.
    static void free_block(Lane &lane, Block *block) noexcept;
    // Gives up `holds` holds, and the pool with the last one; no lane's lock may be held.
    void let_go(std::size_t holds) noexcept;

    Usage usage_;
    Lane lanes_[kLanes];
    // The blocks, plus one while the owner has not left: the pool goes when it reaches 0.
    std::atomic<std::size_t> holds_{1};
    // Cleared by disown() before it takes any lane's lock, so a lane's holder that reads
    // it set knows that disown() has yet to look at that lane.
    std::atomic<bool> owned_{true};
};

} // namespace quorvex::fs
