#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "fs/file_handle.hpp"
#include "terminal/terminal.hpp"
#include "terminal/utf8.hpp"

namespace quorvex::terminal {
namespace {

using namespace std::string_view_literals;
using fs::FileHandleType;

std::string utf8(std::u8string_view text) { return {text.begin(), text.end()}; }

// The file system's rendering without the id counter: a failed creation may use up an id,
// but must leave every node as it was.
std::string nodes_of(const FileSystem &fs) {
    std::string text = fs.render();
    return text.substr(0, text.rfind(", next_inode_id"));
}

void write_file(const std::shared_ptr<FileSystem> &fs, std::string_view path,
                const std::vector<std::uint8_t> &bytes) {
    auto handle = FileSystem::open(fs, path, FileHandleType::write(), true);
    ASSERT_TRUE(handle.ok()) << handle.error().message();
    ASSERT_TRUE(handle->write(bytes).ok());
    ASSERT_TRUE(handle->close().ok());
}

std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

class TerminalTest : public ::testing::Test {
  protected:
    std::string ok(std::string_view line) {
        auto result = term.run(line);
        EXPECT_TRUE(result.ok()) << line << " failed with: " << result.error();
        return result.ok() ? result.value() : std::string("<failed>");
    }
    std::string err(std::string_view line) {
        auto result = term.run(line);
        EXPECT_FALSE(result.ok()) << line << " succeeded with: " << result.value();
        return result.ok() ? std::string("<succeeded>") : result.error();
    }
    InodeId id_of(std::string_view path) { return fs->get_inode_by_path_raw(path).value(); }

    std::shared_ptr<FileSystem> fs = FileSystem::make();
    Terminal term{fs};
};

// --- every command and message from the root of a small tree ---------------------------

struct CommandCase {
    const char *label;
    std::string line;
    bool succeeds;
    std::string text;

    friend void PrintTo(const CommandCase &c, std::ostream *os) { *os << c.label; }
};

// The tree: docs (1), notes.txt (2, holding "hello"), docs/sub (3), docs/a.txt (4), empty (5).
class CommandTable : public TerminalTest, public ::testing::WithParamInterface<CommandCase> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fs->mkdir("docs").ok());
        ASSERT_TRUE(fs->touch("notes.txt").ok());
        ASSERT_TRUE(fs->mkdir("docs/sub").ok());
        ASSERT_TRUE(fs->touch("docs/a.txt").ok());
        ASSERT_TRUE(fs->touch("empty").ok());
        write_file(fs, "notes.txt", bytes_of("hello"));
    }
};

TEST_P(CommandTable, GivesItsOutputOrMessage) {
    const CommandCase &c = GetParam();
    const std::string before = nodes_of(*fs);
    auto result = term.run(c.line);
    ASSERT_EQ(result.ok(), c.succeeds)
        << (result.ok() ? "output: " + result.value() : "error: " + result.error());
    EXPECT_EQ(result.ok() ? result.value() : result.error(), c.text);
    if (!c.succeeds) {
        EXPECT_EQ(term.context().cwd, fs::kRootId);
        EXPECT_EQ(nodes_of(*fs), before);
    }
}

