// The locking rule of the file system, and the debug checks that hold code to it.
//
// Six kinds of lock exist, and this is the whole of how they may be combined:
//
// 1. Node locks (INode::lock, a NodeLock). A thread holds at most one node lock at a time,
//    shared or exclusive, and never the same one twice (the lock prefers writers, so even
//    a second shared hold can deadlock). Work that involves two nodes (an unlink, a
//    creation, a removal's two phases) takes their locks one after the other, never one
//    inside the other. The one exception is a rename, rule 6.
// 2. Shard locks (the inode table's, a ShardLock) are leaves: one is held only for the map
//    operation itself, nothing else is locked or called while it is held, and a node
//    released by the table is destroyed after the shard lock is let go. A shard lock may
//    be taken while a node lock is held (resolving a link inside a directory does).
// 3. File locks (FileLock, the per-file word of open handles and removal) never wait:
//    every operation on one is a try that fails with an error instead of blocking.
// 4. The binding's per-object locks (py::Locked) are taken before any file system lock
//    and never under one. Where the interpreter lock serialises the calls they are
//    try-only: finding one taken can only mean re-entry on the same thread, which is
//    reported as an internal failure rather than deadlocking. On the free-threaded build
//    they are waited for (with the thread detached from the interpreter); re-entry on
//    the owning thread is still reported.
// 5. The node pool's locks (one per lane of a NodePool, each a bare RwLock) are leaves
//    too: one is held only to hand out one node's memory or take back that of one node
//    (or, in a file system's teardown, of a run of nodes from one block), and nothing is
//    called under it but the heap.
//    It may be taken under a node lock, since a node is destroyed wherever its last share
//    goes (a directory's list lets go of a child under the directory's exclusive lock),
//    but not under a shard lock (the table destroys nothing while locked), nor inside an
//    epoch guard, where nothing is destroyed.
// 6. The rename mutex (FileSystem::rename_mutex_, a RenameMutex), one per file system, is
//    taken only while the thread holds no node lock, and is held by every rename for its
//    whole length. Only its holder may hold more than one node lock: a rename locks the two
//    directories it moves between (the ancestor first when one lies above the other, else
//    the lower id first; one lock when they are the same), then, under them, the node it
//    replaces and, one at a time, the directories of a subtree whose depth it changes.
//    This cannot deadlock: at any moment at most one thread (the mutex's holder) holds or
//    waits for a second node lock, and every other holder of a node lock holds that one
//    alone and lets it go without waiting for anything but leaf locks (rules 2 and 5), so
//    each lock the rename waits for is freed. A creation that meets a directory whose
//    subtree a rename is moving lets the directory's lock go and takes the mutex (and
//    then the lock again) to wait for the rename, in the order this rule allows.
//    The mutex also freezes the tree's shape for its holder: only a rename changes a
//    node's parent, so the rename's check that a directory does not move into its own
//    subtree (walking up from the target directory) sees parents that cannot change.
//
// Beside the locks, path lookups may run without any (FileSystem::walk_unlocked,
// open_unlocked, ChildList::probe) inside an epoch guard (epoch::Guard, epoch.hpp). Such a
// lookup holds no lock, so it is no part of the counts below and may run under none, or
// while the thread holds a lock of its own. Inside a guard nothing is locked, waited for
// or called back: the guard only ever covers the walk and taking a share of its result.
// That is what keeps reclamation deadlock-free: epoch::retire() may be called under any
// lock (a child list retires its old block under its directory's exclusive lock, a node
// is retired wherever its last share goes), and the one way it can wait, for the guards
// open at the time to close when it cannot queue, ends because no guard waits for anything.
//
// A lookup without locks is memory-safe, and gives the answer a locked one would, by these
// rules, which every change of a directory's list and every node's lifetime keep:
//
//  a. Reachability. Such a lookup starts at the root, which the file system keeps a share
//     of for its whole life, and moves only along child-list entries and back up the
//     chain it came down. It never uses the inode table.
//  b. Lifetime. A node is freed only through epoch::retire() (INodeRef::reset hands the
//     node to it when the last share goes), but for the teardown below; so are a child list's heap
//     block once a larger block replaced it, a name index once dropped (a link entered its
//     directory) or replaced, an index's table once a rehash replaced it, and a name
//     that a rename replaced. So a node, block, index, table or name read inside a guard,
//     which was reachable at some moment after the guard opened, stays allocated until
//     the guard closes. A node's last share goes only
//     after it has left its directory's list. A node's memory, once freed, goes back to
//     its file system's pool (node_pool.hpp) for the next node: reuse only ever follows
//     freeing, so it is as safe as the heap's.
//     Teardown: a file system's destructor frees at once each node whose last share it
//     gives up itself (its table's and its root's shares, then those held by the lists of
//     the nodes it frees so). No lookup can be reading such a node: a lookup without locks
//     runs only inside a call on a live file system, whose caller keeps it alive, and moves
//     only along the lists of that file system's nodes (a node is listed only by a
//     directory of the file system that made it); so once a file system's destructor runs
//     no guard, open or opened later, can reach any of its nodes. A node that something
//     else still shares (an INodeRef kept beyond its file system) is left alone with its
//     list, and goes through retire() as ever when its last share goes, on whatever thread.
//  c. Atomic words. Every word of a child list (entries, count, the spill bookkeeping)
//     and of its name index (each slot, and the pointer to its table) is a std::atomic,
//     written with release order by the list's owner under the directory's exclusive
//     lock and read with acquire order by lookups. An index's table begins with its own
//     size, written before the table is published and never changed, so a lookup stays
//     inside the table it loaded. A node's id, the bytes of the name it was made with and
//     the alternative its kind holds never change once the node is published; its parent,
//     its depth, `probe_tag` (the name's length or kind, and whether the node left the
//     table) and the pointer to a name given by a rename (an immutable object) are atomic.
//     A lookup therefore reads only immutable bytes or atomics, and nothing it reads is a
//     data race. The path it compares is the caller's own memory, read only within
//     [at, end): a name's bytes are compared only once the path is known to hold that
//     many, and the byte after them only when it is there.
//  d. Validation. Every change of a directory's list, and every change of the name of an
//     entry it lists, is bracketed by ListChange, under the directory's exclusive lock,
//     which makes the directory's `version` odd for its duration. A lookup reads the
//     version first and trusts its answer (found, or missing) only when the version is
//     even and unchanged after its last read of the list, so the answer is that of one
//     unchanged state of the list and of its entries' names, exactly what a scan under the
//     shared lock would give. A rename changes a node's name only while it is listed by no
//     directory or by directories whose changes are open; a lookup that read the old
//     bytes, or the old tag, sees the version move and gives up.
//  e. Reading the index. A lookup in an indexed directory reads the heap block, the
//     index and the count, and checks the version before it reads the block at any
//     position the index gives; a position at or past that count, a hole or a tagged
//     word there means the index is being changed, and the lookup gives up. It goes
//     round the index's table at most once, so a table caught in the middle of a change
//     (a gap being closed, entries moving) cannot keep it going for ever. Validated as in
//     d, its answer is the locked one: the entry the index holds under the name, or
//     missing when the name's run ends first; an entry found there that left the table
//     is settled under the locks.
//  f. Words that change role. When a list moves to the heap, its inline words become
//     bookkeeping, each tagged with the low bit, which no node's address has, the first
//     word before the others. A lookup scans the inline words whenever the count fits
//     them, so in a list that moved it meets a tagged first word (and only then reads the
//     heap block), or reads no word at all when the count is zero, an empty list either
//     way. A lookup that meets a tagged word elsewhere, a link or an entry that left the
//     table gives up and the caller asks again under the locks, which settle those cases
//     as they always did.
//  g. Pinning a result. A lookup that must return a share of the node it reached takes
//     one with INodeRef::try_share, which refuses a node whose count already fell to zero,
//     so a node on its way to retire() is never brought back.
//  h. Moves. A rename moves a node from one list to another under both directories'
//     exclusive locks, inside a ListChange of each, so every validated answer in either
//     directory sees the node in exactly one place, under one name: never under two,
//     and never missing from a name it held throughout (a replaced entry and the entry
//     that replaces it change places in one change of the list). A walk takes one step
//     at a time, each answered as in d, as the locked walk does; a rename elsewhere on the
//     way (of a directory already passed) changes no step's answer. For "..", the walk
//     goes back to the node it came from only if that node is still the current node's
//     parent (the parent is read atomically, and ids are never reused); otherwise the
//     locked walk answers. The walk counts its own steps down, never trusting a node's
//     depth, which a rename may change while the walk is inside the subtree; a walk that
//     has gone down as many steps as the depth limit lets the locked walk go on.
//
// Lookups that give up fall back to the locked walk (FileSystem::walk_locked), which takes
// one node lock at a time as rule 1 says: the next node is pinned under the current one's
// shared lock, which is then let go before the next one is locked.
//
// Callbacks. FileSystem::ls_each and FileHandle::read_with call the caller's code while a
// node lock is held (the directory's or the file's, shared). Such a callback
//   - must not call into the file system or a file handle, not even a lookup, and must
//     not take any lock of its own or a binding lock, since either could nest a second
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
// callbacks running, and note whether the thread holds a rename mutex; they assert on a
// second node lock outside a rename, on the rename mutex taken under any node lock, on a
// lock taken under a shard lock, on any lock taken inside an epoch guard, and on any file
// system lock (or binding lock) taken inside a callback. Release builds compile the
// counting out; NodeLock and ShardLock are then a bare RwLock, and RenameMutex one held
// exclusively.
#pragma once

