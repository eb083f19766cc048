// What a file system holds (bytes of file contents and nodes) against its optional limits.
//
// Growth is reserved before it happens, with a compare-and-swap against the limit, so
// that threads racing at a limit never pass it together; what a failed change had
// reserved is given back. Usage falls where memory really goes back: a node's count and
// its file's bytes when the node is destroyed (not when it is unlinked, so a file that
// open handles keep alive still counts), a file's cut-off bytes when it shrinks.
//
// While no limit is set there is nothing to check against, and the counts are kept in
// lanes (thread_lane.hpp): each thread adds and takes off in a lane of its own, under the
// lane's lock, and the usage is the central count plus every lane's. A lane may run
// below zero (a node made on one thread and destroyed on another); the sum, in unsigned
// arithmetic, is exact. set_limits takes every lane's lock and folds the lanes into the
// central count before a limit is set, and a change finds out under its lane's lock
// whether it may use its lane, so while a limit is set the lanes stay at zero and every
// change goes through the central count, which is then the whole usage.
//
// A limit may be lowered while other threads reserve. Both sides touch their own word
// first and read the other's after it, all sequentially consistent: a reservation adds
// to the usage and then reads the limit again, set_limits stores the limit and then reads
// the usage. So at least one of them sees the other, and either the reservation gives
// back what it took or set_limits puts the old limit back.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>

#include "fs/rw_lock.hpp"
#include "fs/thread_lane.hpp"

namespace quorvex::fs {

class Usage {
  public:
    static constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

    struct Counts {
        std::uint64_t bytes;
        std::uint64_t nodes;
    };

    // One node more, or false (nothing reserved) when that would pass the node limit.
    [[nodiscard]] bool try_reserve_node() noexcept {
        return add_in_lane(1, 0) || try_reserve(nodes_, max_nodes_, 1);
    }
    [[nodiscard]] bool try_reserve_bytes(std::uint64_t count) noexcept {
        return count == 0 || add_in_lane(0, count) || try_reserve(bytes_, max_bytes_, count);
    }
    void release_bytes(std::uint64_t count) noexcept {
        if (count != 0 && !add_in_lane(0, 0 - count)) bytes_.fetch_sub(count);
    }
    // A node that was counted is destroyed, with the bytes its file still held.
    void release_node(std::uint64_t bytes) noexcept {
        if (add_in_lane(std::uint64_t{0} - 1, 0 - bytes)) return;
        nodes_.fetch_sub(1);
        if (bytes != 0) bytes_.fetch_sub(bytes);
    }

    // The usage at one moment: the lanes are held still while they are added up.
    [[nodiscard]] Counts counts() const noexcept {
        const AllLanes held(*this);
        Counts total{bytes_.load(), nodes_.load()};
        for (const Lane &lane : lanes_) {
            total.bytes += lane.bytes.load(std::memory_order_relaxed);
            total.nodes += lane.nodes.load(std::memory_order_relaxed);
        }
        return total;
    }

    // Sets both limits (kUnlimited for none), or neither when the usage already passes
    // one of them: a limit is never set below what is held, so usage never exceeds it.
    [[nodiscard]] bool set_limits(std::uint64_t max_bytes, std::uint64_t max_nodes) noexcept {
        const std::lock_guard guard(limits_lock_);
        const AllLanes held(*this);
        fold_lanes();
        const std::uint64_t old_bytes = max_bytes_.exchange(max_bytes);
        const std::uint64_t old_nodes = max_nodes_.exchange(max_nodes);
        const bool fits = bytes_.load() <= max_bytes && nodes_.load() <= max_nodes;
        if (!fits) {
            max_bytes_.store(old_bytes);
            max_nodes_.store(old_nodes);
        }
        limited_.store(max_bytes_.load() != kUnlimited || max_nodes_.load() != kUnlimited,
                       std::memory_order_relaxed);
        return fits;
    }
    [[nodiscard]] Counts limits() const noexcept { return {max_bytes_.load(), max_nodes_.load()}; }

