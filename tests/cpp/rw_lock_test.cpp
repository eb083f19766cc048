#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fs/epoch.hpp"
#include "fs/locking.hpp"
#include "fs/rw_lock.hpp"

namespace quorvex::fs {
namespace {

// Polls `condition` a bounded number of times, letting other threads run in between.
bool eventually(const std::function<bool()> &condition) {
    for (int attempt = 0; attempt < 10'000'000; ++attempt) {
        if (condition()) return true;
        std::this_thread::yield();
    }
    return false;
}

TEST(RwLockTest, TriesAgreeWithAModelOfReadersAndAWriter) {
    constexpr std::uint32_t kMax = 3;
    BasicRwLock<kMax> lock;
    std::uint32_t readers = 0;
    bool writer = false;
    std::mt19937 random(7);
    for (int step = 0; step < 20'000; ++step) {
        switch (random() % 4) {
        case 0:
            EXPECT_EQ(lock.try_lock_shared(), !writer && readers < kMax);
            if (!writer && readers < kMax) ++readers;
            break;
        case 1:
            EXPECT_EQ(lock.try_lock(), !writer && readers == 0);
            if (!writer && readers == 0) writer = true;
            break;
        case 2:
            if (readers > 0) lock.unlock_shared(), --readers;
            break;
        default:
            if (writer) lock.unlock(), writer = false;
            break;
        }
    }
}

TEST(RwLockTest, AWaitingWriterTurnsNewReadersAway) {
    RwLock lock;
    lock.lock_shared();
    std::atomic<bool> written{false};
    std::thread writer([&] {
        std::unique_lock guard(lock);
        written = true;
    });
    // Once the writer waits, readers that come later wait behind it...
    ASSERT_TRUE(eventually([&] {
        if (!lock.try_lock_shared()) return true;
        lock.unlock_shared();
        return false;
    }));
    EXPECT_FALSE(written);
    // ...and it gets its turn as soon as the reader that was first lets go.
    lock.unlock_shared();
    writer.join();
    EXPECT_TRUE(written);
    EXPECT_TRUE(lock.try_lock_shared());
    lock.unlock_shared();
}

TEST(RwLockTest, TheReaderCountSaturatesInsteadOfOverflowing) {
    BasicRwLock<2> lock;
    ASSERT_TRUE(lock.try_lock_shared() && lock.try_lock_shared());
    EXPECT_FALSE(lock.try_lock_shared());
    EXPECT_FALSE(lock.try_lock());
    std::atomic<bool> entered{false};
    std::thread third([&] {
        lock.lock_shared();
        entered = true;
        lock.unlock_shared();
    });
    lock.unlock_shared(); // makes room, which must wake the reader waiting for it
    third.join();
    EXPECT_TRUE(entered);
    lock.unlock_shared();
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
}

TEST(RwLockTest, ReadersAndWritersExcludeEachOtherUnderContention) {
    RwLock lock;
    std::atomic<int> readers{0};
    std::atomic<int> writers{0};
    std::atomic<bool> overlap{false};
    long long counter = 0; // guarded by the lock
    constexpr int kThreads = 4;
    constexpr int kRounds = 2'000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            for (int round = 0; round < kRounds; ++round) {
                // Some holders dawdle, so that the others fall asleep on the word.
                const bool dawdle = random() % 16 == 0;
                if (random() % 3 == 0) {
                    std::unique_lock guard(lock);
                    if (writers.fetch_add(1) != 0 || readers.load() != 0) overlap = true;
                    ++counter;
                    if (dawdle) std::this_thread::sleep_for(std::chrono::microseconds(50));
                    writers.fetch_sub(1);
                } else {
                    std::shared_lock guard(lock);
                    readers.fetch_add(1);
                    if (writers.load() != 0) overlap = true;
                    if (dawdle) std::this_thread::sleep_for(std::chrono::microseconds(50));
                    readers.fetch_sub(1);
                }
            }
        });
    }
    long long written = 0;
    for (int t = 0; t < kThreads; ++t) {
        std::mt19937 random(static_cast<unsigned>(t));
        for (int round = 0; round < kRounds; ++round) {
            random();
            written += random() % 3 == 0;
        }
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_FALSE(overlap);
    EXPECT_EQ(counter, written);
}

// The debug checks of the locking rule stop a thread that breaks it.
struct Breach {
    const char *name;
    void (*run)();
    const char *complaint;
};

void second_node_lock() {
    NodeLock a;
    NodeLock b;
    std::shared_lock first(a);
    std::shared_lock second(b);
}
void node_lock_under_a_shard_lock() {
    ShardLock shard;
    NodeLock node;
    std::shared_lock first(shard);
    std::shared_lock second(node);
}
void lock_inside_a_callback() {
    ShardLock shard;
    const locking::CallbackScope scope;
    std::shared_lock guard(shard);
}
void lock_inside_an_epoch_guard() {
    NodeLock node;
    const epoch::Guard guard;
    std::shared_lock held(node);
}

void rename_mutex_under_a_node_lock() {
    NodeLock node;
    RenameMutex renames;
    std::shared_lock held(node);
    std::lock_guard waiting(renames);
}

class LockingRuleTest : public testing::TestWithParam<Breach> {};

TEST_P(LockingRuleTest, IsEnforcedInDebugBuilds) {
    if (!locking::kChecked) GTEST_SKIP() << "the checks are compiled out";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(GetParam().run(), GetParam().complaint);
}

INSTANTIATE_TEST_SUITE_P(
    Breaches, LockingRuleTest,
    testing::Values(
        Breach{"SecondNodeLock", second_node_lock, "at most one node lock"},
        Breach{"NodeLockUnderShardLock", node_lock_under_a_shard_lock,
               "nothing is locked under it"},
        Breach{"LockInsideCallback", lock_inside_a_callback, "callback under a node lock"},
        Breach{"LockInsideEpochGuard", lock_inside_an_epoch_guard, "inside an epoch guard"},
        Breach{"RenameMutexUnderNodeLock", rename_mutex_under_a_node_lock,
               "taken under no node lock"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(LockingRuleTest, OneNodeLockAfterAnotherIsAllowed) {
    NodeLock a;
    NodeLock b;
    {
        std::unique_lock first(a);
    }
    std::shared_lock second(b);
    EXPECT_EQ(locking::node_locks_held(), locking::kChecked ? 1 : 0);
}

// Under the rename mutex a thread may hold several node locks.
TEST(LockingRuleTest, TheRenameMutexAllowsSeveralNodeLocks) {
    RenameMutex renames;
    NodeLock a;
    NodeLock b;
    const std::lock_guard renaming(renames);
    std::unique_lock first(a);
    std::unique_lock second(b);
    EXPECT_EQ(locking::node_locks_held(), locking::kChecked ? 2 : 0);
}

} // namespace
} // namespace quorvex::fs
