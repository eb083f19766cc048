// The built-in command handlers.
#pragma once

#include <span>
#include <string>

#include "terminal/terminal.hpp"

namespace quorvex::terminal {

TextResult cmd_cd(TerminalContext &context, std::span<const std::string> arguments);
TextResult cmd_ls(TerminalContext &context, std::span<const std::string> arguments);
TextResult cmd_pwd(TerminalContext &context, std::span<const std::string> arguments);
TextResult cmd_cat(TerminalContext &context, std::span<const std::string> arguments);
TextResult cmd_mkdir(TerminalContext &context, std::span<const std::string> arguments);
TextResult cmd_touch(TerminalContext &context, std::span<const std::string> arguments);
TextResult cmd_help(TerminalContext &context, std::span<const std::string> arguments);

} // namespace quorvex::terminal
