// Lanes: a few copies of a shared counter or free list, one per group of threads, so that
// threads running side by side write different cache lines.
//
// Each thread is given a lane on its first use, in the order threads come: threads that
// start one after another (and so mostly run together) take different lanes. Which lane a
// thread has never matters for correctness, only for how often its cache lines move.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvex::fs {

inline constexpr std::size_t kLanes = 8;
// The size of a cache line, which no two lanes share.
inline constexpr std::size_t kLaneAlign = 64;

namespace detail {
// The calling thread's lane plus one; 0 until its first use. Read on every creation, so
// it lives in the static TLS block: one load from the thread pointer, where the dynamic
// model would call __tls_get_addr. Four bytes fit the room the C library keeps there for
// modules loaded later.
[[gnu::visibility("hidden"),
  gnu::tls_model("initial-exec")]] extern constinit thread_local std::uint32_t lane_plus_one;
[[gnu::noinline]] std::uint32_t assign_lane() noexcept;
} // namespace detail

// The calling thread's lane, below kLanes.
[[nodiscard]] inline std::size_t thread_lane() noexcept {
    const std::uint32_t lane = detail::lane_plus_one;
    return (lane != 0 ? lane : detail::assign_lane()) - 1;
}

} // namespace quorvex::fs
