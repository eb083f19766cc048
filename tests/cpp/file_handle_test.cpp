#include <limits>
#include <string>

#include "fs_test_util.hpp"

namespace quorvex::fs {
namespace {

using test::bytes;
using test::Bytes;
using test::error_of;
using test::id_of;
using test::Ok;
using K = IoErrorKind;

TEST(FileHandleTypeTest, ParsesExactlyFiveModes) {
    const std::pair<const char *, const char *> accepted[] = {
        {"", "FileHandleType(0x0)"},
        {"r", "FileHandleType(READ)"},
        {"w", "FileHandleType(WRITE)"},
        {"rw", "FileHandleType(READ | WRITE)"},
        {"wr", "FileHandleType(READ | WRITE)"}};
    for (const auto &[text, debug] : accepted) {
        EXPECT_EQ(FileHandleType::from_str(text).value().debug(), debug) << text;
    }
    for (const std::string text :
         {"rr", "ww", "rwr", "wrw", "R", "W", "r+", "a", "x", " r", "r ", "é", "ré", "ｒ", "\n"}) {
        EXPECT_EQ(error_of(FileHandleType::from_str(text)), K::UnrecognizedFileMode) << text;
    }
    EXPECT_EQ(error_of(FileHandleType::from_str(std::string("r\0", 2))), K::UnrecognizedFileMode);
}

TEST(FileLockTest, StateMachine) {
    FileLock lock;
    ASSERT_TRUE(lock.try_acquire_shared() && lock.try_acquire_shared());
    EXPECT_EQ(lock.flag(), 2);
    EXPECT_FALSE(lock.try_acquire_exclusive() || lock.try_claim_for_removal());
    EXPECT_THROW(lock.release_exclusive(), InvariantViolation);
    lock.release_shared();
    lock.release_shared();
    EXPECT_THROW(lock.release_shared(), InvariantViolation);
    EXPECT_THROW(lock.release_exclusive(), InvariantViolation);
    EXPECT_EQ(lock.flag(), FileLock::kFree);

    ASSERT_TRUE(lock.try_acquire_exclusive());
    EXPECT_EQ(lock.flag(), FileLock::kWriteExclusive);
    EXPECT_FALSE(lock.try_acquire_exclusive() || lock.try_acquire_shared() ||
                 lock.try_claim_for_removal());
    EXPECT_THROW(lock.release_shared(), InvariantViolation);
    lock.release_exclusive();

    ASSERT_TRUE(lock.try_claim_for_removal());
    EXPECT_FALSE(lock.try_acquire_shared() || lock.try_acquire_exclusive() ||
                 lock.try_claim_for_removal());
    EXPECT_THROW(lock.release_shared(), InvariantViolation);
    EXPECT_THROW(lock.release_exclusive(), InvariantViolation);
    EXPECT_EQ(lock.flag(), FileLock::kRemoving);
}

class FileHandleTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Ok(fs->mkdir("dir")));
        ASSERT_TRUE(Ok(fs->touch("f")));
        f = id_of(*fs, "f");
    }
    Result<FileHandle> open(std::string_view path, const char *mode, bool create = false) {
        return FileSystem::open(fs, path, test::mode(mode), create);
    }
    void fill(std::string_view text) {
        auto handle = open("f", "w");
        ASSERT_TRUE(Ok(handle));
        ASSERT_TRUE(Ok(handle->write(bytes(text))));
        ASSERT_TRUE(Ok(handle->close()));
    }
    Bytes contents() const { return test::contents_of(*fs, f); }
    std::int64_t flag() const { return test::flag_of(*fs, f); }

    std::shared_ptr<FileSystem> fs = FileSystem::make();
    InodeId f = 0;
};

