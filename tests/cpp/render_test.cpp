#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "fs_test_util.hpp"

namespace quorvex::fs {
namespace {

using test::Ok;

std::string entry(int id, int parent, int depth, const char *name, const std::string &data) {
    const auto n = [](int v) { return std::to_string(v); };
    return n(id) + ": INode { id: " + n(id) + ", parent: " + n(parent) + ", depth: " + n(depth) +
           ", name: \"" + name + "\", data: RwLock { data: " + data + ", poisoned: false, .. } }";
}
std::string tree(const std::string &entries, int next) {
    return "FileSystem { inodes: {" + entries + "}, next_inode_id: " + std::to_string(next) + " }";
}

TEST(RenderTest, WholeTrees) {
    auto fs = FileSystem::make();
    EXPECT_EQ(fs->render(), tree(entry(0, 0, 0, "", "Directory { children: [] }"), 1));
    ASSERT_TRUE(Ok(fs->mkdir("docs")));
    EXPECT_EQ(fs->render(), tree(entry(0, 0, 0, "", "Directory { children: [1] }") + ", " +
                                     entry(1, 0, 1, "docs", "Directory { children: [] }"),
                                 2));

    auto writer = FileSystem::open(fs, "docs/f", test::mode("w"), true);
    ASSERT_TRUE(Ok(writer) && Ok(writer->write(test::bytes("hi\n"))));
    const auto expected = [](const char *flag) {
        return tree(entry(0, 0, 0, "", "Directory { children: [1] }") + ", " +
                        entry(1, 0, 1, "docs", "Directory { children: [2] }") + ", " +
                        entry(2, 1, 2, "f",
                              "File { data: FileData { data: [104, 105, 10] }, lock: FileLock { "
                              "flag: " +
                                  std::string(flag) + " } }"),
                    3);
    };
    EXPECT_EQ(fs->render(), expected("-1"));
    ASSERT_TRUE(Ok(writer->close()));
    EXPECT_EQ(fs->render(), expected("0"));
    auto one = FileSystem::open(fs, "docs/f", test::mode("r"), false);
    auto two = FileSystem::open(fs, "docs/f", test::mode(""), false);
    ASSERT_TRUE(Ok(one) && Ok(two));
    EXPECT_EQ(fs->render(), expected("2"));
}

TEST(RenderTest, ChildOrderLinksAndEscapedNames) {
    auto fs = FileSystem::make();
    for (const char *name : {"c", "a", "b"})
        ASSERT_TRUE(Ok(fs->touch(name)));
    ASSERT_TRUE(Ok(fs->rm("a", false)));
    ASSERT_TRUE(fs->create_inode(kRootId, make_name("q\"\t\x01"), Symlink{3}));
    const std::string text = fs->render();
    EXPECT_NE(text.find("children: [1, 3, 4]"), std::string::npos) << text;
    EXPECT_NE(text.find(entry(4, 0, 1, R"(q\"\t\u{1})", "Symlink { target: 3 }")),
              std::string::npos)
        << text;
}

TEST(RenderTest, EntriesComeInIncreasingIdOrder) {
    auto fs = FileSystem::make();
    // More entries than any small table would keep in insertion order by accident.
    for (int i = 0; i < 150; ++i)
        ASSERT_TRUE(Ok(fs->touch("f" + std::to_string(i))));
    for (int i = 0; i < 150; i += 3)
        ASSERT_TRUE(Ok(fs->rm("f" + std::to_string(i), false)));
    const std::string text = fs->render();
    std::size_t at = 0;
    for (InodeId id = 0; id <= 150; ++id) {
        const std::size_t next = text.find("INode { id: " + std::to_string(id) + ",", at);
        if (id % 3 == 1) { // f0, f3, ... had the ids 1, 4, ...
            EXPECT_EQ(next, std::string::npos) << id;
            continue;
        }
        ASSERT_NE(next, std::string::npos) << id;
        at = next;
    }
}

TEST(RenderTest, NodeHeldByAWriterShowsAsLocked) {
    auto fs = FileSystem::make();
    ASSERT_TRUE(Ok(fs->mkdir("a")) && Ok(fs->touch("b")));
    INodeRef node = fs->lookup(test::id_of(*fs, "a"));
    // Another thread holds the lock: one thread may hold only one node lock at a time.
    std::promise<void> locked;
    std::promise<void> rendered;
    std::thread holder([&] {
        std::unique_lock guard(node->lock);
        locked.set_value();
        rendered.get_future().wait();
    });
    locked.get_future().wait();
    const std::string text = fs->render(); // must not wait for the lock
    rendered.set_value();
    holder.join();
    EXPECT_NE(text.find(entry(1, 0, 1, "a", "<locked>")), std::string::npos) << text;
    EXPECT_NE(text.find("name: \"b\", data: RwLock { data: File {"), std::string::npos) << text;
    EXPECT_EQ(fs->render().find("<locked>"), std::string::npos);
}

TEST(RenderTest, NamesAreQuotedAndEscaped) {
    const std::pair<std::string, const char *> rows[] = {
        {"plain name", R"("plain name")"},
        {"a\"b\\c", R"("a\"b\\c")"},
        {std::string("\t\r\n\0", 4), R"("\t\r\n\0")"},
        {"\x01\x1b\x7f", R"("\u{1}\u{1b}\u{7f}")"},
        {"\u0085\u00a0\u00ad\u200b", R"("\u{85}\u{a0}\u{ad}\u{200b}")"},
        {"\u2028\ufeff\ue000\U0010fffd\u0378", R"("\u{2028}\u{feff}\u{e000}\u{10fffd}\u{378}")"},
        {"é Ωmega 日本 ß \U0001f600", "\"é Ωmega 日本 ß \U0001f600\""},
        {"\xff a\xc3", R"("\xff a\xc3")"},
        {"\xc0\x80\xed\xa0\x80\xf4\x90\x80\x80", R"("\xc0\x80\xed\xa0\x80\xf4\x90\x80\x80")"}};
    for (const auto &[name, shown] : rows)
        EXPECT_EQ(render_quoted_name(name), shown);
}

} // namespace
} // namespace quorvex::fs
