// A value behind a mutex that is poisoned when an internal failure escapes while held.
#pragma once

#include <atomic>
#include <cassert>
#include <new>
#include <type_traits>
#include <utility>

#include "fs/error.hpp"
#include "fs/locking.hpp"
#include "pybinding/errors.hpp"

namespace quorvex::py {

template <class T> class Locked {
  public:
    template <class... Args>
    explicit Locked(Args &&...args) noexcept(std::is_nothrow_constructible_v<T, Args...>)
        : value_(std::forward<Args>(args)...) {}

    // Runs `work(value)` with the mutex held and returns its result. An exception that
    // escapes `work` (other than an allocation failure, which leaves the value as it was)
    // poisons the lock: every later call throws InvariantViolation without running.
    //
    // Every caller holds the interpreter lock for the whole call and never releases it,
    // so the mutex can only be found taken if a call re-entered on the same thread; that
    // is reported rather than deadlocking.
    template <class Work> decltype(auto) with(Work &&work) {
        assert(!fs::locking::in_callback() && "a file system callback entered the binding");
        if (held_.exchange(true, std::memory_order_acquire)) {
            throw fs::InvariantViolation(message::kReentered);
        }
        const Release release{held_};
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

    // Direct access for the object's destruction, which does not take the lock.
    T &unguarded() noexcept { return value_; }

  private:
    // Nobody ever waits for the lock (a taken one is reported at once), so a flag is all
    // it needs.
    struct Release {
        std::atomic<bool> &held;
        ~Release() { held.store(false, std::memory_order_release); }
    };

    std::atomic<bool> held_{false};
    bool poisoned_ = false;
    T value_;
};

} // namespace quorvex::py