const CommandCase kCommandCases[] = {
    // dispatch
    {"EmptyLine", "", true, ""},
    {"OnlyBlanks", " \t\n", true, ""},
    {"OnlyComment", "# nothing to do", true, ""},
    {"UnknownCommand", "foo bar", false, "foo: command not found"},
    {"NamesAreCaseSensitive", "LS", false, "LS: command not found"},
    {"EmptyCommandWord", "\"\" x", false, ": command not found"},
    {"UnknownWordPrintedAsSplit", "'my cmd'", false, "my cmd: command not found"},
    {"QuotedCommandName", "c'd'", false, "cd: missing argument"},
    {"UnclosedQuote", "ls 'docs", false, "The command was not correctly formatted"},
    {"MalformedAfterValidCommand", "pwd \"x", false, "The command was not correctly formatted"},
    {"TrailingBackslash", "pwd \\", false, "The command was not correctly formatted"},
    {"MalformedUnknownCommand", "foo 'x", false, "The command was not correctly formatted"},
    // cd, pwd and help
    {"PwdAtRoot", "pwd", true, "/"},
    {"PwdIgnoresArguments", "pwd docs x", true, "/"},
    {"CdMissingArgument", "cd", false, "cd: missing argument"},
    {"CdNoSuchName", "cd nosuch", false, "cd: cannot access 'nosuch': nosuch: Inode not found"},
    {"CdNoSuchRootName", "cd /nosuch", false,
     "cd: cannot access '/nosuch': nosuch: Inode not found"},
    {"CdToFile", "cd notes.txt", false, "cd: notes.txt: Not a directory"},
    {"CdPathIsNotAName", "cd docs/sub", false,
     "cd: cannot access 'docs/sub': docs/sub: Inode not found"},
    {"HelpInTableOrder", "help", true, "cd\nls\npwd\ncat\nmkdir\ntouch\nhelp\n"},
    {"HelpIgnoresArguments", "help cd", true, "cd\nls\npwd\ncat\nmkdir\ntouch\nhelp\n"},
    // ls
    {"LsFilesBeforeDirectories", "ls", true, "notes.txt\nempty\ndocs/\n"},
    {"LsSubdirectory", "ls docs", true, "a.txt\nsub/\n"},
    {"LsRootByName", "ls /", true, "notes.txt\nempty\ndocs/\n"},
    {"LsChildOfRoot", "ls /docs", true, "a.txt\nsub/\n"},
    {"LsDotDotAtRootIsRoot", "ls ..", true, "notes.txt\nempty\ndocs/\n"},
    {"LsExtraWordsIgnored", "ls docs nosuch # note", true, "a.txt\nsub/\n"},
    {"LsNoSuchName", "ls nosuch", false, "nosuch: Inode not found"},
    {"LsDoubleSlashKeepsOne", "ls //docs", false, "/docs: Inode not found"},
    {"LsPathIsNotAName", "ls docs/sub", false, "docs/sub: Inode not found"},
    {"LsBackslashIsPartOfName", "ls 'docs\\sub'", false, "docs\\sub: Inode not found"},
    {"LsFileGivesItsId", "ls notes.txt", false, "ls: 2: Not a directory"},
    // cat
    {"CatContents", "cat notes.txt", true, "hello"},
    {"CatEmptyFile", "cat empty", true, ""},
    {"CatExtraWordsIgnored", "cat /notes.txt docs", true, "hello"},
    {"CatMissingArgument", "cat", false, "cat: missing argument"},
    {"CatDirectory", "cat docs", false, "cat: docs: Is a directory"},
    {"CatRootIsADirectory", "cat /", false, "cat: /: Is a directory"},
    {"CatNoSuchName", "cat nosuch", false, "nosuch: Inode not found"},
    {"CatNoSuchRootName", "cat /nosuch", false, "nosuch: Inode not found"},
    // mkdir and touch
    {"MkdirMissingArgument", "mkdir", false, "mkdir: missing argument"},
    {"TouchMissingArgument", "touch", false, "touch: missing argument"},
    {"MkdirExisting", "mkdir docs", false,
     "mkdir: cannot create directory 'docs': Resource already exists"},
    {"TouchExisting", "touch notes.txt", false,
     "touch: cannot create file 'notes.txt': Resource already exists"},
    {"MkdirDot", "mkdir .", false, "mkdir: cannot create directory '.': Resource already exists"},
    {"TouchDotDot", "touch ..", false, "touch: cannot create file '..': Resource already exists"},
    {"MkdirEmptyName", "mkdir docs/", false,
     "mkdir: cannot create directory 'docs/': Resource already exists"},
    {"MkdirExistingInSubdirectory", "mkdir 'docs\\sub'", false,
     "mkdir: cannot create directory 'docs\\sub': Resource already exists"},
    {"MkdirParentIsAPath", "mkdir docs/sub/x", false, "docs/sub: Inode not found"},
    {"TouchNoSuchParent", "touch nosuch/x", false, "nosuch: Inode not found"},
    {"MkdirUnderFile", "mkdir notes.txt/x", false, "mkdir: 2: Not a directory"},
    {"TouchUnderFile", "touch notes.txt/x", false, "touch: 2: Not a directory"},
};
INSTANTIATE_TEST_SUITE_P(Lines, CommandTable, ::testing::ValuesIn(kCommandCases),
                         [](const auto &info) { return std::string(info.param.label); });

// --- name resolution ---------------------------------------------------------------------

struct TargetCase {
    const char *label;
    const char *name;
    bool from_a;          // working directory a instead of the root
    std::string expected; // the id in decimal, or the error text

    friend void PrintTo(const TargetCase &c, std::ostream *os) { *os << c.label; }
};

class TargetInode : public ::testing::TestWithParam<TargetCase> {};

TEST_P(TargetInode, ResolvesOneName) {
    const TargetCase &c = GetParam();
    auto fs = FileSystem::make();
    ASSERT_TRUE(fs->mkdir("a").ok());   // id 1
    ASSERT_TRUE(fs->mkdir("a/b").ok()); // id 2
    const TerminalContext context{fs, c.from_a ? InodeId{1} : fs::kRootId};
    auto found = context.get_target_inode(c.name);
    EXPECT_EQ(found.ok() ? std::to_string(found.value()) : found.error(), c.expected);
}

