// The time that nodes are stamped with: nanoseconds since the Unix epoch.
#pragma once

#include <cstdint>
#include <ctime>

namespace quorvex::fs {

// The real-time clock as of the last timer tick, as Linux's tmpfs stamps its files: about
// a third of the cost of the exact clock, at the tick's resolution (a few milliseconds).
// Elsewhere the exact real-time clock stands in.
[[nodiscard]] inline std::int64_t now_ns() noexcept {
#if defined(CLOCK_REALTIME_COARSE)
    constexpr clockid_t kClock = CLOCK_REALTIME_COARSE;
#else
    constexpr clockid_t kClock = CLOCK_REALTIME;
#endif
    timespec now{};
    clock_gettime(kClock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

} // namespace quorvex::fs
