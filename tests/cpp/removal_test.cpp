#include <set>
#include <string>

#include "fs_test_util.hpp"

namespace quorvex::fs {
namespace {

using test::error_of;
using test::id_of;
using test::Ok;
using K = IoErrorKind;

class RemovalTest : public testing::Test {
  protected:
    Result<FileHandle> open(std::string_view path, const char *mode) {
        return FileSystem::open(fs, path, test::mode(mode), false);
    }
    std::set<InodeId> present() const {
        std::set<InodeId> ids;
        for (InodeId id = 0; id < fs->next_inode_id(); ++id) {
            if (fs->lookup(id)) ids.insert(id);
        }
        return ids;
    }

    std::shared_ptr<FileSystem> fs = FileSystem::make();
};

// d holds the directory a (holding x, then y) and then the file b, so a recursive removal
// of d takes x, y, a, b, d in that order. Holding one file stops it right there.
TEST_F(RemovalTest, RecursiveRemovalGoesDepthFirstInChildOrder) {
    const struct {
        const char *held;
        const char *mode;
        std::set<InodeId> left; // d 1, a 2, x 3, y 4, b 5
    } rows[] = {{nullptr, nullptr, {0}},
                {"d/a/x", "", {0, 1, 2, 3, 4, 5}},
                {"d/a/y", "w", {0, 1, 2, 4, 5}},
                {"d/b", "rw", {0, 1, 5}}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.held ? row.held : "nothing held");
        fs = FileSystem::make();
        for (const char *dir : {"d", "d/a"})
            ASSERT_TRUE(Ok(fs->mkdir(dir)));
        for (const char *file : {"d/a/x", "d/a/y", "d/b"})
            ASSERT_TRUE(Ok(fs->touch(file)));
        std::optional<Result<FileHandle>> handle;
        if (row.held) handle.emplace(open(row.held, row.mode));

        EXPECT_EQ(error_of(fs->rm("/d", true)),
                  row.held ? std::optional<IoError>(K::ResourceCurrentInUse) : std::nullopt);
        EXPECT_EQ(present(), row.left);
        if (row.held) {
            EXPECT_EQ(test::children_of(*fs, 1).back(), 5u); // b keeps its place
            ASSERT_TRUE(Ok(handle->value().close()));
            EXPECT_TRUE(Ok(fs->rm("d", true)));
            EXPECT_EQ(present(), std::set<InodeId>{0});
        }
        EXPECT_TRUE(test::children_of(*fs, kRootId).empty());
    }
}

TEST_F(RemovalTest, HeldFilesCannotBeRemovedInAnyMode) {
    ASSERT_TRUE(Ok(fs->touch("f")));
    const InodeId f = id_of(*fs, "f");
    for (const char *mode : {"", "r", "w", "rw"}) {
        for (const bool recurse : {false, true}) {
            auto handle = open("f", mode);
            ASSERT_TRUE(Ok(handle));
            const std::int64_t flag = test::flag_of(*fs, f);
            EXPECT_EQ(error_of(fs->rm("f", recurse)), K::ResourceCurrentInUse) << mode;
            EXPECT_EQ(test::flag_of(*fs, f), flag);
        }
    }
    // Once a removal has claimed a file, nothing opens it and no second removal takes it.
    ASSERT_TRUE(fs->lookup(f)->as_file()->lock.try_claim_for_removal());
    for (const char *mode : {"", "r", "w"}) {
        EXPECT_EQ(error_of(open("f", mode)), K::ResourceCurrentInUse) << mode;
    }
    EXPECT_EQ(error_of(fs->rm_raw(f, false)), K::ResourceCurrentInUse);
    EXPECT_EQ(test::children_of(*fs, kRootId), std::vector<InodeId>{f});
}

TEST_F(RemovalTest, RemovesEmptyDirectoriesAndClosedFilesOnly) {
    for (const char *dir : {"a", "e", "a/sub"})
        ASSERT_TRUE(Ok(fs->mkdir(dir)));
    for (const char *file : {"f", "g"})
        ASSERT_TRUE(Ok(fs->touch(file)));
    const std::string before = fs->render();
    EXPECT_EQ(error_of(fs->rm("a", false)), K::DirectoryIsNotEmpty);
    EXPECT_EQ(error_of(fs->rm("missing", true)), K::InodeNotFound);
    EXPECT_EQ(error_of(fs->rm("a/missing", false)), K::InodeNotFound);
    EXPECT_EQ(error_of(fs->rm("f/x", false)), K::NotADirectory);
    EXPECT_EQ(error_of(fs->rm_raw(fs->next_inode_id(), true)), K::InodeNotFound);
    EXPECT_EQ(fs->render(), before);

    const InodeId f = id_of(*fs, "f");
    EXPECT_TRUE(Ok(fs->rm("e", false)));
    EXPECT_TRUE(Ok(fs->rm("\\f", true)));
    EXPECT_EQ(error_of(fs->rm_raw(f, false)), K::InodeNotFound);
    const Listing listing = fs->ls_raw(kRootId).value();
    EXPECT_EQ(listing.files, std::vector<std::string>{"g"});
    EXPECT_EQ(listing.directories, std::vector<std::string>{"a"});

    // Names come back free; ids do not.
    const std::uint64_t next = fs->next_inode_id();
    ASSERT_TRUE(Ok(fs->touch("f")));
    EXPECT_EQ(id_of(*fs, "f"), next);
    EXPECT_GT(id_of(*fs, "f"), f);
}

// A recursive removal that meets an entry already gone from the table stops there with
// InodeNotFound, whether that entry is a file or a directory with contents of its own;
// what it took before stays taken and nothing after it is touched.
TEST_F(RemovalTest, StopsAtAnEntryThatLeftTheTable) {
    for (const bool gone_is_directory : {false, true}) {
        SCOPED_TRACE(gone_is_directory);
        fs = FileSystem::make();
        ASSERT_TRUE(Ok(fs->mkdir("d")));
        ASSERT_TRUE(Ok(fs->touch("d/before")));
        ASSERT_TRUE(Ok(gone_is_directory ? fs->mkdir("d/gone") : fs->touch("d/gone")));
        if (gone_is_directory) {
            ASSERT_TRUE(Ok(fs->touch("d/gone/inside")));
        }
        ASSERT_TRUE(Ok(fs->touch("d/after")));
        const InodeId inside = gone_is_directory ? id_of(*fs, "d/gone/inside") : 0;
        fs->release_inode_id(id_of(*fs, "d/gone"));

        EXPECT_EQ(error_of(fs->rm("d", true)), K::InodeNotFound);
        EXPECT_EQ(fs->ls_raw(id_of(*fs, "d"))->files, std::vector<std::string>{"after"});
        if (gone_is_directory) {
            EXPECT_TRUE(fs->lookup(inside));
        }
    }
}

TEST_F(RemovalTest, RootIsEmptiedButKept) {
    EXPECT_TRUE(Ok(fs->rm("", false)));
    ASSERT_TRUE(Ok(fs->mkdir("a")));
    ASSERT_TRUE(Ok(fs->touch("a/f")));
    ASSERT_TRUE(Ok(fs->touch("z")));
    for (const char *path : {"/", "", "a/..", "\\"}) {
        EXPECT_EQ(error_of(fs->rm(path, false)), K::DirectoryIsNotEmpty) << path;
    }
    {
        auto held = open("z", "r");
        ASSERT_TRUE(Ok(held));
        EXPECT_EQ(error_of(fs->rm("/", true)), K::ResourceCurrentInUse);
        EXPECT_EQ(present(), (std::set<InodeId>{0, 3}));
    }
    EXPECT_TRUE(Ok(fs->rm("..", true)));
    EXPECT_EQ(present(), std::set<InodeId>{0});
    const std::string fresh = FileSystem::make()->render(); // ends in "next_inode_id: 1 }"
    EXPECT_EQ(fs->render(), fresh.substr(0, fresh.size() - 3) + "4 }");
    ASSERT_TRUE(Ok(fs->mkdir("again")));
    EXPECT_EQ(id_of(*fs, "again"), 4u);
}

TEST_F(RemovalTest, LinksAreRemovedThemselvesNeverTheirTargets) {
    ASSERT_TRUE(Ok(fs->mkdir("keep")));
    ASSERT_TRUE(Ok(fs->touch("keep/file")));
    ASSERT_TRUE(Ok(fs->mkdir("d")));
    const InodeId keep = id_of(*fs, "keep"), d = id_of(*fs, "d");
    const InodeId inner = fs->create_inode(d, make_name("to_keep"), Symlink{keep}).value();
    const InodeId outer = fs->create_inode(kRootId, make_name("to_d"), Symlink{d}).value();

    EXPECT_TRUE(Ok(fs->rm_raw(outer, true)));
    EXPECT_EQ(fs->lookup(outer), nullptr);
    EXPECT_TRUE(fs->lookup(d));
    EXPECT_TRUE(Ok(fs->rm("d", true)));
    EXPECT_EQ(fs->lookup(inner), nullptr);
    EXPECT_EQ(fs->ls_raw(keep)->files, std::vector<std::string>{"file"});
    EXPECT_EQ(test::children_of(*fs, kRootId), std::vector<InodeId>{keep});
}

} // namespace
} // namespace quorvex::fs
