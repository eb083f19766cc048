// The indented tree text of a directory's subtree, built from one listing per directory.
#include <string>
#include <vector>

#include "fs/file_system.hpp"

namespace quorvex::fs {
namespace {

// One directory of a tree rendering under way: its listing and the next of its
// subdirectories to descend into.
struct TreeLevel {
    InodeId id;
    Listing listing;
    std::size_t next_directory = 0;
};

Result<TreeLevel> tree_level(const FileSystem &fs, InodeId id) {
    auto listing = fs.ls_raw(id);
    if (!listing) return listing.error();
    return TreeLevel{id, std::move(*listing)};
}

} // namespace

// A subdirectory's path is its directory's path, "/" and its name, and resolving that
// from the root walks the directory's path again before it reaches the name. Looking the
// name up in the directory already reached gives the same node without the walk, so a
// long path costs once, not once per subdirectory. The levels under way are kept in a
// list rather than on the call stack.
Result<std::string> render_tree(const FileSystem &fs, std::string_view path,
                                std::string_view prefix) {
    auto id = fs.get_inode_by_path_raw(path);
    if (!id) return id.error();
    auto top = tree_level(fs, *id);
    if (!top) return top.error();
    std::vector<TreeLevel> levels;
    levels.push_back(std::move(*top));
    std::string indent(prefix);
    std::string out;
    while (!levels.empty()) {
        TreeLevel &level = levels.back();
        if (level.next_directory < level.listing.directories.size()) {
            const std::string &name = level.listing.directories[level.next_directory++];
            out += indent;
            out += name;
            out += "/\n";
            auto entry = fs.find_inode_by_name(level.id, name);
            if (!entry) return entry.error();
            auto child = fs.get_inode_raw(*entry);
            if (!child) return child.error();
            auto child_level = tree_level(fs, *child);
            if (!child_level) return child_level.error();
            levels.push_back(std::move(*child_level));
            indent += "  ";
            continue;
        }
        for (const std::string &name : level.listing.files) {
            out += indent;
            out += name;
            out += '\n';
        }
        levels.pop_back();
        if (!levels.empty()) indent.resize(indent.size() - 2);
    }
    return out;
}

} // namespace quorvex::fs
