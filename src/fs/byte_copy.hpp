// The copy of a file's bytes into or out of a caller's buffer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorvex::fs {

namespace detail {

inline constexpr std::uintptr_t kPage = 4096;

inline std::uintptr_t address_of(const std::uint8_t *byte) noexcept {
    return reinterpret_cast<std::uintptr_t>(byte);
}

// How far the address `to` lies past `from`, modulo the page.
inline std::uintptr_t page_distance(std::uintptr_t to, std::uintptr_t from) noexcept {
    return (to - from) % kPage;
}

// Copies through a block on the stack placed half a page past the source, so that the
// copy in and the copy out both have their ends far apart modulo the page.
inline void copy_through_scratch(std::uint8_t *to, const std::uint8_t *from,
                                 std::size_t count) noexcept {
    constexpr std::size_t kChunk = 8192; // a multiple of the page, so every chunk keeps the placing
    alignas(64) std::uint8_t scratch[kChunk + kPage];
    std::uint8_t *block = scratch + page_distance(address_of(from) + kPage / 2,
                                                  reinterpret_cast<std::uintptr_t>(scratch));
    for (std::size_t done = 0; done < count; done += kChunk) {
        const std::size_t size = std::min(kChunk, count - done);
        std::memcpy(block, from + done, size);
        std::memcpy(to + done, block, size);
    }
}

} // namespace detail

// std::memcpy for buffers that do not overlap, without its worst case. For a large block
// glibc's memcpy uses `rep movsb`, which x86 processors such as AMD's Zen run about twenty
// times slower when the destination lies 1 to 31 bytes past the source modulo the 4 KiB
// page (1 MiB in about 520 us instead of 25): every load seems to wait on a store just
// made. Such pairs are common: malloc puts a block allocated right after a file's contents
// (a power of two plus its 16-byte header) 16 bytes further into the page. Those pairs go
// through a scratch block instead (1 MiB in about 32 us); every other pair, and a copy of
// at most 256 bytes (which memcpy loads whole before it stores), goes to memcpy.
inline void copy_bytes(std::uint8_t *to, const std::uint8_t *from, std::size_t count) noexcept {
    constexpr std::uintptr_t kAliasing = 32;
    constexpr std::size_t kLoadsFirst = 256;
    const std::uintptr_t ahead =
        detail::page_distance(detail::address_of(to), detail::address_of(from));
    if (count > kLoadsFirst && ahead != 0 && ahead < kAliasing) {
        detail::copy_through_scratch(to, from, count);
    } else if (count > 0) {
        std::memcpy(to, from, count);
    }
}

} // namespace quorvex::fs
