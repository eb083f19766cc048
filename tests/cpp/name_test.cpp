#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fs/name.hpp"
#include "fs/name_arena.hpp"

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

TEST(NameArenaTest, NamesOutliveTheirArenaAndGoInAnyOrder) {
    // Enough names for several chunks, short and long, destroyed in a shuffled order after
    // the arena that made them is gone; a sanitizer build checks every chunk is freed once.
    std::mt19937 random(7);
    std::vector<std::string> reference;
    std::vector<NameArena::Owned> names;
    {
        NameArena arena;
        for (int i = 0; i < 100; ++i) {
            reference.push_back(random_text(random));
            names.push_back(arena.make(reference.back()));
        }
        names.erase(names.begin() + 10, names.begin() + 40);
        reference.erase(reference.begin() + 10, reference.begin() + 40);
    }
    std::vector<std::size_t> order(names.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), random);
    for (const std::size_t i : order) {
        EXPECT_EQ(names[i]->view(), reference[i]);
        names[i].reset();
    }
}

} // namespace
} // namespace quorvex::fs
