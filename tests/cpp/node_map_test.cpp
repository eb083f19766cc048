#include <algorithm>
#include <random>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "fs/inode_table.hpp"

namespace quorvex::fs {
namespace {

INodeRef node(InodeId id) { return INodeRef::make(id, kRootId, 1, Name("n"), File{}); }

// Random inserts, erasures and lookups, checked against std::unordered_map. A small id
// range keeps the map near its growth threshold, where runs are long and cross the end.
void agrees_with_unordered_map(unsigned seed, InodeId id_range, int steps) {
    NodeMap map;
    std::unordered_map<InodeId, INode *> reference;
    std::mt19937_64 random(seed);
    for (int step = 0; step < steps; ++step) {
        const InodeId id = random() % id_range;
        const auto known = reference.find(id);
        switch (random() % 3) {
        case 0:
            if (known == reference.end()) {
                INodeRef fresh = node(id);
                reference[id] = fresh.get();
                map.insert(std::move(fresh));
            }
            break;
        case 1: {
            const INodeRef removed = map.erase(id);
            EXPECT_EQ(removed.get(), known == reference.end() ? nullptr : known->second);
            if (known != reference.end()) reference.erase(known);
            break;
        }
        default:
            EXPECT_EQ(map.find(id), known == reference.end() ? nullptr : known->second);
        }
        ASSERT_EQ(map.size(), reference.size());
    }
    std::size_t visited = 0;
    map.for_each([&](const INode *entry) {
        ++visited;
        EXPECT_EQ(reference.at(entry->id), entry);
    });
    EXPECT_EQ(visited, reference.size());
}

TEST(NodeMapTest, RandomOperationsAgreeWithAnUnorderedMap) {
    agrees_with_unordered_map(1, 12, 20'000); // a handful of slots, wrapping often
    agrees_with_unordered_map(2, 5'000, 40'000);
}

TEST(NodeMapTest, ARunThatWrapsAroundTheEndSurvivesRemovalAtItsStart) {
    // Ids whose home is the last of the map's four inline slots (its Fibonacci hashing
    // keeps the top two bits), so each further one wraps to the front; three fit before
    // the map grows.
    std::vector<InodeId> last_slot;
    for (InodeId id = 1; last_slot.size() < 3; ++id) {
        if (((id * 0x9E3779B97F4A7C15ull) >> 62) == 3) last_slot.push_back(id);
    }
    NodeMap map;
    for (const InodeId id : last_slot)
        map.insert(node(id));
    for (const InodeId id : last_slot) {
        ASSERT_NE(map.find(id), nullptr);
        EXPECT_EQ(map.find(id)->id, id);
    }
    // Taking out the one at the end pulls the wrapped ones back across it.
    EXPECT_NE(map.erase(last_slot[0]), nullptr);
    EXPECT_EQ(map.find(last_slot[0]), nullptr);
    for (std::size_t i = 1; i < last_slot.size(); ++i)
        EXPECT_NE(map.find(last_slot[i]), nullptr) << last_slot[i];
    EXPECT_NE(map.erase(last_slot[1]), nullptr);
    EXPECT_NE(map.find(last_slot[2]), nullptr);
    EXPECT_EQ(map.size(), 1u);
}

class NodeMapReleaseTest : public testing::TestWithParam<InodeId> {};

// Inline slots alone, and a map that grew onto the heap.
TEST_P(NodeMapReleaseTest, ReleaseEachHandsOverEveryEntryOnceAndLeavesAnEmptyMap) {
    NodeMap map;
    std::vector<INode *> made;
    for (InodeId id = 1; id <= GetParam(); ++id) {
        INodeRef fresh = node(id);
        made.push_back(fresh.get());
        map.insert(std::move(fresh));
    }
    std::vector<INodeRef> released;
    map.release_each([&](INode *entry) { released.push_back(INodeRef::adopt(entry)); });
    std::vector<INode *> seen;
    for (const INodeRef &entry : released)
        seen.push_back(entry.get());
    std::sort(seen.begin(), seen.end());
    std::sort(made.begin(), made.end());
    EXPECT_EQ(seen, made);
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.find(1), nullptr);
    map.insert(node(GetParam() + 1));
    ASSERT_NE(map.find(GetParam() + 1), nullptr);
    EXPECT_EQ(map.find(1), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Sizes, NodeMapReleaseTest, testing::Values(InodeId{2}, InodeId{40}));

} // namespace
} // namespace quorvex::fs