TEST_F(FileHandleTest, HoldersExcludeEachOtherByMode) {
    const char *modes[] = {"", "r", "w", "rw"};
    for (const char *first : modes) {
        for (const char *second : modes) {
            SCOPED_TRACE(std::string(first) + " then " + second);
            auto held = open("f", first);
            ASSERT_TRUE(Ok(held));
            const bool writes = test::mode(first).can_write() || test::mode(second).can_write();
            auto other = open("f", second);
            EXPECT_EQ(error_of(other),
                      writes ? std::optional<IoError>(K::ResourceCurrentInUse) : std::nullopt);
            EXPECT_EQ(flag(), writes ? (test::mode(first).can_write() ? -1 : 1) : 2);
        }
        EXPECT_EQ(flag(), 0); // every handle above was given back when destroyed
    }
}

TEST_F(FileHandleTest, OpenFailuresCreateNothing) {
    // clang-format off
    const struct {
        const char *path;
        const char *mode;
        bool create;
        IoError want;
    } rows[] = {
        {"dir", "r", true, K::NotAFile}, {"/dir/", "w", true, K::NotAFile},
        {"/", "", true, K::NotAFile}, {".", "r", true, K::NotAFile},
        {"dir/..", "rw", true, K::NotAFile}, {"f/..", "r", true, K::NotAFile},
        {"missing", "r", false, K::InodeNotFound}, {"nodir/x", "w", true, K::InodeNotFound},
        {"f/inner", "w", true, K::NotADirectory}, {"f/x/y", "r", true, K::NotADirectory}};
    // clang-format on
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        const std::string before = fs->render();
        EXPECT_EQ(error_of(open(row.path, row.mode, row.create)), row.want);
        EXPECT_EQ(fs->render(), before);
    }
    InodeId deep = kRootId;
    for (std::uint64_t i = 0; i < kMaxDepth; ++i) {
        deep = fs->create_inode(deep, make_name("d"), Directory{}).value();
    }
    const std::string path = fs->get_path_by_inode(deep).value() + "/new";
    EXPECT_EQ(error_of(open(path, "w", true)), K::MaxRecursionDepthExceeded);

    EXPECT_EQ(error_of(FileHandle::make(fs, 999, test::mode("r"))), K::InodeNotFound);
    EXPECT_EQ(error_of(FileSystem::open_raw(fs, id_of(*fs, "dir"), test::mode(""))), K::NotAFile);
    EXPECT_EQ(flag(), 0);
}

TEST_F(FileHandleTest, PathsAndIdsReachingOneFile) {
    for (const char *path : {"f", "/f", "\\f", "f/", "/f/.", "dir/../f"}) {
        auto handle = open(path, "r");
        ASSERT_TRUE(Ok(handle)) << path;
        EXPECT_EQ(handle->id(), f) << path;
        EXPECT_EQ(flag(), 1);
    }
    auto created = open("/notes.txt", "w", true);
    ASSERT_TRUE(Ok(created));
    const InodeId notes = created->id().value();
    EXPECT_EQ(fs->lookup(notes)->parent, kRootId);
    EXPECT_EQ(created->offset(), 0u);
    EXPECT_TRUE(test::contents_of(*fs, notes).empty());

    // A handle keeps the id it was opened with; open_raw opens the id links lead to.
    const InodeId link = fs->create_inode(kRootId, make_name("l"), Symlink{f}).value();
    auto by_link = FileHandle::make(fs, link, test::mode("w"));
    ASSERT_TRUE(Ok(by_link));
    EXPECT_EQ(by_link->id(), link);
    EXPECT_EQ(flag(), -1);
    ASSERT_TRUE(Ok(by_link->write(bytes("via"))));
    ASSERT_TRUE(Ok(by_link->close()));
    auto raw = FileSystem::open_raw(fs, link, test::mode("r"));
    ASSERT_TRUE(Ok(raw));
    EXPECT_EQ(raw->id(), f);
    EXPECT_EQ(contents(), bytes("via"));
}

