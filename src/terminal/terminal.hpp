// A toy shell over the file system: one line in, one text out.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fs/file_system.hpp"
#include "fs/result.hpp"

namespace quorvex::terminal {

using fs::FileSystem;
using fs::InodeId;

// A command's output text, or its error text.
using TextResult = fs::Result<std::string, std::string>;

// Splits a line into words with shell-like quoting; nullopt when the line is malformed
// (an unclosed quote, or a backslash at the very end).
[[nodiscard]] std::optional<std::vector<std::string>> split(std::string_view line);

struct TerminalContext {
    std::shared_ptr<FileSystem> fs;
    InodeId cwd = fs::kRootId;

    // Resolves one typed name (a single component; one leading "/" starts from the root)
    // to an id, or gives the error text "{name}: {error}".
    [[nodiscard]] fs::Result<InodeId, std::string> get_target_inode(std::string_view name) const;
};

using CommandHandler = TextResult (*)(TerminalContext &context,
                                      std::span<const std::string> arguments);

struct Command {
    std::string_view name;
    CommandHandler handler;
};

// The built-in commands, in the order `help` lists them.
[[nodiscard]] std::span<const Command> commands() noexcept;
// The handler of `name` (compared byte for byte), or null.
[[nodiscard]] CommandHandler find_command(std::string_view name) noexcept;

class Terminal {
  public:
    explicit Terminal(std::shared_ptr<FileSystem> fs) : context_{std::move(fs), fs::kRootId} {}

    // Splits `line`, looks up its first word and runs that command.
    [[nodiscard]] TextResult run(std::string_view line);

    [[nodiscard]] const TerminalContext &context() const noexcept { return context_; }

  private:
    TerminalContext context_;
};

} // namespace quorvex::terminal
