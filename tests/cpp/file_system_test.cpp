#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "fs_test_util.hpp"

namespace quorvex::fs {
namespace {

using test::error_of;
using test::id_of;
using test::Ok;
using K = IoErrorKind;

class FileSystemTest : public testing::Test {
  protected:
    InodeId link(InodeId parent, const std::string &name, InodeId target) {
        return fs->create_inode(parent, make_name(name), Symlink{target}).value();
    }

    std::shared_ptr<FileSystem> fs = FileSystem::make();
};

// The cut falls after the last '/' or '\', whatever bytes surround it: bytes that differ
// from a separator only in their top bit, or that are zero, must not count.
TEST(SplitLastComponent, CutsAtTheLastSeparator) {
    constexpr char kAlphabet[] = {'/', '\\', 'a', '.', '\0', '\xaf', '\xdc', '\x7f'};
    std::mt19937 random(11);
    for (int round = 0; round < 20'000; ++round) {
        std::string path(random() % 41, 'a');
        for (char &c : path)
            c = kAlphabet[random() % sizeof kAlphabet];
        const std::size_t last = path.find_last_of("/\\");
        const SplitPath split = split_last_component(path);
        if (last == std::string::npos) {
            EXPECT_EQ(split.parent.data(), nullptr);
            EXPECT_EQ(split.name, path);
        } else {
            EXPECT_EQ(split.parent, std::string_view(path).substr(0, last));
            EXPECT_EQ(split.name, std::string_view(path).substr(last + 1));
        }
    }
}

TEST_F(FileSystemTest, ResolvesPaths) {
    ASSERT_TRUE(Ok(fs->mkdir("a")));
    ASSERT_TRUE(Ok(fs->mkdir("a/b")));
    ASSERT_TRUE(Ok(fs->touch("/a/f")));
    const InodeId a = 1, b = 2, f = 3;
    // clang-format off
    const struct {
        const char *path;
        Result<InodeId> want;
    } rows[] = {
        {"", kRootId}, {"/", kRootId}, {"\\", kRootId}, {"..", kRootId}, {"../..", kRootId},
        {"/./.", kRootId}, {"a", a}, {"/a", a}, {"a/b", b}, {"a\\b", b}, {"\\a/b\\", b},
        {"//a//b//", b}, {"/a/./b/../b", b}, {"a/b/..", a}, {"a/b/../..", kRootId}, {"a/f", f},
        {"a/f/.", f}, {"a/f/..", a}, {"a/f/x", K::NotADirectory}, {"a/f/x/..", K::NotADirectory},
        {"a/missing", K::InodeNotFound}, {"missing/..", K::InodeNotFound}, {"A", K::InodeNotFound}};
    // clang-format on
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        const auto got = fs->get_inode_by_path_raw(row.path);
        EXPECT_EQ(error_of(got), error_of(row.want));
        if (got && row.want) {
            EXPECT_EQ(got.value(), row.want.value());
        }
    }
}

// A component matches a name only whole: not a prefix of it, not with more after it;
// names that start with dots and names too long to be stored inline included.
TEST_F(FileSystemTest, ComponentsMatchWholeNames) {
    const std::string long_name(30, 'n');
    for (const std::string name : {"d", "dd", ".h", "..x", long_name.c_str()})
        ASSERT_TRUE(Ok(fs->mkdir(name)));
    ASSERT_TRUE(Ok(fs->mkdir(long_name + "y")));
    ASSERT_TRUE(Ok(fs->touch("d/f")));
    const InodeId d = 1, dd = 2, dot_h = 3, dots_x = 4, n = 5, ny = 6, f = 7;
    const struct {
        std::string path;
        Result<InodeId> want;
    } rows[] = {{"d", d},
                {"dd", dd},
                {"ddd", K::InodeNotFound},
                {"d/f", f},
                {"d/f/", f},
                {"d//f", f},
                {"d/ff", K::InodeNotFound},
                {".h", dot_h},
                {".h/..", kRootId},
                {"..x", dots_x},
                {"...", K::InodeNotFound},
                {"./../d", d},
                {long_name, n},
                {"/" + long_name + "/", n},
                {long_name + "y", ny},
                {long_name.substr(1), K::InodeNotFound},
                {long_name + "yy", K::InodeNotFound}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        const auto got = fs->get_inode_by_path_raw(row.path);
        EXPECT_EQ(error_of(got), error_of(row.want));
        if (got && row.want) {
            EXPECT_EQ(got.value(), row.want.value());
        }
    }
}

TEST_F(FileSystemTest, CreationFailuresAndTheIdsTheyUseUp) {
    const struct {
        bool directory;
        const char *path;
        std::optional<IoError> want;
        std::uint64_t ids_used;
    } rows[] = {
        {true, "", K::ResourceAlreadyExists, 0},   {true, "/", K::ResourceAlreadyExists, 0},
        {false, ".", K::ResourceAlreadyExists, 0}, {false, "a/..", K::ResourceAlreadyExists, 0},
        {false, "x/..", K::InodeNotFound, 0},      {true, "x/y", K::InodeNotFound, 0},
        {true, "a", K::ResourceAlreadyExists, 1},  {false, "/a", K::ResourceAlreadyExists, 1},
        {true, "f/g", K::NotADirectory, 1},        {false, "a\\g", std::nullopt, 1}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        fs = FileSystem::make();
        ASSERT_TRUE(Ok(fs->mkdir("a")) && Ok(fs->touch("f")));
        const std::string before = fs->render();
        const std::uint64_t next = fs->next_inode_id();
        EXPECT_EQ(error_of(row.directory ? fs->mkdir(row.path) : fs->touch(row.path)), row.want);
        EXPECT_EQ(fs->next_inode_id(), next + row.ids_used);
        if (row.want) { // a failure leaves everything but the counter as it was
            const std::string tree = before.substr(0, before.rfind("next_inode_id"));
            EXPECT_EQ(fs->render(),
                      tree + "next_inode_id: " + std::to_string(next + row.ids_used) + " }");
        }
    }
}

TEST_F(FileSystemTest, CreationReportsTheFirstApplicableFailure) {
    InodeId above = kRootId;
    for (std::uint64_t i = 1; i < kMaxDepth; ++i) {
        above = fs->create_inode(above, make_name("d"), Directory{}).value();
    }
    const InodeId deepest = fs->create_inode(above, make_name("d"), Directory{}).value();
    const InodeId deep_file = fs->create_inode(above, make_name("x"), File{}).value();
    ASSERT_TRUE(Ok(fs->touch("f")));
    const InodeId f = id_of(*fs, "f");
    const InodeId never = 1000;
    // clang-format off
    const struct {
        InodeId parent;
        const char *name;
        IoError want;
        std::uint64_t ids_used;
    } rows[] = {
        {never, "", K::ResourceAlreadyExists, 0}, // a bad name before a missing parent
        {never, "a/b", K::ResourceAlreadyExists, 0}, {kRootId, "a\\b", K::ResourceAlreadyExists, 0},
        {never, "f", K::InodeNotFound, 1},        // a missing parent before an existing name
        {kRootId, "f", K::ResourceAlreadyExists, 1}, {above, "x", K::ResourceAlreadyExists, 1},
        {deepest, "y", K::MaxRecursionDepthExceeded, 1},
        {deep_file, "y", K::MaxRecursionDepthExceeded, 1}, // depth before the parent's kind
        {f, "y", K::NotADirectory, 1}};
    // clang-format on
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.parent) + "/" + row.name);
        const std::uint64_t next = fs->next_inode_id();
        EXPECT_EQ(error_of(fs->create_inode(row.parent, make_name(row.name), File{})), row.want);
        EXPECT_EQ(fs->next_inode_id(), next + row.ids_used);
    }
    // Paths of 64 levels resolve both ways; a 65th level is refused through paths too.
    const std::string path = fs->get_path_by_inode(deepest).value();
    EXPECT_EQ(path.size(), 2 * kMaxDepth);
    EXPECT_EQ(id_of(*fs, path), deepest);
    EXPECT_EQ(error_of(fs->mkdir(path + "/e")), K::MaxRecursionDepthExceeded);
}