// Every operation of an open handle finds its node as a lookup by id would: one released
// from the table behind the handle's back is gone, whether the id names it or a link.
TEST_F(FileHandleTest, OperationsMissAFileReleasedBehindTheHandle) {
    ASSERT_TRUE(Ok(fs->touch("g")));
    const InodeId g = id_of(*fs, "g");
    const InodeId to_g = fs->create_inode(kRootId, make_name("l"), Symlink{g}).value();
    auto by_path = open("/g", "r");
    auto by_link = FileHandle::make(fs, to_g, test::mode("r"));
    ASSERT_TRUE(Ok(by_path) && Ok(by_link));
    fs->release_inode_id(g);
    for (FileHandle *handle : {&*by_path, &*by_link}) {
        std::uint8_t buffer[1];
        EXPECT_EQ(error_of(handle->read(buffer)), K::InodeNotFound);
        EXPECT_EQ(error_of(handle->seek(SeekOrigin::Start, 0)), K::InodeNotFound);
        EXPECT_EQ(error_of(handle->close()), K::InodeNotFound);
    }
}

TEST_F(FileHandleTest, RefusedOperationsChangeNothing) {
    fill("0123456789");
    for (const char *mode : {"", "r", "w", "rw"}) {
        for (const bool closed : {false, true}) {
            SCOPED_TRACE(std::string(mode) + (closed ? " closed" : " open"));
            auto handle = open("f", mode);
            ASSERT_TRUE(Ok(handle) && Ok(handle->seek(SeekOrigin::Start, 3)));
            if (closed) {
                ASSERT_TRUE(Ok(handle->close()));
            }
            // Being closed is reported before the mode is looked at.
            const auto refused = [&](const char *operation) {
                return closed ? IoError(K::InvalidFileDescriptor)
                              : IoError::operation_not_supported(operation);
            };
            Bytes buffer(4);
            if (closed || !handle->type().can_read()) {
                EXPECT_EQ(error_of(handle->read(buffer)), refused("read"));
            }
            if (closed || !handle->type().can_write()) {
                EXPECT_EQ(error_of(handle->write(bytes("xy"))), refused("write"));
            }
            if (closed) {
                EXPECT_EQ(error_of(handle->seek(SeekOrigin::Start, 0)), refused(""));
                EXPECT_EQ(error_of(handle->close()), refused(""));
            }
            EXPECT_EQ(handle->offset(), 3u);
            EXPECT_EQ(contents(), bytes("0123456789"));
        }
    }
}

TEST_F(FileHandleTest, ReadsMoveTheOffsetByWhatWasCopied) {
    fill("0123456789");
    auto handle = open("f", "r");
    ASSERT_TRUE(Ok(handle));
    EXPECT_EQ(handle->read(std::span<std::uint8_t>()).value(), 0u);
    EXPECT_EQ(handle->offset(), 0u);
    const std::pair<std::size_t, const char *> steps[] = {
        {4, "0123"}, {4, "4567"}, {2, "89__"}, {0, "____"}};
    for (const auto &[count, seen] : steps) {
        Bytes buffer = bytes("____");
        EXPECT_EQ(handle->read(buffer).value(), count);
        EXPECT_EQ(buffer, bytes(seen));
    }
    EXPECT_EQ(handle->offset(), 10u);

    ASSERT_TRUE(Ok(handle->seek(SeekOrigin::Start, 2)));
    std::string taken;
    const auto sink = [&](std::span<const std::uint8_t> part) {
        taken.assign(part.begin(), part.end());
        return true;
    };
    EXPECT_EQ(handle->read_with(5, sink).value(), 5u);
    EXPECT_EQ(taken, "23456");
    EXPECT_EQ(handle->read_with(100, [](auto part) { return part.size() == 99; }).value(), 0u);
    EXPECT_EQ(handle->offset(), 7u); // a refusing sink leaves the offset
    EXPECT_EQ(handle->read_with(100, sink).value(), 3u);
    EXPECT_EQ(taken, "789");
}

