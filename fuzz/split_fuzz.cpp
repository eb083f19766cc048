// The word splitter on arbitrary bytes. Whatever a line splits into must come back unchanged
// when the words are quoted again (three ways) and joined with blanks.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "terminal/terminal.hpp"
#include "terminal/utf8.hpp"

namespace {

using Words = std::vector<std::string>;

// 'it'\''s': a quote inside single quotes is closed, escaped and reopened.
std::string single_quoted(std::string_view word) {
    std::string out = "'";
    for (const char c : word)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Inside double quotes a backslash escapes only " $ \ and `; before any other byte it stays
// as it is, and a backslash before a line feed continues the line and vanishes.
std::string double_quoted(std::string_view word) {
    std::string out = "\"";
    for (std::size_t i = 0; i < word.size(); ++i) {
        const char c = word[i];
        const bool bare = c == '\\' && i + 1 < word.size() &&
                          std::string_view("\"$\\`\n").find(word[i + 1]) == std::string_view::npos;
        if (!bare && (c == '"' || c == '$' || c == '\\' || c == '`')) out += '\\';
        out += c;
        if (!bare) out += "\\\n";
    }
    return out + "\"";
}

// Every byte behind a backslash, except a line feed, which a backslash would swallow; and a
// continuation line between any two.
std::string backslashed(std::string_view word) {
    if (word.empty()) return "''";
    std::string out;
    for (const char c : word)
        out += (c == '\n' ? std::string("'\n'") : std::string{'\\', c}) + "\\\n";
    return out;
}

void check_round_trip(const Words &words, std::string (*quote)(std::string_view),
                      const char *blank) {
    std::string line;
    for (const std::string &word : words)
        line += quote(word) + blank;
    const auto again = quorvex::terminal::split(line);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(*again == words);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char *>(data), size);
    if (const auto words = quorvex::terminal::split(line)) {
        check_round_trip(*words, single_quoted, " ");
        check_round_trip(*words, double_quoted, "\t");
        check_round_trip(*words, backslashed, "\n");
    }

    // cat's decoding: the result is well-formed UTF-8, so decoding it again changes nothing.
    const std::string text = quorvex::terminal::decode_utf8_lossy(std::span(data, size));
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(text.data());
    FUZZ_CHECK(quorvex::terminal::decode_utf8_lossy(std::span(bytes, text.size())) == text);
    return 0;
}
