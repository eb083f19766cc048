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
    auto parent = fs->get_inode_by_path_raw(split.parent);
    if (!parent) return parent.error();
    auto found = fs->find_inode_by_name(*parent, split.name);
    if (found) return FileHandle::make(std::move(fs), *found, mode);
    if (found.error().kind() != IoErrorKind::InodeNotFound || !create) return found.error();
    auto created = fs->create_inode(*parent, make_name(split.name), File{});
    if (!created) return created.error();
    return FileHandle::make(std::move(fs), *created, mode);
}

} // namespace quorvex::fs
