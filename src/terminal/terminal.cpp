// Dispatch of a command line, the command table and the resolution of typed names.
#include "terminal/terminal.hpp"

#include <algorithm>
#include <array>

#include "terminal/commands.hpp"

namespace quorvex::terminal {
namespace {

// A constant table: it exists before any call and is only ever read, so no initialisation
// guard or lock is needed. `help` lists the commands in this order.
constexpr std::array<Command, 7> kCommands{{
    {"cd", cmd_cd},
    {"ls", cmd_ls},
    {"pwd", cmd_pwd},
    {"cat", cmd_cat},
    {"mkdir", cmd_mkdir},
    {"touch", cmd_touch},
    {"help", cmd_help},
}};

} // namespace

std::span<const Command> commands() noexcept { return kCommands; }

CommandHandler find_command(std::string_view name) noexcept {
    const auto *found =
        std::find_if(kCommands.begin(), kCommands.end(),
                     [name](const Command &command) { return command.name == name; });
    return found == kCommands.end() ? nullptr : found->handler;
}

fs::Result<InodeId, std::string> TerminalContext::get_target_inode(std::string_view name) const {
    // A typed name is a single component: only one leading slash is special (it starts the
    // lookup at the root); any other slash or backslash is part of the name.
    InodeId start = cwd;
    if (name.starts_with('/')) {
        name.remove_prefix(1);
        start = fs::kRootId;
    }
    auto found = fs->find_inode_by_name(start, name);
    if (!found) return fs::Failure{std::string(name) + ": " + found.error().message()};
    return *found;
}

TextResult Terminal::run(std::string_view line) {
    auto words = split(line);
    if (!words) return fs::Failure{std::string("The command was not correctly formatted")};
    if (words->empty()) return std::string();

    const std::span<const std::string> all(*words);
    const CommandHandler handler = find_command(all.front());
    if (handler == nullptr) return fs::Failure{all.front() + ": command not found"};
    return handler(context_, all.subspan(1));
}

} // namespace quorvex::terminal
