#include <string>

#include "fs/error.hpp"
#include "fs/inode.hpp"
#include "fs/test_hooks.hpp"

namespace quorvex::fs {

bool FileLock::try_acquire_shared() noexcept {
    std::int64_t current = flag_.load();
    if constexpr (planted::kReaderBesideWriter) {
        if (current == kWriteExclusive) return true;
    }
    while (current >= kFree) {
        if (flag_.compare_exchange_weak(current, current + 1)) return true;
    }
    return false;
}

bool FileLock::try_claim(std::int64_t state) noexcept {
    std::int64_t expected = kFree;
    // A weak exchange may fail spuriously while the word is still free: only then retry.
    while (!flag_.compare_exchange_weak(expected, state)) {
        if (expected != kFree) return false;
    }
    return true;
}

void FileLock::release_shared() {
    std::int64_t current = flag_.load();
    do {
        if (current <= kFree) {
            throw InvariantViolation("file lock released by a reader while in state " +
                                     std::to_string(current));
        }
    } while (!flag_.compare_exchange_weak(current, current - 1));
}

void FileLock::release_exclusive() {
    const std::int64_t current = flag_.load(std::memory_order_acquire);
    if (current != kWriteExclusive) {
        throw InvariantViolation("file lock released by a writer while in state " +
                                 std::to_string(current));
    }
    flag_.store(kFree, std::memory_order_release);
}

} // namespace quorvex::fs