TEST_F(FileHandleTest, WritesGrowOrOverwriteWithoutMovingTheOffset) {
    auto handle = open("f", "rw");
    ASSERT_TRUE(Ok(handle));
    EXPECT_EQ(handle->write(bytes("ab")).value(), 2u);
    EXPECT_EQ(handle->write(bytes("cd")).value(), 2u);
    EXPECT_EQ(contents(), bytes("cd"));
    ASSERT_TRUE(Ok(handle->seek(SeekOrigin::Current, 2)));
    ASSERT_TRUE(Ok(handle->write(bytes("efg"))));
    EXPECT_EQ(handle->offset(), 2u);
    EXPECT_EQ(contents(), bytes("cdefg"));
    ASSERT_TRUE(Ok(handle->seek(SeekOrigin::Start, 0)));
    ASSERT_TRUE(Ok(handle->write(bytes("XY"))));
    EXPECT_EQ(contents(), bytes("XYefg"));
    EXPECT_EQ(handle->write(Bytes()).value(), 0u);
    EXPECT_EQ(contents(), bytes("XYefg"));
    // Appending past the inline storage keeps every byte.
    const std::string tail(40, 't');
    ASSERT_TRUE(Ok(handle->seek(SeekOrigin::End, 0)));
    ASSERT_TRUE(Ok(handle->write(bytes(tail))));
    EXPECT_EQ(contents(), bytes("XYefg" + tail));
    ASSERT_TRUE(Ok(handle->seek(SeekOrigin::Start, 1)));
    Bytes buffer(3);
    EXPECT_EQ(handle->read(buffer).value(), 3u);
    EXPECT_EQ(buffer, bytes("Yef"));
}

TEST_F(FileHandleTest, TruncateCutsOrZeroFillsAndKeepsTheOffsetInside) {
    fill("0123456789");
    auto handle = open("f", "rw");
    ASSERT_TRUE(Ok(handle));
    ASSERT_TRUE(Ok(handle->seek(SeekOrigin::Start, 8)));
    ASSERT_TRUE(Ok(handle->truncate(4)));
    EXPECT_EQ(contents(), bytes("0123"));
    EXPECT_EQ(handle->offset(), 4u);
    ASSERT_TRUE(Ok(handle->truncate(100))); // past the inline storage
    EXPECT_EQ(contents(), bytes("0123" + std::string(96, '\0')));
    EXPECT_EQ(handle->offset(), 4u);
    ASSERT_TRUE(Ok(handle->truncate(0)));
    EXPECT_EQ(contents(), Bytes());
    ASSERT_TRUE(Ok(handle->close()));

    for (const char *mode : {"", "r"}) {
        auto reader = open("f", mode);
        ASSERT_TRUE(Ok(reader));
        EXPECT_EQ(error_of(reader->truncate(0)), IoError::operation_not_supported("truncate"));
        ASSERT_TRUE(Ok(reader->close()));
        EXPECT_EQ(error_of(reader->truncate(0)), K::InvalidFileDescriptor);
    }
    EXPECT_EQ(flag(), 0);
}

TEST_F(FileHandleTest, SeekClampsIntoTheFileFromEachOrigin) {
    fill("0123456789");
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    const struct {
        std::uint64_t from;
        SeekOrigin origin;
        std::uint64_t distance;
        std::uint64_t want;
    } rows[] = {{5, SeekOrigin::Start, 0, 0},       {0, SeekOrigin::Start, 4, 4},
                {0, SeekOrigin::Start, 100, 10},    {0, SeekOrigin::Start, kMax, 10},
                {0, SeekOrigin::End, 0, 10},        {0, SeekOrigin::End, 3, 7},
                {0, SeekOrigin::End, 10, 0},        {9, SeekOrigin::End, 20, 0},
                {4, SeekOrigin::End, kMax, 0},      {8, SeekOrigin::Current, 5, 10},
                {4, SeekOrigin::Current, 0, 4},     {4, SeekOrigin::Current, 3, 7},
                {5, SeekOrigin::Current, kMax, 10}, {10, SeekOrigin::Current, kMax - 9, 10}};
    auto handle = open("f", ""); // seeking needs neither read nor write
    ASSERT_TRUE(Ok(handle));
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message()
                     << row.from << " " << static_cast<int>(row.origin) << " " << row.distance);
        ASSERT_TRUE(Ok(handle->seek(SeekOrigin::Start, row.from)));
        ASSERT_TRUE(Ok(handle->seek(row.origin, row.distance)));
        EXPECT_EQ(handle->offset(), row.want);
    }
}

