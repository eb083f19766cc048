// The built-in commands. Each takes the terminal's context and the words after the command
// name, uses at most the first of them, and gives back its whole output or an error text.
#include "terminal/commands.hpp"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "fs/file_handle.hpp"
#include "terminal/utf8.hpp"

namespace quorvex::terminal {
namespace {

using Arguments = std::span<const std::string>;

std::string join(std::initializer_list<std::string_view> parts) {
    std::size_t length = 0;
    for (const std::string_view part : parts)
        length += part.size();
    std::string text;
    text.reserve(length);
    for (const std::string_view part : parts)
        text += part;
    return text;
}

fs::Failure<std::string> failure(std::string text) { return fs::Failure{std::move(text)}; }

fs::Failure<std::string> missing_argument(std::string_view command) {
    return failure(join({command, ": missing argument"}));
}

// "{command}: cannot access '{what}': {error}"
fs::Failure<std::string> cannot_access(std::string_view command, std::string_view what,
                                       std::string_view error) {
    return failure(join({command, ": cannot access '", what, "': ", error}));
}

// "{command}: {what}: {complaint}"
fs::Failure<std::string> wrong_kind(std::string_view command, std::string_view what,
                                    std::string_view complaint) {
    return failure(join({command, ": ", what, ": ", complaint}));
}

constexpr std::string_view kNotADirectory = "Not a directory";

// The file's whole contents, read through a handle of its own. The handle, and with it the
// shared hold on the file's lock, is gone once this returns, whatever the outcome. Holding
// the lock for reading keeps writers out, so the length measured first stays valid.
fs::Result<std::vector<std::uint8_t>> read_whole_file(const std::shared_ptr<FileSystem> &fs,
                                                      InodeId id) {
    auto opened = FileSystem::open_raw(fs, id, fs::FileHandleType::read());
    if (!opened) return opened.error();
    fs::FileHandle &handle = *opened;

    QUORVEX_TRY(handle.seek(fs::SeekOrigin::End, 0));
    const std::uint64_t length = handle.offset();
    QUORVEX_TRY(handle.seek(fs::SeekOrigin::Start, 0));

    std::vector<std::uint8_t> buffer(length);
    QUORVEX_TRY(handle.read(buffer));
    return buffer;
}

// mkdir and touch differ only in the kind of node they make and in two words of their
// messages.
struct NodeCreation {
    std::string_view command; // "mkdir"
    std::string_view noun;    // in "cannot create directory"
    bool directory;
};

constexpr NodeCreation kMkdir{"mkdir", "directory", true};
constexpr NodeCreation kTouch{"touch", "file", false};

TextResult create_node(const NodeCreation &how, TerminalContext &context, Arguments arguments) {
    if (arguments.empty()) return missing_argument(how.command);
    const std::string &argument = arguments.front();

    // The text after the last separator is the new name. An empty text before it (no
    // separator at all, or a single leading one) means the working directory, so `mkdir /x`
    // creates x here rather than in the root; anything longer names the parent as a single
    // typed name.
    const fs::SplitPath parts = fs::split_last_component(argument);
    InodeId parent = context.cwd;
    if (!parts.parent.empty()) {
        auto resolved = context.get_target_inode(parts.parent);
        if (!resolved) return failure(std::move(resolved).error());
        parent = *resolved;
    }

    const std::string parent_text = std::to_string(parent);
    auto is_directory = context.fs->is_directory_raw(parent);
    if (!is_directory)
        return cannot_access(how.command, parent_text, is_directory.error().message());
    if (!*is_directory) return wrong_kind(how.command, parent_text, kNotADirectory);

    fs::INodeKind kind = how.directory ? fs::INodeKind{fs::Directory{}} : fs::INodeKind{fs::File{}};
    auto created = context.fs->create_inode(parent, fs::make_name(parts.name), std::move(kind));
    if (!created) {
        return failure(join({how.command, ": cannot create ", how.noun, " '", argument,
                             "': ", created.error().message()}));
    }
    return std::string();
}

} // namespace

TextResult cmd_cd(TerminalContext &context, Arguments arguments) {
    if (arguments.empty()) return missing_argument("cd");
    const std::string &argument = arguments.front();

    auto target = context.get_target_inode(argument);
    if (!target) return cannot_access("cd", argument, target.error());
    auto is_directory = context.fs->is_directory_raw(*target);
    if (!is_directory) return cannot_access("cd", argument, is_directory.error().message());
    if (!*is_directory) return wrong_kind("cd", argument, kNotADirectory);

    context.cwd = *target;
    return std::string();
}

TextResult cmd_ls(TerminalContext &context, Arguments arguments) {
    InodeId target = context.cwd;
    if (!arguments.empty()) {
        auto resolved = context.get_target_inode(arguments.front());
        if (!resolved) return failure(std::move(resolved).error());
        target = *resolved;
    }

    const std::string target_text = std::to_string(target);
    auto is_directory = context.fs->is_directory_raw(target);
    if (!is_directory) return cannot_access("ls", target_text, is_directory.error().message());
    if (!*is_directory) return wrong_kind("ls", target_text, kNotADirectory);
    auto listing = context.fs->ls_raw(target);
    if (!listing) return cannot_access("ls", target_text, listing.error().message());

    // Every non-directory first, then every directory with a slash, each in listing order.
    std::string output;
    for (const std::string &name : listing->files) {
        output += name;
        output += '\n';
    }
    for (const std::string &name : listing->directories) {
        output += name;
        output += "/\n";
    }
    return output;
}

TextResult cmd_pwd(TerminalContext &context, Arguments /*arguments*/) {
    auto path = context.fs->get_path_by_inode(context.cwd);
    if (!path) return cannot_access("pwd", std::to_string(context.cwd), path.error().message());
    return std::move(path).value();
}

TextResult cmd_cat(TerminalContext &context, Arguments arguments) {
    if (arguments.empty()) return missing_argument("cat");
    const std::string &argument = arguments.front();

    auto target = context.get_target_inode(argument);
    if (!target) return failure(std::move(target).error());
    auto is_file = context.fs->is_file_raw(*target);
    if (!is_file) return cannot_access("cat", argument, is_file.error().message());
    if (!*is_file) return wrong_kind("cat", argument, "Is a directory");

    auto contents = read_whole_file(context.fs, *target);
    if (!contents) return cannot_access("cat", argument, contents.error().message());
    return decode_utf8_lossy(*contents);
}

TextResult cmd_mkdir(TerminalContext &context, Arguments arguments) {
    return create_node(kMkdir, context, arguments);
}

TextResult cmd_touch(TerminalContext &context, Arguments arguments) {
    return create_node(kTouch, context, arguments);
}

TextResult cmd_help(TerminalContext & /*context*/, Arguments /*arguments*/) {
    std::string output;
    for (const Command &command : commands()) {
        output += command.name;
        output += '\n';
    }
    return output;
}

} // namespace quorvex::terminal
