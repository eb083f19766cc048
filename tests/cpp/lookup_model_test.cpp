// Name lookups against a simple model: a child list with and without its index, and the
// file system's answers in scanned and in indexed directories, with entries among them
// whose nodes have left the table behind their directory's back.
#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fs_test_util.hpp"

namespace quorvex::fs {
namespace {

using test::error_of;
using test::Ok;

// What a child list should hold: its entries in order, some of them released.
struct ModelEntry {
    INodeRef node;
    std::string name;
};

void expect_matches(const ChildList &list, const std::vector<ModelEntry> &model,
                    const std::vector<std::string> &names) {
    std::vector<INode *> listed;
    for (auto it = list.begin(); it != list.end(); ++it)
        listed.push_back(it.node());
    std::vector<INode *> expected;
    for (const ModelEntry &entry : model)
        expected.push_back(entry.node.get());
    ASSERT_EQ(listed, expected);
    ASSERT_EQ(list.size(), model.size());
    // A scan gives up at a link or a released entry; the index only at a released entry
    // that holds the very name.
    const bool scan_may_give_up = std::any_of(model.begin(), model.end(), [](auto &entry) {
        return entry.node->is_link() || is_released(*entry.node);
    });
    // What each name should lead to: its first live entry (at most one is live).
    std::unordered_map<std::string_view, INode *> live_by_name;
    for (const ModelEntry &entry : model) {
        if (!is_released(*entry.node)) live_by_name.emplace(entry.name, entry.node.get());
    }
    const std::atomic<std::uint32_t> unchanged{0};
    const epoch::Guard guard;
    for (const std::string &name : names) {
        const auto known = live_by_name.find(name);
        INode *const live = known == live_by_name.end() ? nullptr : known->second;
        const ChildList::Probe expected =
            live ? ChildList::Probe::Found : ChildList::Probe::Missing;
        // The name alone, and as the first component of a longer path.
        for (const std::string &path : {name, name + "/rest"}) {
            const auto probed = list.probe(path.data(), path.data() + path.size(), unchanged);
            if (probed.outcome != expected) {
                ASSERT_EQ(probed.outcome, ChildList::Probe::Undecided) << path;
                ASSERT_TRUE(list.indexed() ? list.find(name) != nullptr : scan_may_give_up) << path;
            } else if (probed.outcome == ChildList::Probe::Found) {
                ASSERT_EQ(probed.node, live) << path;
                ASSERT_EQ(probed.length, name.size()) << path;
            }
        }
        if (!list.indexed()) continue;
        INode *found = list.find(name);
        if (live) {
            ASSERT_EQ(found, live) << name;
        } else if (found) {
            // Only an entry that names nothing any more may still be indexed.
            ASSERT_TRUE(is_released(*found)) << name;
            ASSERT_EQ(found->name_view(), name);
        }
    }
}

TEST(LookupModelTest, ChildListAndItsIndexFollowAModel) {
    // Enough names for the list to cross the index threshold both ways and for the index
    // to grow, in phases that mostly create and phases that mostly remove.
    std::vector<std::string> names;
    for (int n = 0; n < 3 * static_cast<int>(ChildList::kIndexThreshold); ++n)
        names.push_back("n" + std::to_string(n));
    for (std::uint32_t seed = 1; seed <= 10; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        const auto pick = [&](std::size_t bound) {
            return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
        };
        ChildList list;
        std::vector<ModelEntry> model;
        InodeId next_id = 1;
        for (int step = 0; step < 2000; ++step) {
            const bool growing = step / 250 % 2 == 0;
            const std::size_t choice = pick(10);
            if (seed % 5 == 0 && step == 1000) {
                // A link drops the index for good.
                INodeRef link = INodeRef::make(next_id++, kRootId, 1, make_name("l"), Symlink{});
                list.append(list.reserve_one(), link.get());
                model.push_back({std::move(link), "l"});
            } else if (choice < (growing ? 8U : 3U) || model.empty()) {
                // A creation: only a name that no live entry holds.
                const std::string &name = names[pick(names.size())];
                const bool taken = std::any_of(model.begin(), model.end(), [&](auto &entry) {
                    return entry.name == name && !is_released(*entry.node);
                });
                if (taken) continue;
                INodeRef node = INodeRef::make(next_id++, kRootId, 1, make_name(name), File{});
                list.append(list.reserve_one(), node.get());
                model.push_back({std::move(node), name});
            } else if (choice < 9) {
                const std::size_t at = pick(model.size());
                list.remove(model[at].node.get());
                model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
            } else {
                // The node leaves the table while its directory still lists it.
                model[pick(model.size())].node->mark_released();
            }
            // Every few steps: each name is hashed three times over, which adds up.
            if (step % 4 == 3) {
                ASSERT_NO_FATAL_FAILURE(expect_matches(list, model, names));
            }
        }
    }
}

// A small directory is scanned and a large one indexed; both must give one answer: an
// entry that left the table names nothing, and hides none of its siblings.
class LookupBesideReleasedEntries : public testing::TestWithParam<int> {};

TEST_P(LookupBesideReleasedEntries, EveryOtherNameIsStillFound) {
    const int size = GetParam();
    std::mt19937 random(static_cast<std::uint32_t>(size));
    auto fs = FileSystem::make();
    ASSERT_TRUE(Ok(fs->mkdir("d")));
    const InodeId d = test::id_of(*fs, "d");
    std::vector<std::string> names;
    std::vector<InodeId> ids;
    for (int n = 0; n < size; ++n) {
        names.push_back("e" + std::to_string(n));
        ids.push_back(fs->create_inode(d, make_name(names.back()), File{}).value());
    }
    std::vector<bool> released(names.size());
    for (std::size_t n = 0; n < names.size(); ++n) {
        if (random() % 3 == 0) {
            fs->release_inode_id(ids[n]);
            released[n] = true;
        }
    }
    for (std::size_t n = 0; n < names.size(); ++n) {
        SCOPED_TRACE(names[n]);
        if (released[n]) {
            EXPECT_EQ(error_of(fs->find_inode_by_name(d, names[n])), IoErrorKind::InodeNotFound);
            // The name is free again, and the new node is what it names from then on.
            const InodeId fresh = fs->create_inode(d, make_name(names[n]), File{}).value();
            EXPECT_EQ(fs->find_inode_by_name(d, names[n]).value(), fresh);
        } else {
            EXPECT_EQ(fs->find_inode_by_name(d, names[n]).value(), ids[n]);
            EXPECT_EQ(fs->get_inode_by_path_raw("/d/" + names[n]).value(), ids[n]);
            EXPECT_EQ(error_of(fs->create_inode(d, make_name(names[n]), File{})),
                      IoErrorKind::ResourceAlreadyExists);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ScannedAndIndexed, LookupBesideReleasedEntries,
                         testing::Values(6, 4 * static_cast<int>(ChildList::kIndexThreshold)));

} // namespace
} // namespace quorvex::fs
