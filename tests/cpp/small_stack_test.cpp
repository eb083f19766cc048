// Walks of the whole tree (destruction, recursive removal) on a thread whose stack is far
// smaller than the default, with the deepest tree that can be built.
#include <string>

#include <pthread.h>

#include "fs_test_util.hpp"

namespace quorvex::fs {
namespace {

using test::Ok;

constexpr std::size_t kSmallStack = 64 * 1024;

// Runs `body` to its end on a new thread with a 64 KiB stack.
template <class Body> void on_small_stack(Body &body) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, kSmallStack), 0);
    pthread_t thread;
    auto run = [](void *argument) -> void * {
        (*static_cast<Body *>(argument))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, &body), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

// /top, then a chain of directories down to the depth limit, each level also holding a
// few files and, half way down, a directory wide enough to be indexed.
std::shared_ptr<FileSystem> deepest_tree() {
    auto fs = FileSystem::make();
    std::string path = "/top";
    EXPECT_TRUE(Ok(fs->mkdir(path)));
    for (std::uint64_t depth = 2; depth <= kMaxDepth; ++depth) {
        for (const char *file : {"/a", "/b"})
            EXPECT_TRUE(Ok(fs->touch(path + file)));
        if (depth == kMaxDepth / 2) {
            for (int n = 0; n < 100; ++n)
                EXPECT_TRUE(Ok(fs->mkdir(path + "/w" + std::to_string(n))));
        }
        path += "/d";
        EXPECT_TRUE(Ok(fs->mkdir(path)));
    }
    return fs;
}

TEST(SmallStackTest, DroppingTheDeepestTree) {
    auto fs = deepest_tree();
    bool done = false;
    auto body = [&] {
        fs.reset();
        done = true;
    };
    on_small_stack(body);
    EXPECT_TRUE(done);
}

TEST(SmallStackTest, RemovingTheDeepestTreeRecursively) {
    auto fs = deepest_tree();
    Status removed = IoErrorKind::NotASymlink;
    auto body = [&] { removed = fs->rm("/top", true); };
    on_small_stack(body);
    EXPECT_TRUE(Ok(removed));
    EXPECT_EQ(fs->inode_count(), 1u);
    EXPECT_TRUE(test::children_of(*fs, kRootId).empty());
}

} // namespace
} // namespace quorvex::fs
