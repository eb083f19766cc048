// The word splitter: one forward pass over the bytes of a line.
//
// Every byte is looked at once (a quoted stretch is searched for its end and appended in one
// piece), so the time is linear in the line's length whatever it holds. All special bytes are
// ASCII, so multi-byte UTF-8 sequences pass into the words untouched.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/terminal.hpp"

namespace quorvex::terminal {
namespace {

constexpr bool is_blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\n'; }

// Inside double quotes a backslash escapes only these; before anything else it stays.
constexpr bool escapable_in_double_quotes(char c) noexcept {
    return c == '"' || c == '$' || c == '\\' || c == '`';
}

class Splitter {
  public:
    explicit Splitter(std::string_view line) noexcept : line_(line) {}

    std::optional<std::vector<std::string>> run() {
        std::vector<std::string> words;
        while (skip_to_word()) {
            std::string word;
            if (!read_word(word)) return std::nullopt;
            words.push_back(std::move(word));
        }
        return words;
    }

  private:
    [[nodiscard]] bool at_end() const noexcept { return pos_ >= line_.size(); }

    // Skips blanks and comments; true when a word starts at pos_.
    bool skip_to_word() noexcept {
        while (!at_end()) {
            const char c = line_[pos_];
            if (is_blank(c)) {
                ++pos_;
            } else if (c == '#') {
                const std::size_t newline = line_.find('\n', pos_);
                pos_ = newline == std::string_view::npos ? line_.size() : newline + 1;
            } else {
                return true;
            }
        }
        return false;
    }

    // Reads one word into `word`, consuming the blank that ends it; false when malformed.
    bool read_word(std::string &word) {
        while (!at_end()) {
            const char c = line_[pos_++];
            if (is_blank(c)) return true;
            switch (c) {
            case '\\':
                if (at_end()) return false;
                if (line_[pos_] != '\n') word.push_back(line_[pos_]);
                ++pos_;
                break;
            case '\'':
                if (!read_single_quoted(word)) return false;
                break;
            case '"':
                if (!read_double_quoted(word)) return false;
                break;
            default:
                word.push_back(c);
                break;
            }
        }
        return true;
    }

    // pos_ is just past the opening quote. Everything up to the closing quote is literal.
    bool read_single_quoted(std::string &word) {
        const std::size_t close = line_.find('\'', pos_);
        if (close == std::string_view::npos) return false;
        word.append(line_.substr(pos_, close - pos_));
        pos_ = close + 1;
        return true;
    }

    // pos_ is just past the opening quote.
    bool read_double_quoted(std::string &word) {
        while (!at_end()) {
            const char c = line_[pos_++];
            if (c == '"') return true;
            if (c != '\\') {
                word.push_back(c);
                continue;
            }
            if (at_end()) return false;
            const char next = line_[pos_++];
            if (escapable_in_double_quotes(next)) {
                word.push_back(next);
            } else if (next != '\n') {
                word.push_back('\\');
                word.push_back(next);
            }
        }
        return false;
    }

    std::string_view line_;
    std::size_t pos_ = 0;
};

} // namespace

std::optional<std::vector<std::string>> split(std::string_view line) {
    return Splitter(line).run();
}

} // namespace quorvex::terminal
