#include <functional>
#include <random>
#include <string_view>

#include <gtest/gtest.h>

#include "fs/function_ref.hpp"

namespace quorvex::fs {
namespace {

TEST(FunctionRefTest, CallsTheReferencedCallableLikeStdFunction) {
    int calls = 0;
    auto counter = [&calls](int x, int y) { return ++calls * 1000 + x * y; };
    const FunctionRef<int(int, int)> ref(counter);
    const std::function<int(int, int)> reference = [&calls](int x, int y) {
        return calls * 1000 + x * y; // calls was already counted by the ref
    };
    std::mt19937 random(3);
    for (int step = 0; step < 1000; ++step) {
        const int x = static_cast<int>(random() % 100);
        const int y = static_cast<int>(random() % 100);
        const int got = ref(x, y);
        ASSERT_EQ(got, reference(x, y));
    }
    EXPECT_EQ(calls, 1000); // the callable itself was called, never a copy of it

    // A callable whose result converts, and a plain function.
    const FunctionRef<long(std::string_view)> length([](std::string_view s) { return s.size(); });
    EXPECT_EQ(length("four"), 4);
    int (*twice)(int) = [](int v) { return 2 * v; };
    EXPECT_EQ(FunctionRef<int(int)>(twice)(21), 42);
}

} // namespace
} // namespace quorvex::fs
