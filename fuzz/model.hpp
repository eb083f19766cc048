// A plain reference model of the file system: a std::map from id to node, single-threaded,
// with the outcomes of creation, lookup, opening, removal, rename, times and limits
// written out step by step.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fs/file_system.hpp"
#include "fuzz_check.hpp"

namespace quorvex::fuzz {

using fs::InodeId;
using fs::IoErrorKind;
using fs::Result;
using fs::Status;

struct ModelNode {
    InodeId parent = 0;
    std::uint64_t depth = 0;
    std::string name;
    bool directory = true;
    std::vector<InodeId> children;
    std::vector<std::uint8_t> bytes;
    std::int64_t flag = 0;
    int shared = 0; // handles of open_shared on it
    // The modification time when set_times gave it last (always negative here), or nullopt
    // once a change stamped the node with the clock (a positive time).
    std::optional<std::int64_t> mtime;
};

struct Model {
    std::map<InodeId, ModelNode> nodes{{fs::kRootId, ModelNode{}}};
    // Removed files that handles of open_shared still hold.
    std::map<InodeId, ModelNode> detached;
    InodeId next_id = 1;
    std::uint64_t max_bytes = fs::Usage::kUnlimited;
    std::uint64_t max_nodes = fs::Usage::kUnlimited;

    std::uint64_t bytes_held() const {
        std::uint64_t total = 0;
        for (const auto &[id, node] : nodes)
            total += node.bytes.size();
        for (const auto &[id, node] : detached)
            total += node.bytes.size();
        return total;
    }
    // Removed files that shared handles keep alive still count, as in the file system.
    std::uint64_t nodes_held() const { return nodes.size() + detached.size(); }
    void stamp(InodeId id) { file(id).mtime.reset(); }

    Status set_limits(std::uint64_t bytes, std::uint64_t count) {
        if (bytes_held() > bytes || nodes_held() > count) return IoErrorKind::NoSpaceLeft;
        max_bytes = bytes, max_nodes = count;
        return {};
    }

    // Sets a file's length as a write past its end or a truncation does; the new bytes are
    // zeros.
    Status resize(InodeId id, std::uint64_t size) {
        auto &bytes = file(id).bytes;
        if (size > bytes.size() && bytes_held() + (size - bytes.size()) > max_bytes) {
            return IoErrorKind::NoSpaceLeft;
        }
        bytes.resize(size);
        return {};
    }

    // A node in the tree, or a file removed under a shared handle.
    ModelNode &file(InodeId id) {
        const auto it = nodes.find(id);
        return it != nodes.end() ? it->second : detached.at(id);
    }

    Result<InodeId> find(InodeId directory, std::string_view name) const {
        const auto it = nodes.find(directory);
        if (it == nodes.end()) return IoErrorKind::InodeNotFound;
        if (name.empty() || name == ".") return directory;
        if (name == "..") return it->second.parent;
        if (!it->second.directory) return IoErrorKind::NotADirectory;
        for (const InodeId child : it->second.children) {
            if (nodes.at(child).name == name) return child;
        }
        return IoErrorKind::InodeNotFound;
    }

    Result<InodeId> resolve_path(std::string_view path) const {
        InodeId current = fs::kRootId;
        for (std::size_t start = 0; start <= path.size();) {
            std::size_t end = path.find_first_of(fs::kSeparators, start);
            if (end == std::string_view::npos) end = path.size();
            const std::string_view component = path.substr(start, end - start);
            start = end + 1;
            if (component.empty() || component == ".") continue;
            auto next = find(current, component);
            if (!next) return next;
            current = *next;
        }
        return current;
    }

