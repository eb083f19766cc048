// Epoch-based reclamation, for the path lookups that run without locks.
//
// A lookup runs inside a Guard, which announces the thread as active in the current epoch
// (an exchange on the thread's own record and a full fence: no shared cache line is
// written). Memory unlinked from everything a lookup could start from is handed to
// retire(), which queues it with the epoch current at that moment (read after a full
// fence); a queue is freed once every thread inside a Guard has announced an epoch at
// least two past it (the global epoch moves on only when every active thread has
// announced the current one), or at once when a census after a full fence finds no thread
// inside a Guard at all. A retirement takes such a census unless its thread has lately
// found other threads' lookups running beside its own (epoch.cpp says when): then only
// every so many do, and the others wait in the queue for the next census or epoch.
//
// The rules that make lookups without locks (FileSystem::walk_unlocked, ChildList::probe)
// safe, and the one this file itself relies on (nothing is locked or waited for inside a
// Guard, so retire() may be called under any lock), are written with the locking rule of
// the whole file system, in locking.hpp.
#pragma once

#include <atomic>
#include <cstdint>

namespace quorvex::fs::epoch {

#if defined(__SANITIZE_THREAD__)
#define QUORVEX_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUORVEX_TSAN 1
#endif
#endif

// A full fence. ThreadSanitizer models no fences (and GCC refuses them under it), so
// there a locked read-modify-write of a word of its own stands in: it orders the same on
// the hardware the sanitizer runs on, at the price of a write that only such builds pay.
inline void full_fence() noexcept {
#if defined(QUORVEX_TSAN)
    static std::atomic<int> word{0};
    word.fetch_add(0, std::memory_order_seq_cst);
#else
    std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}

namespace detail {
// The calling thread's announcement word and how deeply its Guards nest.
struct Local {
    std::atomic<std::uint64_t> *state;
    unsigned nesting;
};
// Read by every Guard, so it lives in the static TLS block, as the thread's lane does
// (thread_lane.hpp): one load from the thread pointer instead of a call to
// __tls_get_addr.
[[gnu::visibility("hidden"),
  gnu::tls_model("initial-exec")]] extern constinit thread_local Local local;
[[gnu::visibility("hidden")]] extern constinit std::atomic<std::uint64_t> global_epoch;
// A record's state: the announced epoch shifted left by one, and this bit while active.
inline constexpr std::uint64_t kActive = 1;
// Gives the calling thread its record, on its first Guard.
void enroll();
} // namespace detail

// Marks the calling thread as reading shared memory without locks until destroyed. Guards
// nest; only the outermost one announces and withdraws.
class Guard {
  public:
    Guard() : local_(own_local()) {
        detail::Local &local = *local_;
        if (local.nesting++ != 0) return;
        if (!local.state) enroll_or_undo();
        // An exchange, not a store, so that this announcement carries on the release
        // order of the previous withdrawal for a reclaimer that reads it.
        local.state->exchange((detail::global_epoch.load(std::memory_order_relaxed) << 1) |
                                  detail::kActive,
                              std::memory_order_relaxed);
#if !defined(QUORVEX_TSAN)
        // Under ThreadSanitizer the locked exchange above is the fence already.
        full_fence();
#endif
    }
    ~Guard() {
        if (--local_->nesting == 0) local_->state->store(0, std::memory_order_release);
    }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

  private:
    // The thread's own, looked up once: a guard never moves between threads.
    detail::Local *local_;

    static detail::Local *own_local() noexcept { return &detail::local; }

    static void enroll_or_undo() {
        try {
            detail::enroll();
        } catch (...) {
            --detail::local.nesting;
            throw;
        }
    }
};

// Frees `object` with `destroy(object)` once no Guard that might have found it is left.
// The object must already be unreachable for any new lookup. Never throws: without memory
// to queue it, the call waits for the Guards open right now to close and frees it at once
// (or, inside a Guard of the calling thread, leaves it unfreed).
void retire(void *object, void (*destroy)(void *) noexcept) noexcept;

// Frees what the calling thread has queued and no open Guard can still reach: all of it
// when no thread is inside a Guard, as at a test's point of rest.
void collect() noexcept;

// Whether the calling thread is inside a Guard.
[[nodiscard]] inline bool active() noexcept { return detail::local.nesting != 0; }

} // namespace quorvex::fs::epoch
