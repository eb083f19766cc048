#include <functional>
#include <string>

#include "fs_test_util.hpp"

namespace quorvex::fs {
namespace {

using test::error_of;
using test::id_of;
using test::Ok;
using K = IoErrorKind;

// /a holds the file f, the file g and the directory sub (holding the file x); /b is an
// empty directory, /c a directory holding y; /t a file.
std::shared_ptr<FileSystem> sample() {
    auto fs = FileSystem::make();
    for (const char *dir : {"/a", "/a/sub", "/b", "/c"})
        EXPECT_TRUE(Ok(fs->mkdir(dir)));
    for (const char *file : {"/a/f", "/a/g", "/a/sub/x", "/c/y", "/t"})
        EXPECT_TRUE(Ok(fs->touch(file)));
    return fs;
}

// Every node's parent lists it, and its depth is one more than its parent's.
void expect_consistent(const FileSystem &fs, InodeId id = kRootId) {
    const INodeRef node = fs.lookup(id);
    for (const InodeId child : test::children_of(fs, id)) {
        const INodeRef entry = fs.lookup(child);
        EXPECT_EQ(entry->parent.load(), id);
        EXPECT_EQ(entry->depth.load(), node->depth.load() + 1);
        if (entry->is_directory()) expect_consistent(fs, child);
    }
}

TEST(RenameTest, FollowsRenameOfPosix) {
    const struct {
        const char *from;
        const char *to;
        std::optional<K> error;
    } rows[] = {
        {"/a/f", "/b/f2", std::nullopt},           // to another directory, a new name
        {"a\\f", "/a/g", std::nullopt},            // a file replaces a file
        {"/a/sub", "/b", std::nullopt},            // a directory an empty directory
        {"/a/sub/", "/c/z/", std::nullopt},        // trailing separators: a directory
        {"/a", "/a", std::nullopt},                // onto itself: nothing changes
        {"/a/f", "/a/./f", std::nullopt},          //   whatever the spelling
        {"/a/sub", "/c", K::DirectoryIsNotEmpty},  //
        {"/a/sub", "/a", K::DirectoryIsNotEmpty},  // onto its own parent
        {"/a/sub", "/a/f", K::NotADirectory},      // a directory onto a file
        {"/a/f", "/b", K::NotAFile},               // a file onto a directory
        {"/a/f/", "/z", K::NotADirectory},         // a trailing separator on a file
        {"/t/x", "/z", K::NotADirectory},          // a parent that is a file
        {"/a", "/a/sub/z", K::InvalidMove},        // into its own subtree
        {"/a", "/a/z", K::InvalidMove},            //   right below itself
        {"/missing", "/z", K::InodeNotFound},      //
        {"/a/f", "/missing/z", K::InodeNotFound},  //
        {"/", "/z", K::ResourceCurrentInUse},      // the root, "." and "..": EBUSY
        {"/a/..", "/z", K::ResourceCurrentInUse},  //
        {"/a/f", "/b/.", K::ResourceCurrentInUse}, //
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.from) + " -> " + row.to);
        auto fs = sample();
        const std::string before = fs->render();
        const auto moved = fs->get_inode_by_path_raw(row.from);
        EXPECT_EQ(error_of(fs->rename(row.from, row.to)), row.error);
        if (row.error) {
            EXPECT_EQ(fs->render(), before);
            continue;
        }
        EXPECT_EQ(fs->get_inode_by_path_raw(row.to).value(), moved.value());
        if (fs->render() != before) {
            EXPECT_EQ(fs->get_inode_by_path_raw(row.from).error(), K::InodeNotFound);
        }
        expect_consistent(*fs);
    }
}

TEST(RenameTest, TheMovedEntryComesLastAndTheReplacedOneLeavesTheTable) {
    auto fs = sample();
    const InodeId f = id_of(*fs, "/a/f");
    const InodeId g = id_of(*fs, "/a/g");
    ASSERT_TRUE(Ok(fs->rename("/a/f", "/a/g")));
    EXPECT_FALSE(fs->lookup(g));
    EXPECT_EQ(fs->ls_raw(id_of(*fs, "/a"))->files, (std::vector<std::string>{"g"}));
    ASSERT_TRUE(Ok(fs->rename("/t", "/a/t")));
    ASSERT_TRUE(Ok(fs->rename("/a/g", "/a/h")));
    EXPECT_EQ(fs->ls_raw(id_of(*fs, "/a"))->files, (std::vector<std::string>{"t", "h"}));
    EXPECT_EQ(fs->get_path_by_inode(f).value(), "/a/h");
    EXPECT_EQ(test::children_of(*fs, id_of(*fs, "/a")).back(), f);
}

