#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fs/inode.hpp"
#include "fs/node_pool.hpp"

namespace quorvex::fs {
namespace {

// Cells filled with a byte of their own, so that two live cells sharing memory show.
struct Cells {
    struct Held {
        void *memory;
        unsigned char mark;
    };
    std::vector<Held> held;
    unsigned char next_mark = 0;

    void take(NodePool *pool) {
        void *memory = NodePool::allocate(pool);
        std::memset(memory, ++next_mark, sizeof(INode));
        held.push_back({memory, next_mark});
    }
    [[nodiscard]] int intact() const {
        int count = 0;
        for (const Held &cell : held) {
            const auto *bytes = static_cast<const unsigned char *>(cell.memory);
            bool same = true;
            for (std::size_t at = 0; at < sizeof(INode); ++at)
                same = same && bytes[at] == cell.mark;
            count += same;
        }
        return count;
    }
    // Gives back every other cell, from the back when `reverse`.
    void give_back_half(bool reverse) {
        std::vector<Held> kept;
        for (std::size_t i = 0; i < held.size(); ++i) {
            const std::size_t at = reverse ? held.size() - 1 - i : i;
            if (i % 2) {
                NodePool::release(held[at].memory);
            } else {
                kept.push_back(held[at]);
            }
        }
        held = kept;
    }
    void give_back_all() {
        for (const Held &cell : held)
            NodePool::release(cell.memory);
        held.clear();
    }
};

class NodePoolTest : public testing::TestWithParam<std::tuple<int, bool>> {};

// Cells handed out again after some came back never overlap a live one, and the cells
// still live when the owner lets go stay usable until given back (the sanitizers check
// that the pool then frees each block exactly once, and nothing leaks).
TEST_P(NodePoolTest, LiveCellsStayApartAndOutliveTheOwner) {
    const auto [count, reverse] = GetParam();
    auto *pool = new NodePool;
    Cells cells;
    for (int i = 0; i < count; ++i)
        cells.take(pool);
    cells.give_back_half(reverse);
    for (int i = 0; i < count; ++i)
        cells.take(pool);
    EXPECT_EQ(cells.intact(), static_cast<int>(cells.held.size()));
    cells.give_back_half(!reverse);
    NodePool::Disown{}(pool);
    EXPECT_EQ(cells.intact(), static_cast<int>(cells.held.size()));
    cells.give_back_all();
}

INSTANTIATE_TEST_SUITE_P(AroundBlockSizes, NodePoolTest,
                         testing::Combine(testing::Values(1, 8, 9, 24, 25, 300), testing::Bool()));

} // namespace
} // namespace quorvex::fs

namespace quorvex::fs {
namespace {

// Threads take cells from blocks of their own; a cell goes back to its block from any
// thread, after the owner left too, and the pool counts every live cell whichever block
// holds it.
TEST(NodePoolThreadsTest, CellsGoBackFromAnyThreadAfterTheOwnerLeft) {
    auto *pool = new NodePool;
    constexpr int kThreads = 3;
    constexpr int kEach = 20;
    std::vector<Cells> cells(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            cells[t].next_mark = static_cast<unsigned char>(t * kEach);
            for (int i = 0; i < kEach; ++i)
                cells[t].take(pool);
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(pool->live(), std::size_t{kThreads * kEach});
    std::thread([&] { cells[0].give_back_half(false); }).join();
    EXPECT_EQ(pool->live(), std::size_t{kThreads * kEach - kEach / 2});
    NodePool::Disown{}(pool);
    for (const Cells &taken : cells)
        EXPECT_EQ(taken.intact(), static_cast<int>(taken.held.size()));
    threads.clear();
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] { cells[(t + 1) % kThreads].give_back_all(); });
    for (auto &thread : threads)
        thread.join();
}

} // namespace
} // namespace quorvex::fs
