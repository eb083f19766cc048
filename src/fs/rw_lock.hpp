// A reader/writer lock in one 32-bit word.
//
// Readers count up in the low bits; a writer owns the top bit. A thread that has to wait
// sets the waiting bit and sleeps on the word (C++20 atomic wait), so an unlock only
// issues a wake-up when somebody actually sleeps. Waiting is short by design: every
// holder in this system keeps the lock for one small operation. Readers are not held
// back by a waiting writer, so a reader may take the lock again while it holds it.
// It meets the standard Lockable and SharedLockable requirements, so std::unique_lock
// and std::shared_lock work with it.
#pragma once

#include <atomic>
#include <cstdint>

namespace quorvex::fs {

class RwLock {
  public:
    RwLock() noexcept = default;
    RwLock(const RwLock &) = delete;
    RwLock &operator=(const RwLock &) = delete;

    bool try_lock_shared() noexcept {
        std::uint32_t state = state_.load(std::memory_order_relaxed);
        while (!(state & kWriter)) {
            if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }

    void lock_shared() noexcept {
        if (!try_lock_shared()) lock_shared_slow();
    }

    void unlock_shared() noexcept {
        const std::uint32_t before = state_.fetch_sub(1, std::memory_order_release);
        if ((before & kReaders) == 1 && (before & kWaiting)) wake_all();
    }

    bool try_lock() noexcept {
        std::uint32_t state = state_.load(std::memory_order_relaxed);
        return !(state & (kWriter | kReaders)) &&
               state_.compare_exchange_strong(state, state | kWriter, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }

    void lock() noexcept {
        if (!try_lock()) lock_slow();
    }

    void unlock() noexcept {
        if (state_.exchange(0, std::memory_order_release) & kWaiting) state_.notify_all();
    }

  private:
    static constexpr std::uint32_t kWriter = 1u << 31;
    static constexpr std::uint32_t kWaiting = 1u << 30;
    static constexpr std::uint32_t kReaders = kWaiting - 1;

    void lock_shared_slow() noexcept;
    void lock_slow() noexcept;
    void wake_all() noexcept;
    // Marks the word as having a sleeper and sleeps while it still reads `state`.
    void wait_while(std::uint32_t state) noexcept;

    std::atomic<std::uint32_t> state_{0};
};

inline void RwLock::wait_while(std::uint32_t state) noexcept {
    const std::uint32_t marked = state | kWaiting;
    if (state == marked ||
        state_.compare_exchange_strong(state, marked, std::memory_order_relaxed)) {
        state_.wait(marked, std::memory_order_relaxed);
    }
}

inline void RwLock::lock_shared_slow() noexcept {
    for (;;) {
        std::uint32_t state = state_.load(std::memory_order_relaxed);
        if (!(state & kWriter)) {
            if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return;
            }
            continue;
        }
        wait_while(state);
    }
}

inline void RwLock::lock_slow() noexcept {
    for (;;) {
        std::uint32_t state = state_.load(std::memory_order_relaxed);
        if (!(state & (kWriter | kReaders))) {
            if (state_.compare_exchange_weak(state, state | kWriter, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return;
            }
            continue;
        }
        wait_while(state);
    }
}

inline void RwLock::wake_all() noexcept {
    // The last reader is out; sleepers (writers, or readers that queued behind a writer
    // that has since left) retry and mark the word again if they still have to wait.
    state_.fetch_and(~kWaiting, std::memory_order_relaxed);
    state_.notify_all();
}

} // namespace quorvex::fs