TEST_F(FileSystemTest, NameLookupsAndKinds) {
    ASSERT_TRUE(Ok(fs->mkdir("a")));
    ASSERT_TRUE(Ok(fs->touch("a/f")));
    const InodeId a = id_of(*fs, "a"), f = id_of(*fs, "a/f");
    // "", "." and ".." need no directory, so they work on a file.
    EXPECT_EQ(fs->find_inode_by_name(f, "..").value(), a);
    EXPECT_EQ(fs->find_inode_by_name(f, ".").value(), f);
    EXPECT_EQ(fs->find_inode_by_name(f, "").value(), f);
    EXPECT_EQ(error_of(fs->find_inode_by_name(f, "x")), K::NotADirectory);
    EXPECT_EQ(fs->find_inode_by_name(a, "f").value(), f);
    EXPECT_EQ(error_of(fs->find_inode_by_name(a, "F")), K::InodeNotFound);
    EXPECT_EQ(error_of(fs->find_inode_by_name(99, ".")), K::InodeNotFound);

    EXPECT_TRUE(fs->is_file_raw(f).value());
    EXPECT_FALSE(fs->is_directory_raw(f).value());
    EXPECT_TRUE(fs->is_directory_raw(a).value());
    EXPECT_FALSE(fs->is_file_raw(kRootId).value());
    EXPECT_EQ(error_of(fs->is_file_raw(99)), K::InodeNotFound);
    EXPECT_EQ(error_of(fs->is_directory_raw(99)), K::InodeNotFound);

    ASSERT_TRUE(Ok(fs->mkdir("a/é\tb")));
    EXPECT_EQ(fs->get_path_by_inode(id_of(*fs, "a\\é\tb")).value(), "/a/é\tb");
    EXPECT_EQ(fs->get_path_by_inode(kRootId).value(), "/");
    EXPECT_EQ(error_of(fs->get_path_by_inode(99)), K::InodeNotFound);
}

