// Small helpers shared by the file-system suites.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <shared_mutex>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "fs/file_handle.hpp"

namespace quorvex::fs {

inline void PrintTo(const IoError &error, std::ostream *os) { *os << error.debug(); }

namespace test {

using Bytes = std::vector<std::uint8_t>;
inline Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// The error of a result, or nullopt when it succeeded.
template <class R> std::optional<IoError> error_of(const R &result) {
    if (result.ok()) return std::nullopt;
    return result.error();
}

template <class R> testing::AssertionResult Ok(const R &result) {
    if (result.ok()) return testing::AssertionSuccess();
    return testing::AssertionFailure() << result.error().debug();
}

inline FileHandleType mode(std::string_view text) { return FileHandleType::from_str(text).value(); }
inline InodeId id_of(const FileSystem &fs, std::string_view path) {
    return fs.get_inode_by_path_raw(path).value();
}

// A node's kind, read under its lock: a file's flag and bytes, a directory's children.
inline std::int64_t flag_of(const FileSystem &fs, InodeId id) {
    INodeRef node = fs.lookup(id);
    std::shared_lock guard(node->lock);
    return node->as_file()->lock.flag();
}
inline Bytes contents_of(const FileSystem &fs, InodeId id) {
    INodeRef node = fs.lookup(id);
    std::shared_lock guard(node->lock);
    const ByteVector &data = node->as_file()->data.data;
    return Bytes(data.begin(), data.end());
}
inline std::vector<InodeId> children_of(const FileSystem &fs, InodeId id) {
    INodeRef node = fs.lookup(id);
    std::shared_lock guard(node->lock);
    const ChildList &children = node->as_directory()->children;
    return std::vector<InodeId>(children.begin(), children.end());
}

} // namespace test
} // namespace quorvex::fs
