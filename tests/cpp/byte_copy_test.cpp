#include <cstddef>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "fs/byte_copy.hpp"

namespace quorvex::fs {
namespace {

// Every distance modulo the page that takes the downward copy, its edges, and sizes around
// the block and around the small copies memcpy keeps: the destination must hold exactly the
// source, and the bytes on either side of it must stay as they were.
TEST(CopyBytes, CopiesExactlyAtEveryDistanceAndSize) {
    constexpr std::size_t kPage = 4096;
    constexpr std::uint8_t kUntouched = 0xEE;
    const std::size_t distances[] = {0, 1, 7, 16, 31, 32, 33, kPage - 16, kPage - 1};
    const std::size_t counts[] = {0, 1, 63, 64, 65, 256, 257, 1000, kPage + 17, 3 * kPage};
    std::vector<std::uint8_t> source(3 * kPage + 64);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<std::uint8_t>(i * 7 + 3);
    for (const std::size_t distance : distances) {
        for (const std::size_t count : counts) {
            std::vector<std::uint8_t> target(kPage + count + 2 * kPage, kUntouched);
            // Places the destination `distance` bytes past the source modulo the page.
            const auto from = reinterpret_cast<std::uintptr_t>(source.data() + 8);
            const auto base = reinterpret_cast<std::uintptr_t>(target.data());
            const std::size_t at = (from + distance - base) % kPage + kPage; // a page of margin
            copy_bytes(target.data() + at, source.data() + 8, count);
            SCOPED_TRACE(testing::Message() << "distance " << distance << ", count " << count);
            ASSERT_EQ(
                std::vector<std::uint8_t>(target.begin() + static_cast<std::ptrdiff_t>(at),
                                          target.begin() + static_cast<std::ptrdiff_t>(at + count)),
                std::vector<std::uint8_t>(source.begin() + 8,
                                          source.begin() + 8 + static_cast<std::ptrdiff_t>(count)));
            ASSERT_EQ(target[at - 1], kUntouched);
            ASSERT_EQ(target[at + count], kUntouched);
        }
    }
}

} // namespace
} // namespace quorvex::fs
