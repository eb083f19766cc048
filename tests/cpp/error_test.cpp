#include <set>

#include "fs_test_util.hpp"

namespace quorvex::fs {
namespace {

using K = IoErrorKind;

TEST(IoErrorTest, DisplayAndDebugTextsOfEveryKind) {
    const struct {
        IoError error;
        const char *message;
        const char *debug;
    } rows[] = {{K::InodeNotFound, "Inode not found", "InodeNotFound"},
                {K::NotADirectory, "The specified INode is not a directory", "NotADirectory"},
                {K::NotAFile, "The specified INode is not a file", "NotAFile"},
                {K::NotASymlink, "The specified INode is not a symlink", "NotASymlink"},
                {K::MaxRecursionDepthExceeded, "Maximum filesystem depth exceeded",
                 "MaxRecursionDepthExceeded"},
                {K::ResourceAlreadyExists, "Resource already exists", "ResourceAlreadyExists"},
                {K::DirectoryIsNotEmpty, "Directory is not empty", "DirectoryIsNotEmpty"},
                {K::ResourceCurrentInUse, "Resource is currently in use", "ResourceCurrentInUse"},
                {K::UnrecognizedFileMode, "Unrecognized file mode", "UnrecognizedFileMode"},
                {IoError::operation_not_supported("read"),
                 "File does not support the specified operation: read",
                 "OperationNotSupported(\"read\")"},
                {IoError::operation_not_supported("write"),
                 "File does not support the specified operation: write",
                 "OperationNotSupported(\"write\")"},
                {K::InvalidFileDescriptor, "Invalid file descriptor", "InvalidFileDescriptor"},
                {K::NoSpaceLeft, "No space left on device", "NoSpaceLeft"},
                {K::InvalidMove, "Cannot move a directory into itself", "InvalidMove"}};
    std::set<K> kinds;
    for (const auto &row : rows) {
        EXPECT_EQ(row.error.message(), row.message);
        EXPECT_EQ(row.error.debug(), row.debug);
        kinds.insert(row.error.kind());
        EXPECT_TRUE(row.error.debug().starts_with(row.error.kind_name()));
    }
    EXPECT_EQ(static_cast<int>(kinds.size()), kIoErrorKindCount);
}

TEST(IoErrorTest, ComparesKindAndOperation) {
    const IoError read = IoError::operation_not_supported("read");
    EXPECT_EQ(read, IoError::operation_not_supported("read"));
    EXPECT_NE(read, IoError::operation_not_supported("write"));
    EXPECT_NE(read, IoError(K::OperationNotSupported));
    EXPECT_NE(IoError(K::NotAFile), IoError(K::NotADirectory));
}

} // namespace
} // namespace quorvex::fs