#include <cassert>
#include <cstdint>

#include "fs/epoch.hpp"
#include "fs/rw_lock.hpp"

namespace quorvex::fs {
namespace locking {

#ifndef NDEBUG
struct HeldByThisThread {
    int node_locks = 0;
    int shard_locks = 0;
    int callbacks = 0;
    bool renaming = false;
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
        assert(!epoch::active() && "nothing is locked inside an epoch guard");
        if constexpr (level == Level::Node) {
            assert((held.node_locks == 0 || held.renaming) &&
                   "a thread holds at most one node lock, but for a rename");
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

// The file system's rename mutex (rule 6), checked in debug builds.
class RenameMutex {
  public:
    RenameMutex() noexcept = default;
    RenameMutex(const RenameMutex &) = delete;
    RenameMutex &operator=(const RenameMutex &) = delete;

    void lock() {
#ifndef NDEBUG
        assert(held.callbacks == 0 && "a callback under a node lock took a file system lock");
        assert(held.shard_locks == 0 && "a shard lock is a leaf: nothing is locked under it");
        assert(!epoch::active() && "nothing is locked inside an epoch guard");
        assert(held.node_locks == 0 && "the rename mutex is taken under no node lock");
        assert(!held.renaming && "the rename mutex is taken once");
#endif
        mutex_.lock();
#ifndef NDEBUG
        held.renaming = true;
#endif
    }
    void unlock() noexcept {
#ifndef NDEBUG
        assert(held.node_locks == 0 && "a rename lets its node locks go first");
        held.renaming = false;
#endif
        mutex_.unlock();
    }

  private:
    // Only ever held exclusively: a lock word that takes and lets go in one atomic step
    // each when nobody waits, where a std::mutex costs two library calls.
    RwLock mutex_;
};

} // namespace locking

using RenameMutex = locking::RenameMutex;
using NodeLock = locking::OrderedRwLock<locking::Level::Node>;
using ShardLock = locking::OrderedRwLock<locking::Level::Shard>;

} // namespace quorvex::fs