TEST_F(FileSystemTest, ListsFilesThenDirectoriesInCreationOrder) {
    EXPECT_TRUE(fs->ls_raw(kRootId)->files.empty());
    EXPECT_TRUE(fs->ls_raw(kRootId)->directories.empty());
    for (const auto &[name, directory] :
         {std::pair{"b", false}, {"a", true}, {"c", false}, {"e", true}, {"d", false}}) {
        ASSERT_TRUE(Ok(directory ? fs->mkdir(name) : fs->touch(name)));
    }
    const Listing listing = fs->ls_raw(kRootId).value();
    EXPECT_EQ(listing.files, (std::vector<std::string>{"b", "c", "d"}));
    EXPECT_EQ(listing.directories, (std::vector<std::string>{"a", "e"}));
    EXPECT_EQ(test::children_of(*fs, kRootId), (std::vector<InodeId>{1, 2, 3, 4, 5}));
    EXPECT_EQ(error_of(fs->ls_raw(id_of(*fs, "b"))), K::NotADirectory);
    EXPECT_EQ(error_of(fs->ls_raw(fs->next_inode_id())), K::InodeNotFound);

    // Releasing an absent id changes nothing; an entry gone from the table behind its
    // directory's back is left out of listings, and its id is not handed out again.
    const std::string before = fs->render();
    fs->release_inode_id(77);
    EXPECT_EQ(fs->render(), before);
    fs->release_inode_id(id_of(*fs, "c"));
    EXPECT_EQ(fs->ls_raw(kRootId)->files, (std::vector<std::string>{"b", "d"}));
    EXPECT_EQ(fs->create_inode(kRootId, make_name("c"), File{}).value(), 6u);
}

TEST_F(FileSystemTest, LargeDirectoriesAnswerAsAScanWould) {
    // Enough entries to outgrow a short list, then enough removals to compact it.
    const auto name = [](int i) { return "e" + std::to_string(i); };
    for (int i = 0; i < 80; ++i)
        ASSERT_TRUE(Ok(fs->touch(name(i))));
    std::vector<std::string> kept;
    for (int i = 0; i < 80; ++i) {
        if (i % 4 == 0) {
            kept.push_back(name(i));
        } else {
            ASSERT_TRUE(Ok(fs->rm(name(i), false)));
        }
    }
    ASSERT_TRUE(Ok(fs->touch("e1")));
    kept.push_back("e1");
    EXPECT_EQ(fs->ls_raw(kRootId)->files, kept);
    for (int i = 0; i < 80; ++i) {
        const auto found = fs->find_inode_by_name(kRootId, name(i));
        if (i % 4 == 0 || i == 1) {
            EXPECT_EQ(fs->lookup(found.value())->name_view(), name(i));
        } else {
            EXPECT_EQ(error_of(found), K::InodeNotFound) << i;
        }
    }
    EXPECT_EQ(error_of(fs->touch("e4")), K::ResourceAlreadyExists);
    // A link, found by its target's name: the target itself still comes first.
    const InodeId e8 = id_of(*fs, "e8");
    link(kRootId, "zz", e8);
    EXPECT_EQ(fs->find_inode_by_name(kRootId, "e8").value(), e8);
    EXPECT_EQ(error_of(fs->touch("e8")), K::ResourceAlreadyExists);
    EXPECT_EQ(error_of(fs->touch("zz")), K::ResourceAlreadyExists);
    EXPECT_TRUE(Ok(fs->touch("e2")));
}