TEST_F(FileHandleTest, Rendering) {
    fill("ab");
    auto handle = open("f", "r");
    ASSERT_TRUE(Ok(handle));
    ASSERT_TRUE(Ok(handle->seek(SeekOrigin::End, 0)));
    EXPECT_EQ(handle->render(), "FileHandle { id: Some(" + std::to_string(f) +
                                    "), type: FileHandleType(READ), fs: " + fs->render() +
                                    ", offset: 2 }");
    ASSERT_TRUE(Ok(handle->close()));
    EXPECT_EQ(handle->render(), "FileHandle { id: None, type: FileHandleType(READ), fs: " +
                                    fs->render() + ", offset: 2 }");
}

TEST_F(FileHandleTest, LocksGoBackOnCloseDestructionAndMoves) {
    auto first = open("f", "r");
    auto second = open("f", "r");
    ASSERT_TRUE(Ok(first) && Ok(second));
    ASSERT_TRUE(Ok(first->close()));
    EXPECT_EQ(flag(), 1);
    EXPECT_EQ(error_of(open("f", "w")), K::ResourceCurrentInUse);
    Bytes one(1);
    EXPECT_EQ(second->read(one).value(), 0u);
    {
        FileHandle moved(std::move(*second));
        EXPECT_FALSE(second->is_open());
        EXPECT_EQ(flag(), 1);
    }
    EXPECT_EQ(flag(), 0);
    EXPECT_EQ(error_of(second->close()), K::InvalidFileDescriptor);

    auto writer = open("f", "w");
    ASSERT_TRUE(Ok(writer));
    auto reader_of_other = open("/other", "r", true);
    ASSERT_TRUE(Ok(reader_of_other));
    const InodeId other = reader_of_other->id().value();
    *reader_of_other = std::move(*writer); // the overwritten handle gives its lock back
    EXPECT_EQ(test::flag_of(*fs, other), 0);
    EXPECT_EQ(flag(), -1);
    reader_of_other = Result<FileHandle>(IoErrorKind::NotAFile); // destroys the writer
    EXPECT_EQ(flag(), 0);

    // A handle keeps its file system alive.
    auto last = open("f", "rw");
    ASSERT_TRUE(Ok(last));
    std::weak_ptr<FileSystem> alive = fs;
    fs.reset();
    ASSERT_TRUE(Ok(last->write(bytes("kept"))));
    EXPECT_EQ(test::contents_of(*alive.lock(), f), bytes("kept"));
}

TEST_F(FileHandleTest, AssigningOverAHandleWhoseLockWasBrokenDropsTheViolation) {
    auto broken = open("f", "r");
    ASSERT_TRUE(Ok(broken));
    // Someone else gives the shared hold back, so closing `broken` finds the word free.
    fs->lookup(f)->as_file()->lock.release_shared();
    ASSERT_TRUE(Ok(fs->touch("g")));
    auto other = open("g", "r");
    ASSERT_TRUE(Ok(other));
    *broken = std::move(*other); // noexcept: must not throw (and terminate) on the way
    EXPECT_EQ(broken->id(), id_of(*fs, "g"));
    EXPECT_FALSE(other->is_open());
}

} // namespace
} // namespace quorvex::fs
