// Name lookups against a simple model: a child list with and without its index, and the
// file system's answers in scanned and in indexed directories, with entries among them
// whose nodes have left the table behind their directory's back.
#include <algorithm>
#include <random>
#include <string>
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
    if (!list.indexed()) return;
    for (const std::string &name : names) {
        const auto live = std::find_if(model.begin(), model.end(), [&](const ModelEntry &entry) {
            return entry.name == name && !is_released(*entry.node);
        });
        INode *found = list.find(name);
        if (live != model.end()) {
            ASSERT_EQ(found, live->node.get()) << name;
        } else if (found) {
            // Only an entry that names nothing any more may still be indexed.
            ASSERT_TRUE(is_released(*found)) << name;
            ASSERT_EQ(found->name_view(), name);
        }
    }
}

TEST(LookupModelTest, ChildListAndItsIndexFollowAModel) {
    // Enough names for the list to cross the index threshold both ways.
    std::vector<std::string> names;
    for (int n = 0; n < 3 * static_cast<int>(ChildList::kIndexThreshold) / 2; ++n)
        names.push_back("n" + std::to_string(n));
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        const auto pick = [&](std::size_t bound) {
            return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
        };
        ChildList list;
        std::vector<ModelEntry> model;
        InodeId next_id = 1;
        for (int step = 0; step < 2000; ++step) {
            const std::size_t choice = pick(10);
            if (choice < 5 || model.empty()) {
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
            ASSERT_NO_FATAL_FAILURE(expect_matches(list, model, names));
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