// Lists across the switch from inline slots to the heap keep creation order through
// removals at every position; names on both sides of the inline limit come back whole.
class ChildOrderTest : public testing::TestWithParam<int> {};

TEST_P(ChildOrderTest, RemovalsAndCreationsKeepCreationOrder) {
    const int count = GetParam();
    auto fs = FileSystem::make();
    const auto name = [](int i) {
        return (i % 3 ? std::string(Name::kInline - 1 + i % 3, 'x') : "") + std::to_string(i);
    };
    std::vector<std::string> model;
    for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(Ok(fs->touch(name(i))));
        model.push_back(name(i));
    }
    for (int step = 0; !model.empty(); ++step) {
        const std::size_t victim = (static_cast<std::size_t>(step) * 5) % model.size();
        ASSERT_TRUE(Ok(fs->rm(model[victim], false)));
        model.erase(model.begin() + static_cast<std::ptrdiff_t>(victim));
        if (step % 3 == 0) {
            ASSERT_TRUE(Ok(fs->touch(name(count + step))));
            model.push_back(name(count + step));
        }
        ASSERT_EQ(fs->ls_raw(kRootId)->files, model) << "step " << step;
        for (const std::string &kept : model)
            ASSERT_EQ(fs->lookup(id_of(*fs, kept))->name_view(), kept);
    }
}

INSTANTIATE_TEST_SUITE_P(AroundTheInlineLimit, ChildOrderTest,
                         testing::Values(1, 7, 8, 9, 16, 33, 70),
                         [](const auto &info) { return "Children" + std::to_string(info.param); });

TEST_F(FileSystemTest, SymlinksAreFollowedAndCyclesEnd) {
    ASSERT_TRUE(Ok(fs->mkdir("a")));
    ASSERT_TRUE(Ok(fs->touch("a/x")));
    const InodeId a = id_of(*fs, "a");
    // A chain of 40 links still resolves; one more link is too many.
    InodeId head = a;
    for (int i = 0; i < kMaxSymlinkHops; ++i)
        head = link(kRootId, std::to_string(i), head);
    EXPECT_EQ(fs->get_inode_raw(head).value(), a);
    EXPECT_TRUE(fs->is_directory_raw(head).value());
    EXPECT_EQ(fs->ls_raw(head)->files, std::vector<std::string>{"x"});
    EXPECT_EQ(fs->find_inode_by_name(head, "x").value(), id_of(*fs, "a/x"));
    EXPECT_EQ(fs->get_path_by_inode(head).value(), "/a");
    EXPECT_EQ(error_of(fs->get_inode_raw(link(kRootId, "over", head))), K::InodeNotFound);
    // Cycles and dangling links end as missing nodes.
    const InodeId self = fs->next_inode_id();
    EXPECT_EQ(link(kRootId, "self", self), self);
    link(kRootId, "p", self + 2);
    link(kRootId, "q", self + 1);
    for (const InodeId broken : {self, self + 1, link(kRootId, "dangling", 5000)}) {
        EXPECT_EQ(error_of(fs->get_inode_raw(broken)), K::InodeNotFound);
        EXPECT_EQ(error_of(fs->get_path_by_inode(broken)), K::InodeNotFound);
    }
}