    Result<InodeId> create(InodeId parent, std::string_view name, bool directory) {
        if (!fs::is_acceptable_name(name)) return IoErrorKind::ResourceAlreadyExists;
        const InodeId id = next_id++;
        if (!nodes.contains(parent)) return IoErrorKind::InodeNotFound;
        if (find(parent, name)) return IoErrorKind::ResourceAlreadyExists;
        ModelNode &owner = nodes.at(parent);
        if (owner.depth + 1 > fs::kMaxDepth) return IoErrorKind::MaxRecursionDepthExceeded;
        if (!owner.directory) return IoErrorKind::NotADirectory;
        if (nodes_held() + 1 > max_nodes) return IoErrorKind::NoSpaceLeft;
        owner.children.push_back(id);
        stamp(parent);
        nodes[id] =
            ModelNode{parent, owner.depth + 1, std::string(name), directory, {}, {}, 0, 0, {}};
        return id;
    }

    Result<InodeId> make(std::string_view path, bool directory) {
        const fs::SplitPath split = fs::split_last_component(path);
        auto parent = resolve_path(split.parent);
        if (!parent) return parent;
        return create(*parent, split.name, directory);
    }

    // Takes the file's lock as an open in the given mode would.
    Result<InodeId> acquire(InodeId id, bool write) {
        const auto it = nodes.find(id);
        if (it == nodes.end()) return IoErrorKind::InodeNotFound;
        if (it->second.directory) return IoErrorKind::NotAFile;
        std::int64_t &flag = it->second.flag;
        if (write ? flag != 0 : flag < 0) return IoErrorKind::ResourceCurrentInUse;
        flag = write ? -1 : flag + 1;
        return id;
    }

    void release(InodeId id, bool write) {
        std::int64_t &flag = nodes.at(id).flag;
        FUZZ_CHECK(write ? flag == -1 : flag > 0);
        flag = write ? 0 : flag - 1;
    }

    Result<InodeId> open(std::string_view path, bool write, bool create_missing) {
        const fs::SplitPath split = fs::split_last_component(path);
        auto parent = resolve_path(split.parent);
        if (!parent) return parent;
        auto found = find(*parent, split.name);
        if (!found && found.error().kind() == IoErrorKind::InodeNotFound && create_missing) {
            found = create(*parent, split.name, false);
        }
        if (!found) return found;
        return acquire(*found, write);
    }

    Result<InodeId> open_shared(std::string_view path, const fs::OpenFlags &flags) {
        QUORVEX_TRY(flags.check());
        const fs::SplitPath split = fs::split_last_component(path);
        auto parent = resolve_path(split.parent);
        if (!parent) return parent;
        auto found = find(*parent, split.name);
        if (found && flags.exclusive) return IoErrorKind::ResourceAlreadyExists;
        if (!found && found.error().kind() == IoErrorKind::InodeNotFound && flags.create) {
            found = create(*parent, split.name, false);
        }
        if (!found) return found;
        ModelNode &node = nodes.at(*found);
        if (node.directory) return IoErrorKind::NotAFile;
        if (flags.truncate) node.bytes.clear(), node.mtime.reset();
        ++node.shared;
        return found;
    }

    void release_shared(InodeId id) {
        FUZZ_CHECK(file(id).shared > 0);
        if (--file(id).shared == 0) detached.erase(id);
    }

    Status remove(InodeId id, bool recurse) {
        if (!nodes.contains(id)) return IoErrorKind::InodeNotFound;
        const ModelNode &node = nodes.at(id);
        if (node.directory && !recurse && !node.children.empty()) {
            return IoErrorKind::DirectoryIsNotEmpty;
        }
        if (node.directory && recurse) {
            for (const InodeId child : std::vector<InodeId>(node.children)) {
                QUORVEX_TRY(remove(child, true));
            }
        }
        if (!node.directory && node.flag != 0) return IoErrorKind::ResourceCurrentInUse;
        if (!node.children.empty()) return IoErrorKind::DirectoryIsNotEmpty;
        // The root stays; removing it only empties it.
        if (id == fs::kRootId) return {};
        std::erase(nodes.at(node.parent).children, id);
        stamp(node.parent);
        if (node.shared > 0) detached.emplace(id, std::move(nodes.at(id)));
        nodes.erase(id);
        return {};
    }

    // How many levels lie below a node.
    std::uint64_t height(InodeId id) const {
        std::uint64_t levels = 0;
        for (const InodeId child : nodes.at(id).children)
            levels = std::max(levels, 1 + height(child));
        return levels;
    }

