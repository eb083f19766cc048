#include "fs/error.hpp"

namespace quorvex::fs {
namespace {

struct KindTexts {
    const char *name;
    const char *message;
};

constexpr KindTexts kTexts[kIoErrorKindCount] = {
    {"InodeNotFound", "Inode not found"},
    {"NotADirectory", "The specified INode is not a directory"},
    {"NotAFile", "The specified INode is not a file"},
    {"NotASymlink", "The specified INode is not a symlink"},
    {"MaxRecursionDepthExceeded", "Maximum filesystem depth exceeded"},
    {"ResourceAlreadyExists", "Resource already exists"},
    {"DirectoryIsNotEmpty", "Directory is not empty"},
    {"ResourceCurrentInUse", "Resource is currently in use"},
    {"UnrecognizedFileMode", "Unrecognized file mode"},
    {"OperationNotSupported", "File does not support the specified operation: "},
    {"InvalidFileDescriptor", "Invalid file descriptor"},
    {"NoSpaceLeft", "No space left on device"},
    {"InvalidMove", "Cannot move a directory into itself"},
};

const KindTexts &texts_of(IoErrorKind kind) { return kTexts[static_cast<int>(kind)]; }

} // namespace

std::string IoError::message() const {
    std::string text = texts_of(kind_).message;
    if (kind_ == IoErrorKind::OperationNotSupported) text += operation();
    return text;
}

const char *IoError::kind_name() const noexcept { return texts_of(kind_).name; }

std::string IoError::debug() const {
    std::string text = texts_of(kind_).name;
    if (kind_ == IoErrorKind::OperationNotSupported) {
        text += "(\"";
        text += operation();
        text += "\")";
    }
    return text;
}

} // namespace quorvex::fs
