// The locking rule of the file system, and the debug checks that hold code to it.
//
// Four kinds of lock exist, and this is the whole of how they may be combined:
//
// 1. Node locks (INode::lock, a NodeLock). A thread holds at most one node lock at a time,
//    shared or exclusive, and never the same one twice (the lock prefers writers, so even
//    a second shared hold can deadlock). Work that involves two nodes (an unlink, a
//    creation, a removal's two phases) takes their locks one after the other, never one
//    inside the other. With one lock at a time there is no order to get wrong.
// 2. Shard locks (the inode table's, a ShardLock) are leaves: one is held only for the map
//    operation itself, nothing else is locked or called while it is held, and a node
//    released by the table is destroyed after the shard lock is let go. A shard lock may
//    be taken while a node lock is held (resolving a link inside a directory does).
// 3. File locks (FileLock, the per-file word of open handles and removal) never wait:
//    every operation on one is a try that fails with an error instead of blocking.
// 4. The binding's mutexes (py::Locked) are try-only as well: every caller already holds
//    the interpreter lock, so finding one taken can only mean re-entry on the same thread,
//    which is reported as an internal failure rather than deadlocking.
//
// Callbacks. FileSystem::ls_each and FileHandle::read_with call the caller's code while a
// node lock is held (the directory's or the file's, shared). Such a callback
//   - must not call into the file system or a file handle, not even a lookup, and must
//     not take any lock of its own or a binding mutex, since either could nest a second
//     node lock or wait while one is held;
//   - must not run arbitrary Python code, release the interpreter lock, or do anything
//     that can start the cyclic garbage collector (creating a GC-tracked object does),
//     because a finaliser run from there may reach the file system;
//   - may allocate memory, throw std::bad_alloc, and build Python objects that are not
//     GC-tracked (str, bytes) and append them to a list it owns: the interpreter lock is
//     already held, so this takes no lock that file system code could also be waiting for;
//   - should return false to stop early when it cannot go on (for read_with: when it
//     could not take the bytes).
//
// Debug builds (without NDEBUG) count per thread the node and shard locks held and the
// callbacks running, and assert on a second node lock, on a lock taken under a shard
// lock, and on any file system lock (or binding mutex) taken inside a callback. Release
// builds compile the counting out; NodeLock and ShardLock are then a bare RwLock.
#pragma once

#include <cassert>
#include <cstdint>

#include "fs/rw_lock.hpp"

namespace quorvex::fs {
namespace locking {

#ifndef NDEBUG
struct HeldByThisThread {
    int node_locks = 0;
    int shard_locks = 0;
    int callbacks = 0;
};
inline thread_local HeldByThisThread held;
inline constexpr bool kChecked = true;
#else
inline constexpr bool kChecked = false;
#endif

// How many node locks this thread holds; always 0 in release builds.
[[nodiscard]] inline int node_locks_held() noexcept {
#ifndef NDEBUG
    return held.node_locks;
#else
    return 0;
#endif
}

// Whether this thread is inside a callback called under a node lock; false in release.
[[nodiscard]] inline bool in_callback() noexcept {
#ifndef NDEBUG
    return held.callbacks > 0;
#else
    return false;
#endif
}

// Marks the caller's code that runs under a node lock, for the duration of the scope.
class CallbackScope {
  public:
#ifndef NDEBUG
    CallbackScope() noexcept { ++held.callbacks; }
    ~CallbackScope() { --held.callbacks; }
#else
    // User-provided, so that a scope object counts as used where it does nothing.
    CallbackScope() noexcept {} // NOLINT(modernize-use-equals-default)
    ~CallbackScope() {}         // NOLINT(modernize-use-equals-default)
#endif
    CallbackScope(const CallbackScope &) = delete;
    CallbackScope &operator=(const CallbackScope &) = delete;
};

enum class Level : std::uint8_t { Node, Shard };

// An RwLock that, in debug builds, checks the rule above on every acquisition.
template <Level level> class OrderedRwLock {
  public:
    OrderedRwLock() noexcept = default;
    OrderedRwLock(const OrderedRwLock &) = delete;
    OrderedRwLock &operator=(const OrderedRwLock &) = delete;

    void lock() noexcept {
        check_may_acquire();
        lock_.lock();
        note_acquired();
    }
    bool try_lock() noexcept {
        check_may_acquire();
        return lock_.try_lock() && note_acquired();
    }
    void unlock() noexcept {
        note_released();
        lock_.unlock();
    }
    void lock_shared() noexcept {
        check_may_acquire();
        lock_.lock_shared();
        note_acquired();
    }
    bool try_lock_shared() noexcept {
        check_may_acquire();
        return lock_.try_lock_shared() && note_acquired();
    }
    void unlock_shared() noexcept {
        note_released();
        lock_.unlock_shared();
    }

  private:
    static void check_may_acquire() noexcept {
#ifndef NDEBUG
        assert(held.callbacks == 0 && "a callback under a node lock took a file system lock");
        assert(held.shard_locks == 0 && "a shard lock is a leaf: nothing is locked under it");
        if constexpr (level == Level::Node) {
            assert(held.node_locks == 0 && "a thread holds at most one node lock");
        }
#endif
    }
    static bool note_acquired() noexcept {
#ifndef NDEBUG
        ++(level == Level::Node ? held.node_locks : held.shard_locks);
#endif
        return true;
    }
    static void note_released() noexcept {
#ifndef NDEBUG
        --(level == Level::Node ? held.node_locks : held.shard_locks);
#endif
    }

    RwLock lock_;
};

} // namespace locking

using NodeLock = locking::OrderedRwLock<locking::Level::Node>;
using ShardLock = locking::OrderedRwLock<locking::Level::Shard>;

} // namespace quorvex::fs
