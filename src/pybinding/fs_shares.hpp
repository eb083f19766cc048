// The shares of a PyFs's file system that the handles opened on it keep.
//
// An open handle keeps its file system alive (it renders it, and looks its file up again
// there) with a std::shared_ptr, so every open and every close counts that share's count up
// and down. On the free-threaded build, threads that open files at once would all write
// that one count, and its cache line would move between their cores on every call. There
// the handles take their share from one of a few lanes instead: each lane is a
// std::shared_ptr of its own, with its own count on a cache line of its own, and holds one
// share of the file system for as long as the lane or any handle made from it lives. A
// thread always uses the same lane, and threads that start one after another use different
// ones. With the interpreter lock only one thread runs at a time, so the file system's own
// share serves every handle.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include "fs/file_system.hpp"

namespace quorvex::py {

#if defined(Py_GIL_DISABLED) && !defined(Py_LIMITED_API)

class FsShares {
  public:
    explicit FsShares(std::shared_ptr<fs::FileSystem> fs) noexcept : fs_(std::move(fs)) {}
    FsShares(const FsShares &) = delete;
    FsShares &operator=(const FsShares &) = delete;
    // A handle still open keeps its lane's count, and through it the file system.
    ~FsShares() {
        for (std::atomic<Lane *> &lane : lanes_)
            delete lane.load(std::memory_order_acquire);
    }

    [[nodiscard]] fs::FileSystem &get() const noexcept { return *fs_; }
    [[nodiscard]] const std::shared_ptr<fs::FileSystem> &owner() const noexcept { return fs_; }

    // The share a handle opened on the calling thread copies: the thread's lane, made on
    // its first use; the file system's own share when there is no memory for one.
    [[nodiscard]] const std::shared_ptr<fs::FileSystem> &for_handle() const noexcept {
        // Thread states are numbered in the order they are made, so threads that run side
        // by side have different numbers. The caller is attached, so it has a state.
        std::atomic<Lane *> &slot = lanes_[PyThreadState_GetUnchecked()->id % kLanes];
        if (const Lane *lane = slot.load(std::memory_order_acquire)) return lane->share;
        return make_lane(slot);
    }

  private:
    static constexpr std::size_t kLanes = 8;
    static constexpr std::size_t kLine = 64;

    // Memory on cache lines of its own, for a lane's count.
    template <class T> struct LineAllocator {
        using value_type = T;
        LineAllocator() noexcept = default;
        template <class U>
        LineAllocator(const LineAllocator<U> &) noexcept {} // NOLINT: rebinding converts
        static std::size_t bytes(std::size_t n) noexcept {
            return (n * sizeof(T) + kLine - 1) / kLine * kLine;
        }
        T *allocate(std::size_t n) {
            return static_cast<T *>(::operator new(bytes(n), std::align_val_t{kLine}));
        }
        void deallocate(T *memory, std::size_t n) noexcept {
            ::operator delete(memory, bytes(n), std::align_val_t{kLine});
        }
        friend bool operator==(LineAllocator, LineAllocator) noexcept { return true; }
    };

    // A lane's deleter holds the file system's share it stands for, given up with the
    // lane's last share.
    struct KeepAlive {
        std::shared_ptr<fs::FileSystem> fs;
        void operator()(fs::FileSystem *) const noexcept {}
    };

    // Read by every open of its thread: alone on its lines, so no write elsewhere moves it.
    struct alignas(kLine) Lane {
        std::shared_ptr<fs::FileSystem> share;
    };

    [[gnu::noinline]] const std::shared_ptr<fs::FileSystem> &
    make_lane(std::atomic<Lane *> &slot) const noexcept {
        try {
            auto made = std::make_unique<Lane>(Lane{
                std::shared_ptr<fs::FileSystem>(fs_.get(), KeepAlive{fs_}, LineAllocator<char>())});
            Lane *expected = nullptr;
            if (slot.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
                return made.release()->share;
            }
            return expected->share; // another thread of this lane made it first
        } catch (const std::bad_alloc &) {
            return fs_;
        }
    }

    std::shared_ptr<fs::FileSystem> fs_;
    mutable std::atomic<Lane *> lanes_[kLanes] = {};
};

#else

class FsShares {
  public:
    explicit FsShares(std::shared_ptr<fs::FileSystem> fs) noexcept : fs_(std::move(fs)) {}
    FsShares(const FsShares &) = delete;
    FsShares &operator=(const FsShares &) = delete;

    [[nodiscard]] fs::FileSystem &get() const noexcept { return *fs_; }
    [[nodiscard]] const std::shared_ptr<fs::FileSystem> &owner() const noexcept { return fs_; }
    [[nodiscard]] const std::shared_ptr<fs::FileSystem> &for_handle() const noexcept { return fs_; }

  private:
    std::shared_ptr<fs::FileSystem> fs_;
};

#endif

} // namespace quorvex::py
