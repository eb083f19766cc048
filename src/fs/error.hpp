// The one error type of the file system and the terminal.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvex::fs {

enum class IoErrorKind : std::uint8_t {
    InodeNotFound,
    NotADirectory,
    NotAFile,
    NotASymlink,
    MaxRecursionDepthExceeded,
    ResourceAlreadyExists,
    DirectoryIsNotEmpty,
    ResourceCurrentInUse,
    UnrecognizedFileMode,
    OperationNotSupported,
    InvalidFileDescriptor,
    // Kinds of the additions beyond the first eleven; no operation of the original set
    // reports them.
    NoSpaceLeft,
    InvalidMove,
};

inline constexpr int kIoErrorKindCount = 13;

// A small value: the kind, plus for OperationNotSupported a static text naming the refused
// operation ("read" or "write"). Copyable, owns nothing.
class IoError {
  public:
    constexpr IoError(IoErrorKind kind) noexcept : kind_(kind) {} // NOLINT: implicit on purpose

    static constexpr IoError operation_not_supported(const char *operation) noexcept {
        IoError error(IoErrorKind::OperationNotSupported);
        error.operation_ = operation;
        return error;
    }

    [[nodiscard]] constexpr IoErrorKind kind() const noexcept { return kind_; }
    // The refused operation's name; empty for every kind but OperationNotSupported.
    [[nodiscard]] std::string_view operation() const noexcept {
        return operation_ ? std::string_view(operation_) : std::string_view();
    }

    // The text a user reads, e.g. "Inode not found".
    [[nodiscard]] std::string message() const;
    // The variant's name, e.g. InodeNotFound or OperationNotSupported("write").
    [[nodiscard]] std::string debug() const;
    // The kind's bare name, e.g. "OperationNotSupported" (no operation attached).
    [[nodiscard]] const char *kind_name() const noexcept;

    friend bool operator==(const IoError &a, const IoError &b) noexcept {
        return a.kind_ == b.kind_ && a.operation() == b.operation();
    }

  private:
    IoErrorKind kind_;
    const char *operation_ = nullptr;
};

// Thrown only when one of the system's own invariants is found broken (never for a
// failure a caller can provoke). The Python binding turns it into its internal-failure
// exception at the interpreter boundary.
class InvariantViolation : public std::logic_error {
  public:
    using std::logic_error::logic_error;
};

} // namespace quorvex::fs