  private:
    // One lane's counts, alone on its cache line. The lock is a leaf: held only for the
    // additions below, or by set_limits and counts() to hold every lane still.
    struct alignas(kLaneAlign) Lane {
        mutable RwLock lock;
        std::atomic<std::uint64_t> bytes{0};
        std::atomic<std::uint64_t> nodes{0};
    };

    // Every lane's lock, taken in lane order (only while holding none of them).
    class AllLanes {
      public:
        explicit AllLanes(const Usage &usage) noexcept : lanes_(usage.lanes_) {
            for (const Lane &lane : lanes_)
                lane.lock.lock();
        }
        ~AllLanes() {
            for (const Lane &lane : lanes_)
                lane.lock.unlock();
        }
        AllLanes(const AllLanes &) = delete;
        AllLanes &operator=(const AllLanes &) = delete;

      private:
        const Lane (&lanes_)[kLanes];
    };

    // Adds to the calling thread's lane (in unsigned arithmetic, so a release adds the
    // negated count) when no limit is set; false, changing nothing, when one is.
    bool add_in_lane(std::uint64_t nodes, std::uint64_t bytes) noexcept {
        if (limited_.load(std::memory_order_relaxed)) return false;
        Lane &lane = lanes_[thread_lane()];
        lane.lock.lock();
        // Under the lock, where set_limits changes it.
        const bool open = !limited_.load(std::memory_order_relaxed);
        if (open) {
            // Only this lock's holder writes the lane; the atomics are for counts()'s reads.
            lane.nodes.store(lane.nodes.load(std::memory_order_relaxed) + nodes,
                             std::memory_order_relaxed);
            lane.bytes.store(lane.bytes.load(std::memory_order_relaxed) + bytes,
                             std::memory_order_relaxed);
        }
        lane.lock.unlock();
        return open;
    }

    // Moves every lane's counts into the central ones; every lane's lock is held.
    void fold_lanes() noexcept {
        for (Lane &lane : lanes_) {
            nodes_.fetch_add(lane.nodes.exchange(0, std::memory_order_relaxed));
            bytes_.fetch_add(lane.bytes.exchange(0, std::memory_order_relaxed));
        }
    }

    static bool try_reserve(std::atomic<std::uint64_t> &used,
                            const std::atomic<std::uint64_t> &limit, std::uint64_t count) noexcept {
        std::uint64_t wanted = 0;
        if (limit.load(std::memory_order_relaxed) == kUnlimited) {
            // No limit to race for: one addition, no loop.
            wanted = used.fetch_add(count) + count;
        } else {
            std::uint64_t current = used.load(std::memory_order_relaxed);
            do {
                const std::uint64_t max = limit.load(std::memory_order_relaxed);
                if (count > max || current > max - count) return false;
                wanted = current + count;
            } while (!used.compare_exchange_weak(current, wanted));
        }
        // A limit set or lowered meanwhile (see the top of this file).
        if (wanted > limit.load()) [[unlikely]] {
            used.fetch_sub(count);
            return false;
        }
        return true;
    }

    Lane lanes_[kLanes];
    // The central counts and the limits, on a line of their own: written only while a
    // limit is set, or by threads that found out it was set while they were changing.
    alignas(kLaneAlign) std::atomic<std::uint64_t> bytes_{0};
    std::atomic<std::uint64_t> nodes_{0};
    std::atomic<std::uint64_t> max_bytes_{kUnlimited};
    std::atomic<std::uint64_t> max_nodes_{kUnlimited};
    // Whether either limit is set, so that the lanes are closed. Changed only by
    // set_limits, holding every lane's lock.
    std::atomic<bool> limited_{false};
    // Only set_limits takes it, so that two of them do not undo each other's limits.
    std::mutex limits_lock_;
};

} // namespace quorvex::fs
