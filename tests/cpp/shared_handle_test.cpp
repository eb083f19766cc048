// Handles of FileSystem::open_shared: outside the file lock, alive past their file's removal.
#include <string>
#include <thread>
#include <vector>

#include "fs_test_util.hpp"

namespace quorvex::fs {
namespace {

using test::bytes;
using test::Bytes;
using test::contents_of;
using test::error_of;
using test::flag_of;
using test::id_of;
using test::mode;
using test::Ok;
using K = IoErrorKind;

OpenFlags flags(std::string_view access, bool create = false, bool exclusive = false,
                bool truncate = false, bool append = false) {
    return {mode(access), create, exclusive, truncate, append};
}

Bytes read_all(FileHandle &handle) {
    EXPECT_TRUE(Ok(handle.seek(SeekOrigin::Start, 0)));
    Bytes buffer(256);
    buffer.resize(handle.read(buffer).value());
    return buffer;
}

class SharedHandleTest : public testing::Test {
  protected:
    std::shared_ptr<FileSystem> fs = FileSystem::make();

    Result<FileHandle> open_shared(std::string_view path, const OpenFlags &how) {
        return FileSystem::open_shared(fs, path, how);
    }
    void make_file(std::string_view path, std::string_view text) {
        auto handle = FileSystem::open(fs, path, mode("w"), true).value();
        ASSERT_TRUE(Ok(handle.write(bytes(text))));
        ASSERT_TRUE(Ok(handle.close()));
    }
};

// What each combination does to a missing and to an existing file of three bytes.
TEST_F(SharedHandleTest, ModeTable) {
    struct Row {
        OpenFlags how;
        std::optional<K> missing; // nullopt: created
        std::optional<K> existing;
        const char *left; // the existing file's bytes after the open
    };
    const Row rows[] = {
        {flags("r"), K::InodeNotFound, std::nullopt, "abc"},
        {flags("w"), K::InodeNotFound, std::nullopt, "abc"},
        {flags("rw", true), std::nullopt, std::nullopt, "abc"},
        {flags("w", true, false, true), std::nullopt, std::nullopt, ""},
        {flags("w", true, true), std::nullopt, K::ResourceAlreadyExists, "abc"},
        {flags("rw", false, false, true), K::InodeNotFound, std::nullopt, ""},
        {flags("w", true, false, false, true), std::nullopt, std::nullopt, "abc"},
        {flags("r", true), std::nullopt, std::nullopt, "abc"},
    };
    int n = 0;
    for (const Row &row : rows) {
        const std::string path = "/f" + std::to_string(n++);
        auto on_missing = open_shared(path, row.how);
        EXPECT_EQ(error_of(on_missing), row.missing) << path;
        EXPECT_EQ(fs->get_inode_by_path_raw(path).ok(), !row.missing) << path;
        if (on_missing) {
            ASSERT_TRUE(Ok(on_missing->close()));
        }
        (void)fs->rm(path, false);
        make_file(path, "abc");
        auto on_existing = open_shared(path, row.how);
        EXPECT_EQ(error_of(on_existing), row.existing) << path;
        EXPECT_EQ(contents_of(*fs, id_of(*fs, path)), bytes(row.left)) << path;
    }
}

TEST_F(SharedHandleTest, SenselessFlagsAreRefusedBeforeThePathIsLookedAt) {
    const OpenFlags refused[] = {flags(""), flags("r", false, true), flags("r", true, false, true),
                                 flags("r", true, false, false, true)};
    for (const OpenFlags &how : refused) {
        EXPECT_EQ(error_of(open_shared("/new", how)), K::UnrecognizedFileMode);
    }
    EXPECT_EQ(fs->inode_count(), 1U);
}

TEST_F(SharedHandleTest, PathsAreReachedAsOpenReachesThem) {
    ASSERT_TRUE(Ok(fs->mkdir("/d")));
    make_file("/f", "x");
    const std::pair<const char *, K> cases[] = {
        {"/d", K::NotAFile},
        {"/d/", K::NotAFile},
        {"/d/.", K::NotAFile},
        {"/d/..", K::NotAFile},
        {"/missing/f", K::InodeNotFound},
        {"/f/inner", K::NotADirectory},
    };
    for (const auto &[path, kind] : cases) {
        EXPECT_EQ(error_of(open_shared(path, flags("rw", true))), kind) << path;
    }
    EXPECT_EQ(error_of(open_shared("/d/", flags("w", true, true))), K::ResourceAlreadyExists);
    auto through_slash = open_shared("/f/", flags("r"));
    ASSERT_TRUE(Ok(through_slash));
    EXPECT_EQ(through_slash->id(), id_of(*fs, "/f"));
    std::string deep;
    for (int level = 0; level < 64; ++level) {
        deep += "/d";
        (void)fs->mkdir(deep);
    }
    EXPECT_EQ(error_of(open_shared(deep + "/f", flags("w", true))), K::MaxRecursionDepthExceeded);
}

TEST_F(SharedHandleTest, RemovedFileStaysUsableAndGoesWithTheLastClose) {
    make_file("/f", "abc");
    const std::size_t before = fs->live_nodes();
    auto reader = open_shared("/f", flags("r")).value();
    auto writer = open_shared("/f", flags("rw")).value();
    ASSERT_TRUE(Ok(fs->rm("/f", false)));
    EXPECT_EQ(fs->inode_count(), 1U);
    EXPECT_EQ(fs->live_nodes(), before); // held by the two handles
    make_file("/f", "new");              // a file of the same name, beside the removed one
    ASSERT_TRUE(Ok(writer.write_advancing(bytes("XY"))));
    EXPECT_EQ(read_all(reader), bytes("XYc"));
    EXPECT_EQ(writer.offset(), 2U);
    ASSERT_TRUE(Ok(writer.truncate(1)));
    EXPECT_EQ(contents_of(*fs, id_of(*fs, "/f")), bytes("new"));
    ASSERT_TRUE(Ok(reader.close()));
    EXPECT_EQ(fs->live_nodes(), before + 1);
    EXPECT_EQ(error_of(reader.read(std::span<std::uint8_t>())), K::InvalidFileDescriptor);
    ASSERT_TRUE(Ok(writer.close()));
    EXPECT_EQ(fs->live_nodes(), before); // the removed file is gone
}

TEST_F(SharedHandleTest, AppendsNeverLandOnEachOther) {
    auto first = open_shared("/log", flags("w", true, false, false, true)).value();
    auto second = open_shared("/log", flags("rw", true, false, false, true)).value();
    ASSERT_TRUE(Ok(first.write_advancing(bytes("aa"))));
    ASSERT_TRUE(Ok(second.write_advancing(bytes("bbb"))));
    ASSERT_TRUE(Ok(first.write(bytes("c")))); // at the end too, and the offset stays
    EXPECT_EQ(first.offset(), 2U);
    EXPECT_EQ(second.offset(), 5U);
    EXPECT_EQ(read_all(second), bytes("aabbbc"));

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            auto handle = open_shared("/log", flags("w", false, false, false, true)).value();
            const Bytes record(8, static_cast<std::uint8_t>('0' + t));
            for (int i = 0; i < 500; ++i)
                ASSERT_TRUE(Ok(handle.write_advancing(record)));
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    const Bytes all = contents_of(*fs, id_of(*fs, "/log"));
    ASSERT_EQ(all.size(), 6U + 4 * 500 * 8);
    for (std::size_t at = 6; at < all.size(); at += 8) {
        EXPECT_EQ(Bytes(all.begin() + static_cast<std::ptrdiff_t>(at),
                        all.begin() + static_cast<std::ptrdiff_t>(at + 8)),
                  Bytes(8, all[at]))
            << at;
    }
}

TEST_F(SharedHandleTest, AnOffsetPastACutEndReadsNothingAndWritesAfterAGap) {
    make_file("/f", "abcdef");
    auto reader = FileSystem::open(fs, "/f", mode("r"), false).value();
    ASSERT_TRUE(Ok(reader.seek(SeekOrigin::Start, 5)));
    auto cutter = open_shared("/f", flags("rw", false, false, true)).value();
    Bytes buffer(4);
    EXPECT_EQ(reader.read(buffer).value(), 0U);
    ASSERT_TRUE(Ok(cutter.seek(SeekOrigin::Start, 0)));
    auto beyond = open_shared("/f", flags("w")).value();
    ASSERT_TRUE(Ok(cutter.write(bytes("ab"))));
    ASSERT_TRUE(Ok(reader.seek(SeekOrigin::Current, 0))); // clamped back into the file
    EXPECT_EQ(reader.offset(), 2U);
    ASSERT_TRUE(Ok(cutter.seek(SeekOrigin::End, 0)));
    ASSERT_TRUE(Ok(cutter.truncate(0)));
    ASSERT_TRUE(Ok(beyond.seek(SeekOrigin::Start, 0)));
    ASSERT_TRUE(Ok(cutter.write(bytes("xyz"))));
    ASSERT_TRUE(Ok(beyond.seek(SeekOrigin::End, 0)));
    ASSERT_TRUE(Ok(cutter.truncate(1)));
    ASSERT_TRUE(Ok(beyond.write(bytes("!"))));
    EXPECT_EQ(contents_of(*fs, id_of(*fs, "/f")), Bytes({'x', 0, 0, '!'}));
}

// open's lock keeps its rules among open's handles, whatever shared handles are about.
TEST_F(SharedHandleTest, OpensLockIsUntouchedBesideSharedHandles) {
    make_file("/f", "abc");
    for (const char *access : {"r", "w", "rw"}) {
        auto shared = open_shared("/f", flags(access)).value();
        auto writer = FileSystem::open(fs, "/f", mode("w"), false);
        ASSERT_TRUE(Ok(writer)) << access;
        EXPECT_EQ(flag_of(*fs, id_of(*fs, "/f")), FileLock::kWriteExclusive);
        EXPECT_EQ(error_of(FileSystem::open(fs, "/f", mode("r"), false)), K::ResourceCurrentInUse);
        EXPECT_EQ(error_of(fs->rm("/f", false)), K::ResourceCurrentInUse);
        auto another = open_shared("/f", flags(access)); // never refused
        ASSERT_TRUE(Ok(another)) << access;
        ASSERT_TRUE(Ok(writer->close()));
        ASSERT_TRUE(Ok(another->close()));
        EXPECT_EQ(flag_of(*fs, id_of(*fs, "/f")), FileLock::kFree);
    }
}

} // namespace
} // namespace quorvex::fs