    void set_depth(InodeId id, std::uint64_t depth) {
        nodes.at(id).depth = depth;
        for (const InodeId child : nodes.at(id).children)
            set_depth(child, depth + 1);
    }

    // rename(2): trailing separators ask for a directory; the root, "." and ".." are busy;
    // the moved entry goes last in its new directory.
    Status rename(std::string_view from, std::string_view to) {
        const auto cut = [](std::string_view path) {
            bool trailing = false;
            while (!path.empty() && fs::is_separator(path.back()))
                path.remove_suffix(1), trailing = true;
            return std::pair(fs::split_last_component(path), trailing);
        };
        const auto [source, source_wants_directory] = cut(from);
        const auto [target, target_wants_directory] = cut(to);
        const auto directory_at = [this](std::string_view path) -> Result<InodeId> {
            auto id = resolve_path(path);
            if (id && !nodes.at(*id).directory) return IoErrorKind::NotADirectory;
            return id;
        };
        auto from_dir = directory_at(source.parent);
        if (!from_dir) return from_dir.error();
        auto to_dir = directory_at(target.parent);
        if (!to_dir) return to_dir.error();
        if (!fs::is_acceptable_last_component(source.name) ||
            !fs::is_acceptable_last_component(target.name)) {
            return IoErrorKind::ResourceCurrentInUse;
        }
        auto moved = find(*from_dir, source.name);
        if (!moved) return moved.error();
        const bool directory = nodes.at(*moved).directory;
        if ((source_wants_directory || target_wants_directory) && !directory) {
            return IoErrorKind::NotADirectory;
        }
        for (InodeId up = *to_dir; directory; up = nodes.at(up).parent) {
            if (up == *moved) return IoErrorKind::InvalidMove;
            if (up == fs::kRootId) break;
        }
        auto existing = find(*to_dir, target.name);
        if (existing && *existing == *moved) return {};
        if (existing) {
            const ModelNode &there = nodes.at(*existing);
            if (directory && !there.directory) return IoErrorKind::NotADirectory;
            if (!directory && there.directory) return IoErrorKind::NotAFile;
            if (*existing == *from_dir) return IoErrorKind::DirectoryIsNotEmpty;
        }
        const std::uint64_t depth = nodes.at(*to_dir).depth + 1;
        if (depth + height(*moved) > fs::kMaxDepth) return IoErrorKind::MaxRecursionDepthExceeded;
        if (existing) {
            const ModelNode &there = nodes.at(*existing);
            if (!there.children.empty()) return IoErrorKind::DirectoryIsNotEmpty;
            if (there.flag != 0) return IoErrorKind::ResourceCurrentInUse;
            std::erase(nodes.at(*to_dir).children, *existing);
            if (there.shared > 0) detached.emplace(*existing, std::move(nodes.at(*existing)));
            nodes.erase(*existing);
        }
        stamp(*from_dir);
        stamp(*to_dir);
        std::erase(nodes.at(*from_dir).children, *moved);
        nodes.at(*to_dir).children.push_back(*moved);
        ModelNode &node = nodes.at(*moved);
        node.parent = *to_dir;
        node.name = std::string(target.name);
        set_depth(*moved, depth);
        return {};
    }

    Result<std::string> path_of(InodeId id) const {
        std::string path;
        for (; id != fs::kRootId; id = nodes.at(id).parent) {
            if (!nodes.contains(id)) return IoErrorKind::InodeNotFound;
            path = "/" + nodes.at(id).name + path;
        }
        return path.empty() ? std::string("/") : path;
    }

    Result<fs::Listing> listing(InodeId id) const {
        const auto it = nodes.find(id);
        if (it == nodes.end()) return IoErrorKind::InodeNotFound;
        if (!it->second.directory) return IoErrorKind::NotADirectory;
        fs::Listing result;
        for (const InodeId child : it->second.children) {
            const ModelNode &node = nodes.at(child);
            (node.directory ? result.directories : result.files).push_back(node.name);
        }
        return result;
    }
};

} // namespace quorvex::fuzz
