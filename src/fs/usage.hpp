// What a file system holds (bytes of file contents and nodes) against its optional limits.
//
// Growth is reserved before it happens, with a compare-and-swap against the limit, so
// that threads racing at a limit never pass it together; what a failed change had
// reserved is given back. Usage falls where memory really goes back: a node's count and
// its file's bytes when the node is destroyed (not when it is unlinked, so a file that
// open handles keep alive still counts), a file's cut-off bytes when it shrinks.
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

namespace quorvex::fs {

class Usage {
  public:
    static constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

    struct Counts {
        std::uint64_t bytes;
        std::uint64_t nodes;
    };

    // One node more, or false (nothing reserved) when that would pass the node limit.
    [[nodiscard]] bool try_reserve_node() noexcept { return try_reserve(nodes_, max_nodes_, 1); }
    [[nodiscard]] bool try_reserve_bytes(std::uint64_t count) noexcept {
        return count == 0 || try_reserve(bytes_, max_bytes_, count);
    }
    void release_bytes(std::uint64_t count) noexcept {
        if (count != 0) bytes_.fetch_sub(count);
    }
    // A node that was counted is destroyed, with the bytes its file still held.
    void release_node(std::uint64_t bytes) noexcept {
        nodes_.fetch_sub(1);
        release_bytes(bytes);
    }

    [[nodiscard]] Counts counts() const noexcept { return {bytes_.load(), nodes_.load()}; }

    // Sets both limits (kUnlimited for none), or neither when the usage already passes
    // one of them: a limit is never set below what is held, so usage never exceeds it.
    [[nodiscard]] bool set_limits(std::uint64_t max_bytes, std::uint64_t max_nodes) noexcept {
        const std::lock_guard guard(limits_lock_);
        const std::uint64_t old_bytes = max_bytes_.exchange(max_bytes);
        const std::uint64_t old_nodes = max_nodes_.exchange(max_nodes);
        if (bytes_.load() <= max_bytes && nodes_.load() <= max_nodes) return true;
        max_bytes_.store(old_bytes);
        max_nodes_.store(old_nodes);
        return false;
    }
    [[nodiscard]] Counts limits() const noexcept { return {max_bytes_.load(), max_nodes_.load()}; }

  private:
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

    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<std::uint64_t> nodes_{0};
    std::atomic<std::uint64_t> max_bytes_{kUnlimited};
    std::atomic<std::uint64_t> max_nodes_{kUnlimited};
    // Only set_limits takes it, so that two of them do not undo each other's limits.
    std::mutex limits_lock_;
};

} // namespace quorvex::fs
