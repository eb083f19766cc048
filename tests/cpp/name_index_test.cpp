#include <cstdlib>
#include <map>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "fs/name_index.hpp"

// An allocator for this test binary that can be told to fail: while `refuse_allocations`
// is set, every array allocation on this thread throws std::bad_alloc.
namespace {
thread_local bool refuse_allocations = false;
}

void *operator new[](std::size_t size) {
    if (refuse_allocations) throw std::bad_alloc();
    if (void *block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void operator delete[](void *block) noexcept { std::free(block); }
void operator delete[](void *block, std::size_t) noexcept { std::free(block); }

namespace quorvex::fs {
namespace {

using Position = NameIndex::Position;

struct RefusedAllocations {
    RefusedAllocations() { refuse_allocations = true; }
    ~RefusedAllocations() { refuse_allocations = false; }
};

// The index with its names kept by position, as a child list keeps them.
class Indexed {
    [[nodiscard]] auto name_at() const {
        return [this](Position at) { return std::string_view(names[at]); };
    }

  public:
    void assign(Position at, const std::string &name) {
        if (names.size() <= at) names.resize(at + 1);
        index.assign(NameIndex::hash(name), at, name, name_at());
        names[at] = name;
    }
    [[nodiscard]] Position find(const std::string &name) const {
        return index.find(name, NameIndex::hash(name), name_at());
    }
    void erase(Position at) {
        index.erase(NameIndex::hash(names[at]), at);
        names[at].clear();
    }

    NameIndex index;
    std::vector<std::string> names;
};

TEST(NameIndexTest, RandomOperationsAgreeWithAnUnorderedMap) {
    Indexed indexed;
    std::unordered_map<std::string, Position> reference;
    std::mt19937 random(11);
    Position next = 0;
    for (int step = 0; step < 30'000; ++step) {
        const std::string name = "n" + std::to_string(random() % 700);
        const auto known = reference.find(name);
        switch (random() % 3) {
        case 0: // add, or move to a fresh position
            indexed.assign(next, name);
            if (known != reference.end()) indexed.names[known->second].clear();
            reference[name] = next++;
            break;
        case 1:
            if (known != reference.end()) {
                indexed.erase(known->second);
                reference.erase(known);
            }
            break;
        default:
            EXPECT_EQ(indexed.find(name),
                      known == reference.end() ? NameIndex::kAbsent : known->second);
        }
    }
    for (const auto &[name, at] : reference)
        EXPECT_EQ(indexed.find(name), at) << name;
}

TEST(NameIndexTest, GrowthThatFailsFillsTheTableUntilItIsFull) {
    Indexed indexed;
    indexed.index.reserve(1); // the smallest table
    Position count = 0;
    const auto add = [&] { indexed.assign(count, "entry " + std::to_string(count)), ++count; };
    {
        const RefusedAllocations refused;
        // Past three quarters of the smallest table growing fails, and the table fills up,
        // until only the one slot that keeps probes finite is left.
        for (;;) {
            try {
                add();
            } catch (const std::bad_alloc &) {
                break;
            }
        }
    }
    EXPECT_EQ(count, 63u);
    for (Position at = 0; at < count; ++at)
        EXPECT_EQ(indexed.find("entry " + std::to_string(at)), at);
    // The refused name left no trace, and with memory again the index grows on demand.
    EXPECT_EQ(indexed.find("entry 63"), NameIndex::kAbsent);
    for (int more = 0; more < 100; ++more)
        add();
    for (Position at = 0; at < count; ++at)
        ASSERT_EQ(indexed.find("entry " + std::to_string(at)), at);
}

// The index is filled with one form of the hash and probed with the other.
TEST(NameIndexTest, BothFormsOfTheHashAgree) {
    std::string name;
    for (int length = 0; length <= 40; ++length) {
        SCOPED_TRACE(length);
        EXPECT_EQ(NameIndex::hash_once(name), NameIndex::hash(name));
        name += static_cast<char>(0x35 + 29 * length); // high bytes too
    }
}

TEST(NameIndexTest, NamesThatShareASlotUnderOneKeySpreadUnderAnother) {
    // The slot a 64-slot table gives a hash: its top six bits after the index's mixing.
    const auto slot = [](std::uint32_t hash) { return (hash * 0x9E3779B9u) >> 26; };
    const NameIndex::HashKey crafted_for{1, 2};
    std::vector<std::string> flood;
    for (int i = 0; flood.size() < 48; ++i) {
        std::string name = "x" + std::to_string(i);
        if (slot(NameIndex::hash(name, crafted_for)) == 0) flood.push_back(std::move(name));
    }
    std::map<std::uint32_t, int> per_slot;
    int worst = 0;
    for (const std::string &name : flood)
        worst = std::max(worst, ++per_slot[slot(NameIndex::hash(name, {3, 4}))]);
    EXPECT_LT(worst, 10);
    // The process's own key is neither of those fixed ones.
    int same = 0;
    for (const std::string &name : flood)
        same += slot(NameIndex::hash(name)) == 0;
    EXPECT_LT(same, 10);
}

} // namespace
} // namespace quorvex::fs
