#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fs/name.hpp"

namespace quorvex::fs {
namespace {

std::string random_text(std::mt19937 &random) {
    // Lengths around the inline limit, bytes of every value.
    std::string text(random() % (2 * Name::kInline + 2), '\0');
    for (char &c : text)
        c = static_cast<char>(random());
    return text;
}

TEST(NameTest, RandomMovesAgreeWithStdString) {
    std::mt19937 random(5);
    std::vector<Name> names(16);
    std::vector<std::string> reference(16);
    for (int step = 0; step < 20'000; ++step) {
        const std::size_t a = random() % names.size();
        const std::size_t b = random() % names.size();
        switch (random() % 4) {
        case 0: {
            std::string text = random_text(random);
            names[a] = Name(text);
            reference[a] = std::move(text);
            break;
        }
        case 1: // move-assign, self-moves included
            names[a] = std::move(names[b]);
            if (a != b) reference[a] = std::exchange(reference[b], std::string());
            break;
        case 2: {
            Name taken(std::move(names[a]));
            names[a] = std::move(names[b]);
            names[b] = std::move(taken);
            std::swap(reference[a], reference[b]);
            break;
        }
        default:
            ASSERT_EQ(names[a].view(), reference[a]);
            ASSERT_EQ(names[a].size(), reference[a].size());
        }
    }
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(names[i].view(), reference[i]);
}

} // namespace
} // namespace quorvex::fs