TEST(RenameTest, LargeDirectoriesKeepEveryNameThroughDrainsAndReplacements) {
    // /a, indexed, is emptied into /b one entry at a time (its list compacted while its
    // index is dense and again once sparse), each name renamed in /b on the way; then
    // every other entry of /b replaces its neighbour.
    constexpr int kCount = 200;
    auto fs = FileSystem::make();
    ASSERT_TRUE(Ok(fs->mkdir("/a")));
    ASSERT_TRUE(Ok(fs->mkdir("/b")));
    const auto name = [](const char *prefix, int i) { return prefix + std::to_string(i); };
    for (int i = 0; i < kCount; ++i)
        ASSERT_TRUE(Ok(fs->touch(name("/a/n", i))));
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(Ok(fs->rename(name("/a/n", i), name("/b/n", i)))) << i;
        ASSERT_TRUE(Ok(fs->rename(name("/b/n", i), name("/b/m", i)))) << i;
    }
    for (int i = 0; i < kCount; i += 2)
        ASSERT_TRUE(Ok(fs->rename(name("/b/m", i), name("/b/m", i + 1)))) << i;
    EXPECT_TRUE(fs->ls_raw(id_of(*fs, "/a"))->files.empty());
    std::vector<std::string> expected;
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(error_of(fs->get_inode_by_path_raw(name("/a/n", i))), K::InodeNotFound);
        EXPECT_EQ(fs->get_inode_by_path_raw(name("/b/m", i)).ok(), i % 2 == 1) << i;
        if (i % 2 == 1) expected.push_back(name("m", i));
    }
    EXPECT_EQ(fs->ls_raw(id_of(*fs, "/b"))->files, expected);
    expect_consistent(*fs);
}

TEST(RenameTest, HandlesFollowTheirFileButAReplacedFileMustBeFree) {
    auto fs = sample();
    auto held = FileSystem::open(fs, "/a/g", test::mode("w"), false);
    ASSERT_TRUE(Ok(held));
    const std::string before = fs->render();
    EXPECT_EQ(error_of(fs->rename("/a/f", "/a/g")), K::ResourceCurrentInUse);
    EXPECT_EQ(fs->render(), before);
    // The held file itself may move; its handle goes on working.
    ASSERT_TRUE(Ok(fs->rename("/a/g", "/b/g")));
    ASSERT_TRUE(Ok(held->write(test::bytes("hi"))));
    EXPECT_EQ(test::contents_of(*fs, id_of(*fs, "/b/g")), test::bytes("hi"));
    ASSERT_TRUE(Ok(held->close()));
    ASSERT_TRUE(Ok(fs->rename("/a/f", "/b/g")));
}

TEST(RenameTest, ADirectoryMoveKeepsEveryDepthWithinTheLimit) {
    auto fs = FileSystem::make();
    std::string chain;
    for (int level = 1; level <= 60; ++level) {
        chain += "/d";
        ASSERT_TRUE(Ok(fs->mkdir(chain)));
    }
    // /s holds four levels below it: moved under a node at depth 60 it would reach 65.
    std::string tall = "/s";
    ASSERT_TRUE(Ok(fs->mkdir(tall)));
    for (int level = 0; level < 4; ++level)
        ASSERT_TRUE(Ok(fs->mkdir(tall += "/e")));
    ASSERT_TRUE(Ok(fs->touch(tall + "/f")));
    const std::string before = fs->render();
    EXPECT_EQ(error_of(fs->rename("/s", chain + "/s")), K::MaxRecursionDepthExceeded);
    EXPECT_EQ(fs->render(), before);
    const std::string upper = chain.substr(0, chain.size() - 4); // depth 58
    ASSERT_TRUE(Ok(fs->rename("/s", upper + "/s")));
    EXPECT_EQ(fs->lookup(id_of(*fs, upper + "/s/e/e/e/e/f"))->depth.load(), kMaxDepth);
    expect_consistent(*fs);
    // Nothing below the moved directory was left marked: creation inside it goes on.
    EXPECT_TRUE(Ok(fs->mkdir(upper + "/s/e/e/e/x")));
    ASSERT_TRUE(Ok(fs->rename(upper + "/s", "/s")));
    expect_consistent(*fs);
    EXPECT_EQ(fs->lookup(id_of(*fs, "/s/e/e/e/x"))->depth.load(), 5u);
}

} // namespace
} // namespace quorvex::fs
