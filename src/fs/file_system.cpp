#include "fs/file_system.hpp"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

namespace quorvex::fs {

SplitPath split_last_component(std::string_view path) noexcept {
    const auto at = path.find_last_of(kSeparators);
    if (at == std::string_view::npos) return {std::string_view(), path};
    return {path.substr(0, at), path.substr(at + 1)};
}

FileSystem::FileSystem() {
    inodes_.insert(INodeRef::make(kRootId, kRootId, 0, Name(), Directory{}));
}

std::shared_ptr<FileSystem> FileSystem::make() {
    // The constructor is private, so make_shared cannot reach it.
    return std::shared_ptr<FileSystem>(new FileSystem());
}

Result<INodeRef> FileSystem::resolve(InodeId id) const {
    for (int hops = 0;; ++hops) {
        INodeRef node = inodes_.find(id);
        if (!node) return IoErrorKind::InodeNotFound;
        // A node's kind, and a link's target, never change: no lock is needed to read them.
        if (!node->is_link()) return node;
        if (hops == kMaxSymlinkHops) return IoErrorKind::InodeNotFound;
        id = std::get<Symlink>(node->kind).target;
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
    auto child = find_child_locked(*entries, name);
    if (!child) return child.error();
    return (*child)->id;
}

Result<INode *> FileSystem::find_child_locked(const Directory &directory,
                                              std::string_view name) const {
    const ChildList &children = directory.children;
    if (children.indexed()) {
        INode *found = children.find(name);
        if (found && !is_released(*found)) return found;
        return IoErrorKind::InodeNotFound;
    }
    // The first entry, in creation order, whose node (links followed) has the name.
    for (auto it = children.begin(); it != children.end(); ++it) {
        INode *child = it.node();
        // An entry gone from the table ends the search, as a failed lookup would.
        if (is_released(*child)) return IoErrorKind::InodeNotFound;
        if (!child->is_link()) {
            if (child->name_view() == name) return child;
            continue;
        }
        auto target = resolve(child->id);
        if (!target) return target.error();
        if ((*target)->name_view() == name) return child;
    }
    return IoErrorKind::InodeNotFound;
}

Result<INodeRef> FileSystem::enter(const INode &directory, std::string_view name) const {
    if (name.empty() || name == ".") return resolve(directory.id);
    if (name == "..") return resolve(directory.parent);
    std::shared_lock guard(directory.lock);
    const auto *entries = std::get_if<Directory>(&directory.kind);
    if (!entries) return IoErrorKind::NotADirectory;
    auto child = find_child_locked(*entries, name);
    if (!child) return child.error();
    // While the directory is locked its entries are alive, so the child can be pinned
    // without a trip through the table.
    if (!(*child)->is_link()) return INodeRef::share(*child);
    return resolve((*child)->id);
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
        const auto end = std::min(path.find_first_of(kSeparators), path.size());
        const std::string_view component = path.substr(0, end);
        path.remove_prefix(std::min(end + 1, path.size()));
        if (component.empty() || component == ".") continue;
        auto next = component == ".." ? resolve((*current)->parent) : enter(**current, component);
        if (!next) return next.error();
        // The next node is pinned before the current one is let go.
        current = std::move(next);
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
    for (const INodeRef &node : chain)
        length += 1 + node->name.size();
    std::string path;
    path.reserve(length);
    for (auto it = chain.end(); it != chain.begin();) {
        --it;
        path += '/';
        path += (*it)->name_view();
    }
    return path;
}

bool FileSystem::has_entry_named_locked(const ChildList &children, std::string_view name) const {
    if (children.indexed()) {
        const INode *found = children.find(name);
        return found && !is_released(*found);
    }
    // Own names only: following a link here could lead back to the directory whose lock
    // the caller holds exclusively, and an entry that does not resolve must not hide the
    // entries behind it.
    for (auto it = children.begin(); it != children.end(); ++it) {
        if (it.node()->name_view() == name && !is_released(*it.node())) return true;
    }
    return false;
}

Result<InodeId> FileSystem::create_inode(InodeId parent, Name name, INodeKind kind) {
    if (!is_acceptable_name(as_view(name))) return IoErrorKind::ResourceAlreadyExists;
    const InodeId id = next_inode_id_.fetch_add(1);

    auto parent_node = resolve(parent);
    if (!parent_node) return parent_node.error();
    INode &directory = **parent_node;
    if (find_inode_by_name_with_handle(directory, as_view(name))) {
        return IoErrorKind::ResourceAlreadyExists;
    }
    const std::uint64_t depth = directory.depth + 1;
    if (depth > kMaxDepth) return IoErrorKind::MaxRecursionDepthExceeded;

    auto node = INodeRef::make(id, parent, depth, std::move(name), std::move(kind));
    std::unique_lock guard(directory.lock);
    auto *entries = std::get_if<Directory>(&directory.kind);
    if (!entries) return IoErrorKind::NotADirectory;
    // A directory whose removal is under way is already gone for new children.
#ifndef QUORVEX_PLANT_FAULT_CREATE_UNDER_REMOVAL // the stress self-check's planted fault
    if (directory.unlinked) return IoErrorKind::InodeNotFound;
#endif
    // The search above ran without the exclusive lock; a racing creation of the same
    // name may have slipped in since.
#ifndef QUORVEX_PLANT_FAULT_NO_NAME_RECHECK // the stress self-check's planted fault
    if (has_entry_named_locked(entries->children, node->name_view())) {
        return IoErrorKind::ResourceAlreadyExists;
    }
#endif
    // The node enters the table before its id enters the list, so a scan of the directory
    // never meets an id the table lacks. Reserving first keeps the two steps all-or-nothing.
    const auto room = entries->children.reserve_one();
    INode *child = node.get();
    inodes_.insert(std::move(node));
    entries->children.append(room, child);
    return id;
}

Status FileSystem::make_node(std::string_view path, INodeKind &&kind) {
    const SplitPath split = split_last_component(path);
    auto parent = get_inode_by_path_raw(split.parent);
    if (!parent) return parent.error();
    auto created = create_inode(*parent, make_name(split.name), std::move(kind));
    if (!created) return created.error();
    return {};
}

Status FileSystem::mkdir(std::string_view path) { return make_node(path, Directory{}); }

Status FileSystem::touch(std::string_view path) { return make_node(path, File{}); }

Status FileSystem::ls_each(InodeId id, FunctionRef<bool(std::string_view, bool)> visit) const {
    auto node = resolve(id);
    if (!node) return node.error();
    std::shared_lock guard((*node)->lock);
    const auto *entries = std::get_if<Directory>(&(*node)->kind);
    if (!entries) return IoErrorKind::NotADirectory;
    // Names and kinds of listed children are immutable and the children stay alive while
    // the directory is locked, so the listing is read in one pass under that lock alone.
    for (auto it = entries->children.begin(); it != entries->children.end(); ++it) {
        const INode *entry = it.node();
        INodeRef target;
        // An entry gone from the table is not listed.
        if (is_released(*entry)) continue;
        if (entry->is_link()) {
            auto resolved = resolve(entry->id);
            // A link that leads nowhere is not listed.
            if (!resolved) continue;
            target = std::move(*resolved);
            entry = target.get();
        }
        const locking::CallbackScope in_callback;
        if (!visit(entry->name_view(), entry->is_directory())) break;
    }
    return {};
}

Result<Listing> FileSystem::ls_raw(InodeId id) const {
    Listing listing;
    QUORVEX_TRY(ls_each(id, [&listing](std::string_view name, bool is_directory) {
        (is_directory ? listing.directories : listing.files).emplace_back(name);
        return true;
    }));
    return listing;
}

} // namespace quorvex::fs
