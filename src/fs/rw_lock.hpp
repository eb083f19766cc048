// A reader/writer lock in one 32-bit word.
//
// Readers count up in the low bits; a writer owns the top bit. A thread that has to wait
// sets the waiting bit and sleeps on the word (C++20 atomic wait), so an unlock only
// issues a wake-up when somebody actually sleeps. Waiting is short by design: every
// holder in this system keeps the lock for one small operation.
//
// Writers are preferred: a writer that has to wait sets the pending bit, which turns new
// readers away until it has had its turn, so a steady stream of readers cannot starve it.
// The price is that a reader must never take the lock again while it holds it (a writer
// pending between the two would wait for the first hold while the second waits for the
// writer); the locking rule forbids nested node locks anyway, and debug builds check it.
//
// The reader count saturates at MaxReaders: a reader beyond it waits until one leaves,
// so the count can never run into the flag bits.
//
// It meets the standard Lockable and SharedLockable requirements, so std::unique_lock
// and std::shared_lock work with it.
#pragma once

#include <atomic>
#include <cstdint>

namespace quorvex::fs {

namespace rw_lock_bits {
inline constexpr std::uint32_t kWriter = 1u << 31;
inline constexpr std::uint32_t kWaiting = 1u << 30;
inline constexpr std::uint32_t kWriterPending = 1u << 29;
inline constexpr std::uint32_t kReaders = kWriterPending - 1;
} // namespace rw_lock_bits

template <std::uint32_t MaxReaders> class BasicRwLock {
    static_assert(MaxReaders > 0 && MaxReaders <= rw_lock_bits::kReaders);

  public:
    BasicRwLock() noexcept = default;
    BasicRwLock(const BasicRwLock &) = delete;
    BasicRwLock &operator=(const BasicRwLock &) = delete;

    bool try_lock_shared() noexcept { return try_take(admits_reader, add_reader); }
    void lock_shared() noexcept { wait_to_take(admits_reader, add_reader, 0); }

    void unlock_shared() noexcept {
        const std::uint32_t before = state_.fetch_sub(1, std::memory_order_release);
        const std::uint32_t readers = before & kReaders;
        // The last reader out lets a writer in; one leaving a full count lets a reader in.
        if ((before & kWaiting) && (readers == 1 || readers == MaxReaders)) wake_all();
    }

    bool try_lock() noexcept { return try_take(admits_writer, add_writer); }
    void lock() noexcept { take(admits_writer, add_writer, kWriterPending); }

    void unlock() noexcept {
        if (state_.exchange(0, std::memory_order_release) & kWaiting) notify_sleepers();
    }

  private:
    static constexpr std::uint32_t kWriter = rw_lock_bits::kWriter;
    static constexpr std::uint32_t kWaiting = rw_lock_bits::kWaiting;
    static constexpr std::uint32_t kWriterPending = rw_lock_bits::kWriterPending;
    static constexpr std::uint32_t kReaders = rw_lock_bits::kReaders;

    static constexpr bool admits_reader(std::uint32_t state) noexcept {
        return !(state & (kWriter | kWriterPending)) && (state & kReaders) < MaxReaders;
    }
    static constexpr bool admits_writer(std::uint32_t state) noexcept {
        return !(state & (kWriter | kReaders));
    }
    static constexpr std::uint32_t add_reader(std::uint32_t state) noexcept { return state + 1; }
    // Taking the lock answers this writer's own pending request; another pending writer
    // sets the bit again when it next finds the lock taken.
    static constexpr std::uint32_t add_writer(std::uint32_t state) noexcept {
        return (state & ~kWriterPending) | kWriter;
    }

    using Admits = bool (*)(std::uint32_t) noexcept;
    using Add = std::uint32_t (*)(std::uint32_t) noexcept;

    bool try_take(Admits admits, Add add) noexcept {
        std::uint32_t state = state_.load(std::memory_order_relaxed);
        while (admits(state)) {
            if (state_.compare_exchange_weak(state, add(state), std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }
    // A writer tries once inline and waits out of line, so that the callers, which mostly
    // find the lock free, save no registers for the waiting. Readers, on the lookup paths,
    // keep the whole loop inline (wait_to_take), which measured cheaper there.
    void take(Admits admits, Add add, std::uint32_t request) noexcept {
        if (!try_take(admits, add)) [[unlikely]]
            take_contended(admits, add, request);
    }
    [[gnu::noinline]] void take_contended(Admits admits, Add add, std::uint32_t request) noexcept {
        wait_to_take(admits, add, request);
    }
    // Waiting marks the word with `request` as well as with the waiting bit.
    void wait_to_take(Admits admits, Add add, std::uint32_t request) noexcept {
        while (!try_take(admits, add)) {
            const std::uint32_t state = state_.load(std::memory_order_relaxed);
            if (!admits(state)) wait_while(state, request);
        }
    }

    // `state` refuses the caller. Marks the word as having a sleeper (plus `extra`) and
    // sleeps while it still reads so; whoever changes a marked word wakes the sleepers.
    // Returns at once when the word changed meanwhile, so the caller just tries again.
    void wait_while(std::uint32_t state, std::uint32_t extra) noexcept {
        const std::uint32_t marked = state | kWaiting | extra;
        if (state == marked ||
            state_.compare_exchange_strong(state, marked, std::memory_order_relaxed)) {
            state_.wait(marked, std::memory_order_relaxed);
        }
    }

    // The wake-ups are out of line too: an unlock rarely has anyone to wake.
    [[gnu::noinline, gnu::cold]] void wake_all() noexcept {
        // Sleepers retry and mark the word again if they still have to wait.
        state_.fetch_and(~kWaiting, std::memory_order_relaxed);
        state_.notify_all();
    }
    [[gnu::noinline, gnu::cold]] void notify_sleepers() noexcept { state_.notify_all(); }

    std::atomic<std::uint32_t> state_{0};
};

using RwLock = BasicRwLock<rw_lock_bits::kReaders>;

} // namespace quorvex::fs
