// What a file system holds (bytes of file contents and nodes) against its optional limits.
//
// Growth is reserved before it happens, and threads racing at a limit never pass it
// together; what a failed change had reserved is given back. Usage falls where memory
// really goes back: a node's count and its file's bytes when the node is destroyed (not
// when it is unlinked, so a file that open handles keep alive still counts), a file's
// cut-off bytes when it shrinks.
//
// The counts live in lanes (thread_lane.hpp), so that threads that create and remove side
// by side write cache lines of their own. A lane keeps what was added and what was taken
// off, each only ever growing (in unsigned arithmetic, which wraps alike on every read).
// Everything taken off was added before, on some lane or centrally, so a reader that adds
// up what was taken off first and what was added after that never finds less added than
// taken off. A reading is exact when nothing changes meanwhile; while other threads
// create and remove, it may miss a release made during it, but never reads below zero.
//
// While no limit is set, a reservation or a release changes its thread's lane and is
// done. With a limit set, both go to the central count instead (which may run below zero
// in unsigned arithmetic: what a lane added, it takes off), a reservation by a
// compare-and-swap against the limit less what the lanes hold. The lanes then stand
// still, so a reading is the central count at one moment plus constants: exact, and
// never past the limit.
//
// Switching between the two, and lowering a limit while others reserve, rely on one
// rule: each side writes its own word first and reads the other's after it, all
// sequentially consistent. A reservation adds (to its lane, or centrally) and then reads
// the limit; set_limits stores the limit and then reads the counts. So at least one of
// them sees the other: either set_limits counts the reservation, or the reservation sees
// the limit and gives back what it took (then, if it was in a lane, tries centrally).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>

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
    [[nodiscard]] bool try_reserve_node() noexcept { return try_reserve(kNodes, 1); }
    [[nodiscard]] bool try_reserve_bytes(std::uint64_t count) noexcept {
        return count == 0 || try_reserve(kBytes, count);
    }
    void release_bytes(std::uint64_t count) noexcept {
        if (count != 0) release(kBytes, count);
    }
    // A node that was counted is destroyed, with the bytes its file still held.
    void release_node(std::uint64_t bytes) noexcept {
        release(kNodes, 1);
        release_bytes(bytes);
    }

    [[nodiscard]] Counts counts() const noexcept { return {held(kBytes), held(kNodes)}; }

    // Sets both limits (kUnlimited for none), or neither when the usage already passes
    // one of them: a limit is never set below what is held, so usage never exceeds it.
    [[nodiscard]] bool set_limits(std::uint64_t max_bytes, std::uint64_t max_nodes) noexcept {
        const std::lock_guard guard(limits_lock_);
        const std::uint64_t old_bytes = limit_[kBytes].exchange(max_bytes);
        const std::uint64_t old_nodes = limit_[kNodes].exchange(max_nodes);
        if (held(kBytes) <= max_bytes && held(kNodes) <= max_nodes) return true;
        limit_[kBytes].store(old_bytes);
        limit_[kNodes].store(old_nodes);
        return false;
    }
    [[nodiscard]] Counts limits() const noexcept {
        return {limit_[kBytes].load(), limit_[kNodes].load()};
    }

  private:
    enum Count : std::uint8_t { kBytes, kNodes };

    // One lane's totals, alone on its cache line.
    struct alignas(kLaneAlign) Lane {
        std::array<std::atomic<std::uint64_t>, 2> added{};
        std::array<std::atomic<std::uint64_t>, 2> taken_off{};
    };

    Lane &own_lane() noexcept { return lanes_[thread_lane()]; }

    bool try_reserve(Count count_of, std::uint64_t count) noexcept {
        if (limit_[count_of].load(std::memory_order_relaxed) == kUnlimited) [[likely]] {
            Lane &lane = own_lane();
            lane.added[count_of].fetch_add(count);
            if (limit_[count_of].load() == kUnlimited) [[likely]]
                return true;
            // A limit came meanwhile: it may not have counted this.
            lane.taken_off[count_of].fetch_add(count);
        }
        return try_reserve_centrally(count_of, count);
    }

    void release(Count count_of, std::uint64_t count) noexcept {
        if (limit_[count_of].load(std::memory_order_relaxed) == kUnlimited) [[likely]] {
            own_lane().taken_off[count_of].fetch_add(count);
        } else {
            central_[count_of].fetch_sub(count);
        }
    }

    [[gnu::noinline]] bool try_reserve_centrally(Count count_of, std::uint64_t count) noexcept {
        std::atomic<std::uint64_t> &central = central_[count_of];
        const std::atomic<std::uint64_t> &limit = limit_[count_of];
        std::uint64_t current = central.load();
        std::uint64_t wanted = 0;
        do {
            const std::uint64_t max = limit.load();
            // While a limit is set the lanes' part stands still (but for a racing change's
            // moment in its lane, and releases that saw no limit yet, which only lower it),
            // so a sum read before the swap is never below what they hold after it.
            const std::uint64_t in_lanes = held_in_lanes(count_of);
            const std::uint64_t in_use = current + in_lanes;
            if (count > max || in_use > max - count) return false;
            wanted = in_use + count;
        } while (!central.compare_exchange_weak(current, current + count));
        // A limit set or lowered meanwhile (see the top of this file).
        if (wanted > limit.load()) [[unlikely]] {
            central.fetch_sub(count);
            return false;
        }
        return true;
    }

    // What the lanes hold, plus the central count when given one: what was taken off is
    // read before what was added (see the top of this file).
    [[nodiscard]] std::uint64_t
    held_in_lanes(Count count_of,
                  const std::atomic<std::uint64_t> *central = nullptr) const noexcept {
        std::uint64_t taken_off = 0;
        for (const Lane &lane : lanes_)
            taken_off += lane.taken_off[count_of].load();
        std::uint64_t added = central ? central->load() : 0;
        for (const Lane &lane : lanes_)
            added += lane.added[count_of].load();
        return added - taken_off;
    }

    [[nodiscard]] std::uint64_t held(Count count_of) const noexcept {
        return held_in_lanes(count_of, &central_[count_of]);
    }

    std::array<Lane, kLanes> lanes_;
    // What was reserved while a limit was set, less what was given back meanwhile.
    std::array<std::atomic<std::uint64_t>, 2> central_{};
    std::array<std::atomic<std::uint64_t>, 2> limit_{kUnlimited, kUnlimited};
    // Only set_limits takes it, so that two of them do not undo each other's limits.
    std::mutex limits_lock_;
};

} // namespace quorvex::fs
