// A value behind a mutex that is poisoned when an internal failure escapes while held.
//
// Every per-object state of the binding that calls can change (a file handle, a
// terminal) lives in a Locked; a member that reaches such state does so only inside
// with(). What a `work` may do there is what a file system callback may do (fs/locking.hpp):
// it may take file system locks and build objects that are not GC-tracked (str, bytes),
// but must not run Python code, release the interpreter lock, or wait on any Python lock
// (on the free-threaded build a thread that waits there while another waits on a file
// system lock it holds could keep the collector from stopping the world).
#pragma once

#include <Python.h>

#include <atomic>
#include <cassert>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "fs/error.hpp"
#include "fs/locking.hpp"
#include "pybinding/errors.hpp"

namespace quorvex::py {

#ifdef Py_GIL_DISABLED
// A word that tells threads apart: the address of a thread-local object.
inline thread_local const char thread_tag = 0;
#endif

template <class T> class Locked {
  public:
    template <class... Args>
    explicit Locked(Args &&...args) noexcept(std::is_nothrow_constructible_v<T, Args...>)
        : value_(std::forward<Args>(args)...) {}

    // Runs `work(value)` with the mutex held and returns its result. An exception that
    // escapes `work` (other than an allocation failure, which leaves the value as it was)
    // poisons the lock: every later call throws InvariantViolation without running.
    // A call that re-enters on the thread that holds the mutex throws InvariantViolation
    // (without poisoning) rather than deadlocking.
    template <class Work> decltype(auto) with(Work &&work) {
        assert(!fs::locking::in_callback() && "a file system callback entered the binding");
        const Hold hold(*this);
        if (poisoned_) throw fs::InvariantViolation(message::kPoisoned);
        try {
            return std::forward<Work>(work)(value_);
        } catch (const std::bad_alloc &) {
            throw;
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

    // Direct access for the object's destruction, which does not take the lock: by then no
    // call can be using the object, since every call holds a reference to it.
    T &unguarded() noexcept { return value_; }

  private:
#ifdef Py_GIL_DISABLED
    // Calls on one object from several threads really run at once here, so a taken mutex
    // is waited for. PyMutex_Lock detaches the thread state while it waits, so a waiter
    // never holds up the collector's stop-the-world pause, which could otherwise wait
    // for ever on a holder that is itself blocked (on a file system lock, for one) until
    // the waiter moves on. The owner is noted so that re-entry is still reported: only
    // the owning thread ever stores its own tag there, so finding it means re-entry.
    struct Hold {
        Locked &locked;
        explicit Hold(Locked &target) : locked(target) {
            const std::uintptr_t self = this_thread_tag();
            if (locked.owner_.load(std::memory_order_relaxed) == self) {
                throw fs::InvariantViolation(message::kReentered);
            }
            PyMutex_Lock(&locked.mutex_);
            locked.owner_.store(self, std::memory_order_relaxed);
        }
        ~Hold() {
            locked.owner_.store(0, std::memory_order_relaxed);
            PyMutex_Unlock(&locked.mutex_);
        }
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;
    };

    static std::uintptr_t this_thread_tag() noexcept {
        return reinterpret_cast<std::uintptr_t>(&thread_tag);
    }

    PyMutex mutex_{};
    std::atomic<std::uintptr_t> owner_{0};
#else
    // Every caller holds the interpreter lock for the whole of with(), and no `work`
    // releases it, so the mutex can only be found taken if a call re-entered on the same
    // thread; that is reported at once, so nobody ever waits and a flag is all it needs.
    struct Hold {
        std::atomic<bool> &held;
        explicit Hold(Locked &target) : held(target.held_) {
            if (held.exchange(true, std::memory_order_acquire)) {
                throw fs::InvariantViolation(message::kReentered);
            }
        }
        ~Hold() { held.store(false, std::memory_order_release); }
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;
    };

    std::atomic<bool> held_{false};
#endif
    // Read and written only with the mutex held.
    bool poisoned_ = false;
    T value_;
};

} // namespace quorvex::py
