#include "fs/file_system.hpp"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

namespace quorvex::fs {

SplitPath split_last_component(std::string_view path) noexcept {
    const auto at = path.find_last_of("/\\");
    if (at == std::string_view::npos) return {std::string_view(), path};
    return {path.substr(0, at), path.substr(at + 1)};
}

FileSystem::FileSystem() {
    inodes_.insert(std::make_shared<INode>(kRootId, kRootId, 0, Name(), Directory{}));
}

std::shared_ptr<FileSystem> FileSystem::make() {
    // The constructor is private, so make_shared cannot reach it.
    return std::shared_ptr<FileSystem>(new FileSystem());
}

Result<INodeRef> FileSystem::resolve(InodeId id) const {
    for (int hops = 0;; ++hops) {
        INodeRef node = inodes_.find(id);
        if (!node) return IoErrorKind::InodeNotFound;
        std::shared_lock guard(node->lock);
        const auto *link = std::get_if<Symlink>(&node->kind);
        if (!link) return node;
        if (hops == kMaxSymlinkHops) return IoErrorKind::InodeNotFound;
        id = link->target;
    }
}

Result<InodeId> FileSystem::get_inode_raw(InodeId id) const {
    auto node = resolve(id);
    if (!node) return node.error();
    return (*node)->id;
}

Result<InodeId> FileSystem::find_inode_by_name_with_handle(const INode &directory,
                                                           std::string_view name) const {
    if (name.empty() || name == ".") return directory.id;
    if (name == "..") return directory.parent;
    std::shared_lock guard(directory.lock);
    const auto *entries = std::get_if<Directory>(&directory.kind);
    if (!entries) return IoErrorKind::NotADirectory;
    return find_child_locked(*entries, name);
}

Result<InodeId> FileSystem::find_child_locked(const Directory &directory,
                                              std::string_view name) const {
    const ChildList &children = directory.children;
    if (children.indexed()) {
        if (auto found = children.find(name)) return *found;
        return IoErrorKind::InodeNotFound;
    }
    // The first entry, in creation order, whose node (links followed) has the name.
    for (InodeId child : children) {
        auto node = resolve(child);
        if (!node) return node.error();
        if ((*node)->name_view() == name) return child;
    }
    return IoErrorKind::InodeNotFound;
}

Result<InodeId> FileSystem::find_inode_by_name(InodeId directory, std::string_view name) const {
    auto node = resolve(directory);
    if (!node) return node.error();
    return find_inode_by_name_with_handle(**node, name);
}

Result<bool> FileSystem::is_directory_raw(InodeId id) const {
    auto node = resolve(id);
    if (!node) return node.error();
    std::shared_lock guard((*node)->lock);
    return std::holds_alternative<Directory>((*node)->kind);
}

Result<bool> FileSystem::is_file_raw(InodeId id) const {
    auto is_directory = is_directory_raw(id);
    if (!is_directory) return is_directory.error();
    return !*is_directory;
}

Result<InodeId> FileSystem::get_inode_by_path_raw(std::string_view path) const {
    auto current = resolve(kRootId);
    if (!current) return current.error();
    while (!path.empty()) {
        const auto end = std::min(path.find_first_of("/\\"), path.size());
        const std::string_view component = path.substr(0, end);
        path.remove_prefix(std::min(end + 1, path.size()));
        if (component.empty() || component == ".") continue;
        InodeId next = (*current)->parent;
        if (component != "..") {
            auto found = find_inode_by_name_with_handle(**current, component);
            if (!found) return found.error();
            next = *found;
        }
        // The next node is pinned before the current one is let go.
        auto next_node = resolve(next);
        if (!next_node) return next_node.error();
        current = std::move(next_node);
    }
    return (*current)->id;
}

Result<std::string> FileSystem::get_path_by_inode(InodeId id) const {
    // Parent links only ever point at older nodes, but a symbolic link may point anywhere;
    // the bound keeps a cycle built from links from walking forever.
    constexpr int kMaxSteps = static_cast<int>(kMaxDepth + 1) * (kMaxSymlinkHops + 1);
    SmallVector<INodeRef, 8> chain;
    while (id != kRootId) {
        if (static_cast<int>(chain.size()) == kMaxSteps) {
            return IoErrorKind::MaxRecursionDepthExceeded;
        }
        auto node = resolve(id);
        if (!node) return node.error();
        id = (*node)->parent;
        chain.push_back(std::move(*node));
    }
    if (chain.empty()) return std::string("/");
    std::size_t length = 0;
    for (const INodeRef &node : chain) length += 1 + node->name.size();
    std::string path;
    path.reserve(length);
    for (auto it = chain.end(); it != chain.begin();) {
        --it;
        path += '/';
        path += (*it)->name_view();
    }
    return path;
}

bool FileSystem::name_is_acceptable(std::string_view name) noexcept {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string_view::npos;
}

bool FileSystem::has_entry_named_locked(const ChildList &children, std::string_view name) const {
    if (children.indexed()) return children.find(name).has_value();
    // Own names only: following a link here could lead back to the directory whose lock
    // the caller holds exclusively, and an entry that does not resolve must not hide the
    // entries behind it.
    return std::any_of(children.begin(), children.end(), [&](InodeId child) {
        INodeRef node = inodes_.find(child);
        return node && node->name_view() == name;
    });
}

Result<InodeId> FileSystem::create_inode(InodeId parent, Name name, INodeKind kind) {
    if (!name_is_acceptable(as_view(name))) return IoErrorKind::ResourceAlreadyExists;
    const InodeId id = next_inode_id_.fetch_add(1);

    auto parent_node = resolve(parent);
    if (!parent_node) return parent_node.error();
    INode &directory = **parent_node;
    if (find_inode_by_name_with_handle(directory, as_view(name))) {
        return IoErrorKind::ResourceAlreadyExists;
    }
    const std::uint64_t depth = directory.depth + 1;
    if (depth > kMaxDepth) return IoErrorKind::MaxRecursionDepthExceeded;

    auto node = std::make_shared<INode>(id, parent, depth, std::move(name), std::move(kind));
    std::unique_lock guard(directory.lock);
    auto *entries = std::get_if<Directory>(&directory.kind);
    if (!entries) return IoErrorKind::NotADirectory;
    // A directory whose removal is under way is already gone for new children.
    if (directory.unlinked) return IoErrorKind::InodeNotFound;
    // The search above ran without the exclusive lock; a racing creation of the same
    // name may have slipped in since.
    if (has_entry_named_locked(entries->children, node->name_view())) {
        return IoErrorKind::ResourceAlreadyExists;
    }
    // The node enters the table before its id enters the list, so a scan of the directory
    // never meets an id the table lacks. Reserving first keeps the two steps all-or-nothing.
    entries->children.reserve_one();
    const std::string_view name_in_node = node->name_view();
    const bool is_link = std::holds_alternative<Symlink>(node->kind);
    inodes_.insert(std::move(node));
    entries->children.append(id, name_in_node, is_link, [this](InodeId child) {
        // Every listed child is in the table, and stays there while it is listed.
        return inodes_.find(child)->name_view();
    });
    return id;
}

Status FileSystem::make_node(std::string_view path, INodeKind kind) {
    const SplitPath split = split_last_component(path);
    auto parent = get_inode_by_path_raw(split.parent);
    if (!parent) return parent.error();
    auto created = create_inode(*parent, make_name(split.name), std::move(kind));
    if (!created) return created.error();
    return {};
}

Status FileSystem::mkdir(std::string_view path) { return make_node(path, Directory{}); }

Status FileSystem::touch(std::string_view path) { return make_node(path, File{}); }

Result<Listing> FileSystem::ls_raw(InodeId id) const {
    auto node = resolve(id);
    if (!node) return node.error();
    ChildIds children;
    {
        std::shared_lock guard((*node)->lock);
        const auto *entries = std::get_if<Directory>(&(*node)->kind);
        if (!entries) return IoErrorKind::NotADirectory;
        entries->children.copy_to(children);
    }
    node->reset();

    Listing listing;
    for (InodeId child : children) {
        auto child_node = resolve(child);
        // A child removed since the copy was taken is simply no longer listed.
        if (!child_node) continue;
        const INode &entry = **child_node;
        bool is_directory;
        {
            std::shared_lock guard(entry.lock);
            is_directory = std::holds_alternative<Directory>(entry.kind);
        }
        (is_directory ? listing.directories : listing.files).emplace_back(entry.name_view());
    }
    return listing;
}

} // namespace quorvex::fs