const TargetCase kTargetCases[] = {
    {"EmptyAtRoot", "", false, "0"},
    {"EmptyInA", "", true, "1"},
    {"DotInA", ".", true, "1"},
    {"DotDotAtRoot", "..", false, "0"},
    {"DotDotInA", "..", true, "0"},
    {"SlashInA", "/", true, "0"},
    {"ChildAtRoot", "a", false, "1"},
    {"ChildInA", "b", true, "2"},
    {"RootedChildInA", "/a", true, "1"},
    {"RootedNameNotAtRoot", "/b", true, "b: Inode not found"},
    {"TwoLeadingSlashes", "//a", false, "/a: Inode not found"},
    {"SlashedPath", "a/b", false, "a/b: Inode not found"},
    {"BackslashedPath", "a\\b", false, "a\\b: Inode not found"},
    {"OtherCase", "A", false, "A: Inode not found"},
};
INSTANTIATE_TEST_SUITE_P(Names, TargetInode, ::testing::ValuesIn(kTargetCases),
                         [](const auto &info) { return std::string(info.param.label); });

// --- sequences of commands ---------------------------------------------------------------

TEST_F(TerminalTest, CdMovesAndPwdFollows) {
    EXPECT_EQ(ok("mkdir docs"), "");
    EXPECT_EQ(ok("cd docs"), "");
    EXPECT_EQ(ok("pwd"), "/docs");
    EXPECT_EQ(ok("mkdir deep"), "");
    EXPECT_EQ(ok("cd deep extra words"), "");
    EXPECT_EQ(ok("pwd"), "/docs/deep");
    EXPECT_EQ(ok("ls"), "");
    EXPECT_EQ(ok("cd /docs"), "");
    EXPECT_EQ(ok("pwd"), "/docs");
    EXPECT_EQ(ok("cd .."), "");
    EXPECT_EQ(ok("pwd"), "/");
    EXPECT_EQ(ok("cd .."), "");
    EXPECT_EQ(ok("pwd"), "/");
    EXPECT_EQ(ok("cd 'docs'"), "");
    EXPECT_EQ(ok("cd ."), "");
    EXPECT_EQ(ok("pwd"), "/docs");
}

TEST_F(TerminalTest, CreationUsesTheLastSeparator) {
    EXPECT_EQ(ok("mkdir a"), "");
    EXPECT_EQ(ok("mkdir a/b"), "");
    EXPECT_EQ(ok("touch 'a\\f'"), "");
    EXPECT_EQ(ok("ls a"), "f\nb/\n");
    EXPECT_EQ(ok("cd a"), "");
    // A single leading slash means the working directory, two mean the root.
    EXPECT_EQ(ok("mkdir /x"), "");
    EXPECT_EQ(ok("mkdir //y"), "");
    EXPECT_EQ(ok("touch /g"), "");
    EXPECT_EQ(ok("ls"), "f\ng\nb/\nx/\n");
    EXPECT_EQ(ok("ls /"), "a/\ny/\n");
    EXPECT_EQ(ok("mkdir ../z"), "");
    EXPECT_EQ(ok("ls /"), "a/\ny/\nz/\n");
    EXPECT_EQ(err("touch g"), "touch: cannot create file 'g': Resource already exists");
    EXPECT_EQ(err("mkdir g/h"), "mkdir: " + std::to_string(id_of("a/g")) + ": Not a directory");
}

TEST_F(TerminalTest, RemovedWorkingDirectory) {
    ASSERT_EQ(ok("mkdir w"), "");
    ASSERT_EQ(ok("touch f"), "");
    ASSERT_EQ(ok("cd w"), "");
    const InodeId w = id_of("w");
    ASSERT_TRUE(fs->rm_raw(w, false).ok());
    const std::string id = std::to_string(w);

    EXPECT_EQ(err("ls x"), "x: Inode not found");
    EXPECT_EQ(err("ls ."), ".: Inode not found");
    EXPECT_EQ(err("ls"), "ls: cannot access '" + id + "': Inode not found");
    EXPECT_EQ(err("pwd"), "pwd: cannot access '" + id + "': Inode not found");
    EXPECT_EQ(err("mkdir y"), "mkdir: cannot access '" + id + "': Inode not found");
    EXPECT_EQ(err("touch /y"), "touch: cannot access '" + id + "': Inode not found");
    EXPECT_EQ(err("cd .."), "cd: cannot access '..': ..: Inode not found");
    EXPECT_EQ(term.context().cwd, w);

    // Names that start at the root still work.
    EXPECT_EQ(ok("cat /f"), "");
    EXPECT_EQ(ok("mkdir //v"), "");
    EXPECT_EQ(ok("ls /"), "f\nv/\n");
    EXPECT_EQ(ok("cd /"), "");
    EXPECT_EQ(ok("pwd"), "/");
    EXPECT_EQ(ok("ls"), "f\nv/\n");
}