TEST_F(FileSystemTest, LinksDoNotUnsettleCreation) {
    ASSERT_TRUE(Ok(fs->mkdir("a")));
    const InodeId a = id_of(*fs, "a");
    // A link back to its own directory must not wedge later creations in it, and the
    // link's own name stays taken.
    link(a, "up", a);
    EXPECT_TRUE(Ok(fs->touch("a/y")));
    EXPECT_EQ(error_of(fs->touch("a/up")), K::ResourceAlreadyExists);
    EXPECT_EQ(error_of(fs->mkdir("a/y")), K::ResourceAlreadyExists);
    // A broken link names nothing, and hides none of the names behind it.
    const InodeId loop = link(kRootId, "loop", fs->next_inode_id());
    ASSERT_TRUE(Ok(fs->touch("late")));
    EXPECT_EQ(fs->find_inode_by_name(kRootId, "late").value(), loop + 1);
    EXPECT_EQ(error_of(fs->find_inode_by_name(kRootId, "loop")), K::InodeNotFound);
    EXPECT_EQ(error_of(fs->touch("late")), K::ResourceAlreadyExists);
    EXPECT_EQ(fs->ls_raw(kRootId)->files, std::vector<std::string>{"late"});
}

// A tree of /d with enough files for an index, and a directory /d/e holding g.
std::shared_ptr<FileSystem> make_tree() {
    auto fs = FileSystem::make();
    EXPECT_TRUE(Ok(fs->mkdir("/d")));
    for (int i = 0; i < 40; ++i)
        EXPECT_TRUE(Ok(fs->touch("/d/f" + std::to_string(i))));
    EXPECT_TRUE(Ok(fs->mkdir("/d/e")));
    EXPECT_TRUE(Ok(fs->touch("/d/e/g")));
    return fs;
}

// The names below `node`, depth first, read through the child lists alone.
void collect_names(const INode &node, std::vector<std::string> &names) {
    const auto *directory = node.as_directory();
    if (!directory) return;
    for (auto it = directory->children.begin(); it != directory->children.end(); ++it) {
        names.emplace_back(it.node()->name_view());
        collect_names(*it.node(), names);
    }
}

class TeardownTest : public testing::TestWithParam<const char *> {};

// A node shared beyond its file system keeps itself and its subtree; the sanitizers
// check that each node is then freed exactly once, by whichever share goes last.
TEST_P(TeardownTest, ASharedNodeOutlivesItsFileSystem) {
    auto fs = make_tree();
    INodeRef held = fs->walk(GetParam()).value();
    std::vector<std::string> before;
    collect_names(*held, before);
    fs.reset();
    std::vector<std::string> after;
    collect_names(*held, after);
    EXPECT_EQ(after, before);
    EXPECT_EQ(
        held->name_view(),
        std::string_view(GetParam()).substr(std::string_view(GetParam()).find_last_of('/') + 1));
}

INSTANTIATE_TEST_SUITE_P(Nodes, TeardownTest, testing::Values("/", "/d", "/d/e", "/d/f7"));

TEST(TeardownTest, SharesDroppedOnAnotherThreadWhileTheFileSystemGoes) {
    auto fs = make_tree();
    std::vector<INodeRef> held;
    for (int i = 0; i < 40; ++i)
        held.push_back(fs->walk("/d/f" + std::to_string(i)).value());
    held.push_back(fs->walk("/d/e").value());
    // Each share is read, then dropped, while the file system goes on the main thread.
    int intact = 0;
    std::thread dropper([&held, &intact] {
        for (INodeRef &node : held) {
            const std::string_view name = node->name_view();
            intact += name == "e" || name.starts_with("f");
            node.reset();
        }
    });
    fs.reset();
    dropper.join();
    EXPECT_EQ(intact, 41);
}

// Directories filled in turn, so that a teardown meets each block's cells in many short
// runs and crosses blocks often; a held node and a held directory keep what they need.
TEST(TeardownTest, NodesMadeInTurnUnderSeveralDirectoriesGoBackBlockByBlock) {
    auto fs = FileSystem::make();
    for (int d = 0; d < 4; ++d)
        ASSERT_TRUE(Ok(fs->mkdir("/d" + std::to_string(d))));
    for (int i = 0; i < 100; ++i) {
        for (int d = 0; d < 4; ++d)
            ASSERT_TRUE(Ok(fs->touch("/d" + std::to_string(d) + "/f" + std::to_string(i))));
    }
    INodeRef file = fs->walk("/d1/f50").value();
    INodeRef directory = fs->walk("/d3").value();
    fs.reset();
    EXPECT_EQ(file->name_view(), "f50");
    std::vector<std::string> names;
    collect_names(*directory, names);
    ASSERT_EQ(names.size(), 100u);
    EXPECT_EQ(names[99], "f99");
}

} // namespace
} // namespace quorvex::fs
