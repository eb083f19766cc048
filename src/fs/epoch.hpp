// Epoch-based reclamation, and the rules that let a path lookup run without locks.
//
// A lookup runs inside a Guard, which announces the thread as active in the current epoch
// (an exchange on the thread's own record and a full fence: no shared cache line is
// written). Memory unlinked from everything a lookup could start from is handed to
// retire(), which queues it with the epoch current at that moment (read after a full
// fence); a queue is freed once every thread inside a Guard has announced an epoch at
// least two past it (the global epoch moves on only when every active thread has
// announced the current one), or at once when a census after a full fence finds no thread
// inside a Guard at all.
//
// Lookups without locks (FileSystem::walk_unlocked, ChildList::probe) rely on these rules:
//
//  1. Reachability. Such a lookup starts at the root, which the file system keeps a share
//     of for its whole life, and moves only along child-list entries and back up the
//     chain it came down. It never uses the inode table.
//  2. Lifetime. A node is freed only through retire() (INodeRef::reset hands the node to
//     it when the last share goes), and a child list's heap block only through retire()
//     once a larger block replaced it. So a node or block read inside a Guard, which was
//     reachable at some moment after the Guard opened, stays allocated until it closes.
//     A node's last share goes only after it has left its directory's list.
//  3. Atomic words. Every word of a child list (entries, count, the spill bookkeeping) is
//     a std::atomic, written with release order by the list's owner under the
//     directory's exclusive lock and read with acquire order by lookups; a node's id,
//     parent, depth, name and the alternative its kind holds never change once the node
//     is published, and `released` is atomic. A lookup therefore reads only immutable
//     fields or atomics, and nothing it reads is a data race.
//  4. Validation. Every change of a directory's list is bracketed by ListChange, which
//     makes the directory's `version` odd for its duration. A lookup reads the version
//     first and trusts its answer (found, or missing) only when the version is even and
//     unchanged after its last read of the list, so the answer is that of one unchanged
//     state of the list, exactly what a scan under the shared lock would give.
//  5. Words that change role. When a list moves to the heap, its inline words become
//     bookkeeping, each tagged with the low bit, which no node's address has; a lookup
//     that meets a tagged word, a link or an entry that left the table gives up and the
//     caller asks again under the locks, which settle those cases as they always did.
//  6. Pinning a result. A lookup that must return a share of the node it reached takes
//     one with INodeRef::try_share, which refuses a node whose count already fell to zero,
//     so a node on its way to retire() is never brought back.
//
// Lookups that give up fall back to the locked walk, so every answer, error and lock of
// the locked code is kept; the locks and file locks of writers are untouched.
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
[[gnu::visibility("hidden")]] extern constinit thread_local Local local;
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
    Guard() : local_(&detail::local) {
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

// Whether the calling thread is inside a Guard.
[[nodiscard]] inline bool active() noexcept { return detail::local.nesting != 0; }

} // namespace quorvex::fs::epoch
