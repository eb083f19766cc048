#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "fs/epoch.hpp"
#include "fs_test_util.hpp"

namespace quorvex::fs {
namespace {

using test::error_of;
using test::Ok;

std::int64_t mtime_of(const FileSystem &fs, std::string_view path) {
    return fs.stat(path).value().mtime_ns;
}

TEST(StatTest, KindSizeIdAndTimes) {
    auto fs = FileSystem::make();
    ASSERT_TRUE(Ok(fs->mkdir("/d")) && Ok(fs->touch("/d/f")) && Ok(fs->touch("/d/g")));
    const NodeStat directory = fs->stat("/d").value();
    EXPECT_EQ(directory.kind, NodeStat::Kind::Directory);
    EXPECT_EQ(directory.size, 2u);
    EXPECT_EQ(directory.id, 1u);
    EXPECT_GT(directory.birth_ns, 0);
    // A writer holds the file: stat still answers, and sees its bytes.
    auto writer = FileSystem::open(fs, "/d/f", test::mode("w"), false);
    ASSERT_TRUE(Ok(writer) && Ok(writer->write(test::bytes("hello"))));
    const NodeStat file = fs->stat("d\\f").value();
    EXPECT_EQ(file.kind, NodeStat::Kind::File);
    EXPECT_EQ(file.size, 5u);
    EXPECT_EQ(writer->stat().value().id, file.id);
    EXPECT_EQ(error_of(fs->stat("/d/missing")), IoError(IoErrorKind::InodeNotFound));
    EXPECT_EQ(error_of(fs->stat("/d/f/x")), IoError(IoErrorKind::NotADirectory));
    ASSERT_TRUE(Ok(writer->close()));
    EXPECT_EQ(error_of(writer->stat()), IoError(IoErrorKind::InvalidFileDescriptor));
}

// Each change stamps the node it changes, and nothing else; the clock is coarse, so every
// node starts from a time set far in the past.
TEST(StatTest, ChangesStampTheirNode) {
    auto fs = FileSystem::make();
    ASSERT_TRUE(Ok(fs->mkdir("/d")) && Ok(fs->touch("/d/f")));
    auto handle = FileSystem::open(fs, "/d/f", test::mode("w"), false);
    ASSERT_TRUE(Ok(handle));
    const auto reset = [&] {
        ASSERT_TRUE(Ok(fs->set_times("/d", -1)) && Ok(fs->set_times("/d/f", -1)));
    };
    const auto changed = [&](std::string_view path) { return mtime_of(*fs, path) > 0; };

    reset();
    ASSERT_TRUE(Ok(handle->write({})));
    EXPECT_FALSE(changed("/d/f")) << "a write of nothing changes nothing";
    ASSERT_TRUE(Ok(handle->write(test::bytes("ab"))));
    EXPECT_TRUE(changed("/d/f"));
    EXPECT_FALSE(changed("/d"));
    for (const std::uint64_t size : {1u, 1u, 9u}) {
        reset();
        ASSERT_TRUE(Ok(handle->truncate(size)));
        EXPECT_TRUE(changed("/d/f"));
    }
    for (const auto &change : {+[](FileSystem &fs) { return fs.touch("/d/g"); },
                               +[](FileSystem &fs) { return fs.rm("/d/g", false); }}) {
        reset();
        ASSERT_TRUE(Ok(change(*fs)));
        EXPECT_TRUE(changed("/d"));
        EXPECT_FALSE(changed("/d/f"));
    }
    reset();
    EXPECT_EQ(error_of(fs->touch("/d/f")), IoError(IoErrorKind::ResourceAlreadyExists));
    EXPECT_FALSE(changed("/d")) << "a failed creation";
}

TEST(UsageTest, CountsBytesAndNodesUntilTheMemoryGoes) {
    auto fs = FileSystem::make();
    using Pair = std::pair<std::uint64_t, std::uint64_t>;
    const auto usage = [&] {
        const Usage::Counts counts = fs->usage().counts();
        return Pair(counts.bytes, counts.nodes);
    };
    EXPECT_EQ(usage(), Pair(0, 1)) << "the root counts";
    ASSERT_TRUE(Ok(fs->mkdir("/d")));
    auto handle = FileSystem::open(fs, "/d/f", test::mode("w"), true);
    ASSERT_TRUE(Ok(handle) && Ok(handle->write(test::bytes("12345"))));
    ASSERT_TRUE(Ok(handle->truncate(3)));
    EXPECT_EQ(usage(), Pair(3, 3));
    ASSERT_TRUE(Ok(handle->close()));
    // A node kept alive beyond its removal counts until its last share goes.
    INodeRef kept = fs->lookup(2);
    ASSERT_TRUE(Ok(fs->rm("/d", true)));
    EXPECT_EQ(usage(), Pair(3, 2));
    kept.reset();
    EXPECT_EQ(usage(), Pair(0, 1));
}

TEST(UsageTest, EveryGrowingOperationStopsAtTheLimits) {
    auto fs = FileSystem::make();
    ASSERT_TRUE(Ok(fs->mkdir("/d")));
    auto handle = FileSystem::open(fs, "/d/f", test::mode("w"), true);
    ASSERT_TRUE(Ok(handle) && Ok(handle->write(test::bytes("1234"))));
    ASSERT_TRUE(Ok(fs->set_limits(6, 3)));
    const IoError full(IoErrorKind::NoSpaceLeft);
    // Bytes: a write past the end and an extension fail whole; a write inside does not.
    EXPECT_EQ(error_of(handle->write(test::bytes("abcdefg"))), full);
    EXPECT_EQ(error_of(handle->truncate(7)), full);
    EXPECT_EQ(test::contents_of(*fs, 2), test::bytes("1234"));
    ASSERT_TRUE(Ok(handle->write(test::bytes("abcdef"))));
    EXPECT_EQ(fs->usage().counts().bytes, 6u);
    // Nodes: every way of creating one; an existing name is still reported as such.
    EXPECT_EQ(error_of(fs->mkdir("/e")), full);
    EXPECT_EQ(error_of(fs->touch("/e")), full);
    EXPECT_EQ(error_of(FileSystem::open(fs, "/e", test::mode("w"), true)), full);
    EXPECT_EQ(error_of(fs->mkdir("/d")), IoError(IoErrorKind::ResourceAlreadyExists));
    EXPECT_EQ(fs->render().find("\"e\""), std::string::npos);
    // A limit below the usage is refused and leaves both limits as they were.
    EXPECT_EQ(error_of(fs->set_limits(5, std::nullopt)), full);
    EXPECT_EQ(error_of(fs->set_limits(std::nullopt, 2)), full);
    EXPECT_EQ(fs->usage().limits().bytes, 6u);
    ASSERT_TRUE(Ok(fs->set_limits(std::nullopt, std::nullopt)));
    EXPECT_TRUE(Ok(fs->mkdir("/e")));
}

TEST(UsageTest, ThreadsRacingAtTheLimitNeverPassItTogether) {
    auto fs = FileSystem::make();
    constexpr int kThreads = 4;
    constexpr std::uint64_t kNodes = 50;
    ASSERT_TRUE(Ok(fs->set_limits(std::nullopt, kNodes)));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i)
                (void)fs->touch("/n" + std::to_string(t) + "_" + std::to_string(i));
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(fs->usage().counts().nodes, kNodes);
    EXPECT_EQ(fs->inode_count(), kNodes);
}

// Without a limit each thread counts apart; nodes are made and written on some threads
// and destroyed on others while another thread sets and lifts a limit, and the usage
// still comes out exact, both at rest and as the base of a limit set at it.
TEST(UsageTest, ExactAcrossThreadsWhileLimitsComeAndGo) {
    auto fs = FileSystem::make();
    constexpr int kThreads = 3;
    constexpr int kFiles = 40;
    std::atomic<bool> done{false};
    // A node made on one thread and destroyed on another never shows as less than none.
    std::thread toggler([&] {
        while (!done.load()) {
            ASSERT_TRUE(Ok(fs->set_limits(std::uint64_t{1} << 40, std::nullopt)));
            ASSERT_TRUE(Ok(fs->set_limits(std::nullopt, std::nullopt)));
            const Usage::Counts now = fs->usage().counts();
            ASSERT_LE(now.nodes, std::uint64_t{kThreads * kFiles + 1});
            ASSERT_LE(now.bytes, std::uint64_t{3 * kThreads * kFiles});
        }
    });
    const auto path = [](int t, int i) {
        return "/f" + std::to_string(t) + "_" + std::to_string(i);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kFiles; ++i) {
                auto handle = FileSystem::open(fs, path(t, i), test::mode("w"), true);
                ASSERT_TRUE(Ok(handle) && Ok(handle->write(test::bytes("abc"))));
                ASSERT_TRUE(Ok(handle->close()));
                // The previous thread's file of the same number, when it is there yet.
                (void)fs->rm(path((t + 1) % kThreads, i), false);
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    done = true;
    toggler.join();
    const std::uint64_t nodes = fs->inode_count();
    const Usage::Counts counts = fs->usage().counts();
    EXPECT_EQ(counts.nodes, nodes);
    EXPECT_EQ(counts.bytes, 3 * (nodes - 1));
    ASSERT_TRUE(Ok(fs->set_limits(counts.bytes, counts.nodes)));
    EXPECT_EQ(error_of(fs->touch("/one_more")), IoError(IoErrorKind::NoSpaceLeft));
    ASSERT_TRUE(Ok(fs->set_limits(counts.bytes, counts.nodes + 1)));
    EXPECT_TRUE(Ok(fs->touch("/one_more")));
}

// A removal frees its node at once unless a lookup without locks runs beside it: threads
// that take turns, as under a global interpreter lock, see the usage fall with each
// removal, and so does a thread left alone after others looked up beside it.
TEST(UsageTest, RemovalFreesAtOnceWhenNoLookupRunsBeside) {
    auto fs = FileSystem::make();
    constexpr int kFiles = 40;
    for (int i = 0; i < kFiles; ++i)
        ASSERT_TRUE(Ok(fs->touch("/f" + std::to_string(i))));
    const auto nodes = [&] { return fs->usage().counts().nodes; };
    const auto remove = [&](int i) { ASSERT_TRUE(Ok(fs->rm("/f" + std::to_string(i), false))); };
    std::promise<void> ready, go, guarding, leave;
    std::thread other([&] {
        ASSERT_TRUE(Ok(fs->touch("/t")));
        ready.set_value();
        go.get_future().wait();
        const std::uint64_t before = nodes();
        ASSERT_TRUE(Ok(fs->rm("/t", false)));
        EXPECT_EQ(nodes(), before - 1);
        const epoch::Guard guard;
        guarding.set_value();
        leave.get_future().wait();
    });
    ready.get_future().wait();
    for (int i = 0; i < 20; ++i) {
        remove(i);
        EXPECT_EQ(nodes(), static_cast<std::uint64_t>(kFiles + 1 - i));
    }
    go.set_value();
    guarding.get_future().wait();
    // The other thread is inside a lookup: these wait for it.
    for (int i = 20; i < 30; ++i)
        remove(i);
    EXPECT_EQ(nodes(), std::uint64_t{kFiles + 1 - 20});
    leave.set_value();
    other.join();
    remove(30);
    EXPECT_EQ(nodes(), std::uint64_t{kFiles + 1 - 31});
}

TEST(TreeTest, DirectoriesFirstEachFollowedByItsSubtree) {
    auto fs = FileSystem::make();
    for (const char *path : {"/docs", "/docs/old"})
        ASSERT_TRUE(Ok(fs->mkdir(path)));
    ASSERT_TRUE(Ok(fs->touch("/readme")) && Ok(fs->touch("/docs/a.txt")));
    EXPECT_EQ(render_tree(*fs, "/").value(), "docs/\n  old/\n  a.txt\nreadme\n");
    EXPECT_EQ(render_tree(*fs, "\\docs\\", "--").value(), "--old/\n--a.txt\n");
    EXPECT_EQ(error_of(render_tree(*fs, "/readme")), IoError(IoErrorKind::NotADirectory));
}

} // namespace
} // namespace quorvex::fs