// --- cat and the file lock ---------------------------------------------------------------

TEST_F(TerminalTest, CatFailsWhileAWriterHoldsTheFile) {
    write_file(fs, "f", bytes_of("data"));
    {
        auto writer = FileSystem::open(fs, "f", FileHandleType::write(), true);
        ASSERT_TRUE(writer.ok());
        EXPECT_EQ(err("cat f"), "cat: cannot access 'f': Resource is currently in use");
    }
    EXPECT_EQ(ok("cat f"), "data");
}

TEST_F(TerminalTest, CatSharesTheFileWithReadersAndGivesItsHoldBack) {
    write_file(fs, "f", bytes_of("data"));
    const auto flag = [&] { return fs->lookup(id_of("f"))->as_file()->lock.flag(); };
    {
        auto reader = FileSystem::open(fs, "f", FileHandleType::read(), true);
        ASSERT_TRUE(reader.ok());
        EXPECT_EQ(ok("cat f"), "data");
        EXPECT_EQ(flag(), 1);
    }
    EXPECT_EQ(ok("cat f"), "data");
    EXPECT_EQ(flag(), 0);
    EXPECT_TRUE(FileSystem::open(fs, "f", FileHandleType::write(), false).ok());
}

TEST_F(TerminalTest, CatGivesLongContentsWhole) {
    std::string contents;
    for (int i = 0; i < 500; ++i)
        contents += "line " + std::to_string(i) + "\n";
    write_file(fs, "long", bytes_of(contents));
    EXPECT_EQ(ok("cat long"), contents);
}

TEST_F(TerminalTest, CatReplacesInvalidUtf8) {
    write_file(fs, "bin", {'a', 0xFF, 'b', 0xE2, 0x82, 0xAC, 0xE2, 0x82});
    EXPECT_EQ(ok("cat bin"), utf8(u8"a\uFFFDb\u20AC\uFFFD"));
}

// --- decoding ----------------------------------------------------------------------------

struct DecodeCase {
    const char *label;
    std::vector<std::uint8_t> bytes;
    std::u8string_view text;

    friend void PrintTo(const DecodeCase &c, std::ostream *os) { *os << c.label; }
};

class DecodeUtf8 : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeUtf8, ReplacesEachMaximalIllFormedSubsequence) {
    EXPECT_EQ(decode_utf8_lossy(GetParam().bytes), utf8(GetParam().text));
}

const DecodeCase kDecodeCases[] = {
    {"Empty", {}, u8""},
    {"AsciiWithNul", {'a', 0x00, 0x7F}, u8"a\0\x7F"sv},
    {"TwoThreeAndFourBytes",
     {0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80},
     u8"\u00E9\u20AC\U0001F600"},
    {"HighestCodePoint", {0xF4, 0x8F, 0xBF, 0xBF}, u8"\U0010FFFF"},
    {"LoneContinuations", {0x80, 0xBF}, u8"\uFFFD\uFFFD"},
    {"OverlongLead", {0xC0, 0x80}, u8"\uFFFD\uFFFD"},
    {"OverlongThreeBytes", {0xE0, 0x80, 0x80}, u8"\uFFFD\uFFFD\uFFFD"},
    {"Surrogate", {0xED, 0xA0, 0x80}, u8"\uFFFD\uFFFD\uFFFD"},
    {"AboveTheHighestCodePoint", {0xF4, 0x90, 0x80, 0x80}, u8"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"BytesThatNeverLead", {0xF5, 0xFF}, u8"\uFFFD\uFFFD"},
    {"TruncatedAtTheEnd", {0xE2, 0x82}, u8"\uFFFD"},
    {"TruncatedBeforeAscii", {0xF0, 0x9F, 0x98, 'A'}, u8"\uFFFDA"},
    {"BrokenByANewLead", {0xE2, 0xC3, 0xA9}, u8"\uFFFD\u00E9"},
    // The example of the Unicode Standard's Table 3-8.
    {"UnicodeTable3_8",
     {0x61, 0xF1, 0x80, 0x80, 0xE1, 0x80, 0xC2, 0x62, 0x80, 0x63, 0x80, 0xBF, 0x64},
     u8"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd"},
};
INSTANTIATE_TEST_SUITE_P(Sequences, DecodeUtf8, ::testing::ValuesIn(kDecodeCases),
                         [](const auto &info) { return std::string(info.param.label); });

} // namespace
} // namespace quorvex::terminal
