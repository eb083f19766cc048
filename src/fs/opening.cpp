// Opening files by id or by path, creating a missing one on request.
#include "fs/file_handle.hpp"
#include "fs/file_system.hpp"

namespace quorvex::fs {

Result<FileHandle> FileSystem::open_raw(std::shared_ptr<FileSystem> fs, InodeId inode,
                                        FileHandleType mode) {
    auto resolved = fs->get_inode_raw(inode);
    if (!resolved) return resolved.error();
    auto is_file = fs->is_file_raw(*resolved);
    if (!is_file) return is_file.error();
    if (!*is_file) return IoErrorKind::NotAFile;
    return FileHandle::make(std::move(fs), *resolved, mode);
}

Result<FileHandle> FileSystem::open(std::shared_ptr<FileSystem> fs, std::string_view path,
                                    FileHandleType mode, bool create) {
    const SplitPath split = split_last_component(path);
    if (auto reached = fs->open_unlocked(split)) {
        if (!*reached) return reached->error();
        const InodeId id = (**reached)->id;
        return FileHandle::make_at(std::move(fs), id, std::move(**reached), mode);
    }
    auto parent = fs->walk(split.parent);
    if (!parent) return parent.error();
    auto found = fs->find_entry(**parent, split.name);
    if (found) {
        if (!found->node) return FileHandle::make(std::move(fs), found->id, mode);
        return FileHandle::make_at(std::move(fs), found->id, std::move(found->node), mode);
    }
    if (found.error().kind() != IoErrorKind::InodeNotFound || !create) return found.error();
    auto created = fs->create_in(parent->get(), (*parent)->id, make_name(split.name), File{});
    if (!created) return created.error();
    const InodeId id = (*created)->id;
    return FileHandle::make_at(std::move(fs), id, std::move(*created), mode);
}

Result<INodeRef> FileSystem::reach_for_shared(const SplitPath &split, const OpenFlags &flags) {
    if (auto reached = open_unlocked(split)) {
        if (*reached && flags.exclusive) return IoErrorKind::ResourceAlreadyExists;
        return std::move(*reached);
    }
    auto parent = walk(split.parent);
    if (!parent) return parent.error();
    auto found = find_entry(**parent, split.name);
    if (found) {
        if (flags.exclusive) return IoErrorKind::ResourceAlreadyExists;
        if (found->node) return std::move(found->node);
        return resolve(found->id);
    }
    if (found.error().kind() != IoErrorKind::InodeNotFound || !flags.create) return found.error();
    return create_in(parent->get(), (*parent)->id, make_name(split.name), File{});
}

Result<FileHandle> FileSystem::open_shared(const std::shared_ptr<FileSystem> &fs,
                                           std::string_view path, const OpenFlags &flags) {
    QUORVEX_TRY(flags.check());
    const SplitPath split = split_last_component(path);
    // Without `exclusive`, a creation that lost a race to another one, or a file removed
    // between the lookup and the open, is looked up again, as if the open came just after.
    // A removal and a creation that keep beating it are few; after that many the last
    // failure stands.
    constexpr int kAttempts = 16;
    for (int attempt = 1;; ++attempt) {
        auto node = fs->reach_for_shared(split, flags);
        const bool again = flags.create && !flags.exclusive && attempt < kAttempts;
        if (!node) {
            if (again && node.error().kind() == IoErrorKind::ResourceAlreadyExists) continue;
            return node.error();
        }
        auto handle = FileHandle::make_shared(fs, std::move(*node), flags);
        if (!handle && again && handle.error().kind() == IoErrorKind::InodeNotFound) continue;
        return handle;
    }
}

} // namespace quorvex::fs
