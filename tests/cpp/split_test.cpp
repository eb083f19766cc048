#include <cstddef>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "terminal/terminal.hpp"

namespace quorvex::terminal {
namespace {

using Words = std::vector<std::string>;
const std::optional<Words> kMalformed = std::nullopt;

struct SplitCase {
    const char *label;
    std::string line;
    std::optional<Words> words;

    friend void PrintTo(const SplitCase &c, std::ostream *os) { *os << c.label; }
};

class SplitTable : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTable, GivesTheExpectedWords) {
    const SplitCase &c = GetParam();
    EXPECT_EQ(split(c.line), c.words) << "line: " << ::testing::PrintToString(c.line);
}

const SplitCase kSplitCases[] = {
    // Blanks and comments
    {"EmptyLine", "", Words{}},
    {"OnlyBlanks", " \t\n  ", Words{}},
    {"OnlyComment", "# just a note", Words{}},
    {"CommentAfterWord", "ls # note", Words{"ls"}},
    {"CommentEndsAtLineFeed", "# one\nls  two # three\n four", Words{"ls", "two", "four"}},
    {"CommentHidesQuotes", "ls # it's \"open\\", Words{"ls"}},
    {"HashInsideWord", "ls a#b", Words{"ls", "a#b"}},
    {"HashAfterQuoteIsInWord", "''#x", Words{"#x"}},
    {"BlanksSeparate", "  a \t b\nc  ", Words{"a", "b", "c"}},
    {"OtherControlBytesAreOrdinary", "a\rb\x01\x0b", Words{"a\rb\x01\x0b"}},
    {"Utf8PassesThrough", "h\xC3\xA9llo w\xC3\xB6rld \xE2\x9C\x93",
     Words{"h\xC3\xA9llo", "w\xC3\xB6rld", "\xE2\x9C\x93"}},
    // Backslashes
    {"EscapedBlank", R"(ls my\ dir)", Words{"ls", "my dir"}},
    {"EscapedSpecials", R"(\'\"\#\\\$)", Words{R"('"#\$)"}},
    {"EscapedOrdinaryByte", R"(\a\n)", Words{"an"}},
    {"EscapedTab", "a\\\tb", Words{"a\tb"}},
    {"BackslashLineFeedJoins", "ab\\\ncd", Words{"abcd"}},
    // The backslash starts a word before the pair is dropped, so the word is empty.
    {"BackslashLineFeedBetweenWords", "a \\\n b", Words{"a", "", "b"}},
    {"TrailingBackslash", "ls \\", kMalformed},
    {"TrailingBackslashInWord", "ls a b\\", kMalformed},
    // Quotes
    {"SingleQuotedBlank", "ls 'my dir'", Words{"ls", "my dir"}},
    {"SingleQuotedKeepsEverything", "'a\\b\\n\n\"#$ \t'", Words{"a\\b\\n\n\"#$ \t"}},
    {"SingleQuotedEndsAtFirstQuote", R"('a\'b)", Words{R"(a\b)"}},
    {"UnclosedSingleQuote", "ls 'x", kMalformed},
    {"DoubleQuotedBlank", "ls \"my dir\"", Words{"ls", "my dir"}},
    {"DoubleQuotedEscapes", R"("\"\$\\\`")", Words{R"("$\`)"}},
    {"DoubleQuotedOtherEscapesKeepBackslash", R"("a\nb\'\ ")", Words{R"(a\nb\'\ )"}},
    {"DoubleQuotedBackslashLineFeed", "\"a\\\nb\"", Words{"ab"}},
    {"DoubleQuotedLineFeed", "\"a\nb\"", Words{"a\nb"}},
    {"DoubleQuotedSingleQuoteAndHash", "\"it's #1\"", Words{"it's #1"}},
    {"UnclosedDoubleQuote", "ls \"x", kMalformed},
    {"DoubleQuoteEndsAfterBackslash", "\"x\\", kMalformed},
    {"EscapedQuoteDoesNotClose", R"("x\")", kMalformed},
    // Joining and empty words
    {"TouchingStretchesJoin", R"(a"b c"d)", Words{"ab cd"}},
    {"AllThreeFormsJoin", R"('a'\ "b"c)", Words{"a bc"}},
    {"EmptyDoubleQuotes", "\"\"", Words{""}},
    {"SeveralEmptyWords", "'' \"\" x ''", Words{"", "", "x", ""}},
    {"EmptyQuotesInsideWord", "a''b\"\"c", Words{"abc"}},
};
INSTANTIATE_TEST_SUITE_P(Lines, SplitTable, ::testing::ValuesIn(kSplitCases),
                         [](const auto &info) { return std::string(info.param.label); });

// --- properties ------------------------------------------------------------------------

// Bytes that matter to the splitter, weighted up, plus any byte at all.
char random_byte(std::mt19937_64 &rng) {
    static constexpr std::string_view kSpecial = " \t\n#'\"\\$`ab\r";
    if (rng() % 4 != 0) return kSpecial[rng() % kSpecial.size()];
    return static_cast<char>(rng() & 0xFF);
}

enum class Quoting { Single, Double, Backslash };

// Quotes `word` so that the splitter gives it back unchanged.
std::string quote(const std::string &word, Quoting how) {
    std::string out;
    switch (how) {
    case Quoting::Single:
        out += '\'';
        for (const char c : word)
            out += c == '\'' ? std::string(R"('\'')") : std::string(1, c);
        out += '\'';
        break;
    case Quoting::Double:
        out += '"';
        for (const char c : word) {
            if (c == '"' || c == '$' || c == '\\' || c == '`') out += '\\';
            out += c;
        }
        out += '"';
        break;
    case Quoting::Backslash:
        if (word.empty()) return "''";
        for (const char c : word) {
            // A backslash before a line feed would drop it; quote it instead.
            if (c == '\n') {
                out += "'\n'";
            } else {
                out += '\\';
                out += c;
            }
        }
        break;
    }
    return out;
}

std::string join_quoted(const Words &words, std::mt19937_64 &rng) {
    static const std::string kSeparators[] = {" ", "\t", "\n", " \t\n ", " # a 'note\n"};
    std::string line = rng() % 2 ? "  " : "";
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) line += kSeparators[rng() % std::size(kSeparators)];
        line += quote(words[i], static_cast<Quoting>(rng() % 3));
    }
    if (rng() % 2) line += " # trailing \"comment";
    return line;
}

TEST(SplitProperty, QuotedRandomWordsSplitBackUnchanged) {
    std::mt19937_64 rng(20240611);
    for (int round = 0; round < 5000; ++round) {
        Words words(rng() % 6);
        for (std::string &word : words) {
            word.resize(rng() % 8);
            for (char &c : word)
                c = random_byte(rng);
        }
        const std::string line = join_quoted(words, rng);
        ASSERT_EQ(split(line), words) << "line: " << ::testing::PrintToString(line);
    }
}

TEST(SplitProperty, RandomBytesEndInWordsOrMalformed) {
    std::mt19937_64 rng(7);
    int malformed = 0;
    int well_formed = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string line(rng() % 40, '\0');
        for (char &c : line)
            c = random_byte(rng);
        const auto words = split(line);
        if (!words) {
            ++malformed;
            continue;
        }
        ++well_formed;
        // Whatever came out must survive quoting and splitting again.
        const std::string again = join_quoted(*words, rng);
        ASSERT_EQ(split(again), words) << "line: " << ::testing::PrintToString(line);
    }
    EXPECT_GT(malformed, 1000);
    EXPECT_GT(well_formed, 1000);
}

TEST(SplitProperty, LongLinesSplitCompletely) {
    std::string empties;
    for (int i = 0; i < 100000; ++i)
        empties += "'' ";
    EXPECT_EQ(split(empties), Words(100000));
    EXPECT_EQ(split(std::string(300000, '\\')), Words{std::string(150000, '\\')});
    EXPECT_EQ(split("\"" + std::string(300000, '\\')), kMalformed);
}

} // namespace
} // namespace quorvex::terminal
