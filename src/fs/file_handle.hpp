// Open modes, seek origins and the file handle through which a file's bytes are reached.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "fs/file_system.hpp"
#include "fs/function_ref.hpp"
#include "fs/result.hpp"

namespace quorvex::fs {

// The open mode: a set of flags. Without WRITE a handle holds the file's lock shared.
class FileHandleType {
  public:
    static constexpr std::uint32_t kEmptyBits = 0;
    static constexpr std::uint32_t kReadBit = 1;
    static constexpr std::uint32_t kWriteBit = 2;

    constexpr FileHandleType() noexcept = default;
    constexpr explicit FileHandleType(std::uint32_t bits) noexcept : bits_(bits) {}

    static constexpr FileHandleType empty() noexcept { return FileHandleType(kEmptyBits); }
    static constexpr FileHandleType read() noexcept { return FileHandleType(kReadBit); }
    static constexpr FileHandleType write() noexcept { return FileHandleType(kWriteBit); }

    // Accepts exactly "", "r", "w", "rw" and "wr".
    [[nodiscard]] static Result<FileHandleType> from_str(std::string_view text) noexcept;

    [[nodiscard]] constexpr bool can_read() const noexcept { return bits_ & kReadBit; }
    [[nodiscard]] constexpr bool can_write() const noexcept { return bits_ & kWriteBit; }
    // FileHandleType(READ | WRITE), FileHandleType(0x0) for the empty set.
    [[nodiscard]] std::string debug() const;

    friend constexpr bool operator==(FileHandleType, FileHandleType) noexcept = default;

  private:
    std::uint32_t bits_ = kEmptyBits;
};

enum class SeekOrigin : std::uint8_t { Start, End, Current };

// How FileSystem::open_shared opens a file: the access, and what becomes of a missing or an
// existing file.
struct OpenFlags {
    FileHandleType mode;
    bool create = false;    // a missing file is made, empty
    bool exclusive = false; // with `create`: an existing one is ResourceAlreadyExists
    bool truncate = false;  // the file is emptied as it is opened; needs WRITE
    bool append = false;    // every write goes to the end of the file; needs WRITE

    // UnrecognizedFileMode for a combination that means nothing: neither READ nor WRITE,
    // `exclusive` without `create`, `truncate` or `append` without WRITE.
    [[nodiscard]] Status check() const noexcept;
};

// An open file. Move-only: it owns one share of the file's lock, given back by close()
// or, for a handle still open, by its destructor. Not synchronised: one user at a time.
//
// A handle of FileSystem::open_shared takes no part in the file's lock: it holds a share of
// the file's node instead, and goes on reading and writing it after the file is removed
// (or replaced), until it closes. Other handles may then change the file beside any
// handle, so an offset may lie past the end: a read there finds nothing, and a write there
// fills the gap with zero bytes first.
class FileHandle {
  public:
    // Opens the node `inode` (links followed), taking the file's lock as `mode` asks.
    [[nodiscard]] static Result<FileHandle> make(std::shared_ptr<FileSystem> fs, InodeId inode,
                                                 FileHandleType mode);
    // The same for a node the caller has already reached from `inode` (links followed).
    [[nodiscard]] static Result<FileHandle> make_at(std::shared_ptr<FileSystem> fs, InodeId inode,
                                                    INodeRef node, FileHandleType mode);
    // A handle of open_shared on `node` (links already followed), emptying the file when
    // `flags` truncates. The flags have passed check().
    [[nodiscard]] static Result<FileHandle> make_shared(std::shared_ptr<FileSystem> fs,
                                                        INodeRef node, const OpenFlags &flags);

    // The moved-from handle is left closed, so it gives nothing back when destroyed.
    FileHandle(FileHandle &&other) noexcept
        : id_(std::exchange(other.id_, std::nullopt)), type_(other.type_),
          fs_(std::move(other.fs_)), offset_(other.offset_), node_(std::move(other.node_)),
          shared_(other.shared_), append_(other.append_) {}
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    // Both close a handle that is still open (the assigned-to one, for the assignment). An
    // invariant violation met there cannot be reported from either and is dropped; owners
    // that can report it call close() themselves first.
    FileHandle &operator=(FileHandle &&other) noexcept;
    ~FileHandle();

    // Copies up to buffer.size() bytes from the offset and moves the offset past them.
    [[nodiscard]] Result<std::size_t> read(std::span<std::uint8_t> buffer);
    // Reads up to `max` bytes without a buffer of the caller's: `sink` is called once, under
    // the file's lock, with the bytes available. If it returns false (it could not take
    // them), the offset stays and the result is 0. What `sink` may do is set out in
    // fs/locking.hpp.
    [[nodiscard]] Result<std::size_t>
    read_with(std::uint64_t max, FunctionRef<bool(std::span<const std::uint8_t>)> sink);
    // Stores the bytes at the offset (at the end, for an appending handle), growing the file
    // as needed; the offset does not move.
    [[nodiscard]] Result<std::size_t> write(std::span<const std::uint8_t> bytes);
    // The same, then moves the offset past the bytes stored.
    [[nodiscard]] Result<std::size_t> write_advancing(std::span<const std::uint8_t> bytes);
    // Sets the file's length, cutting it or extending it with zero bytes; needs WRITE.
    // An offset past the new end is brought back to it.
    [[nodiscard]] Status truncate(std::uint64_t size);
    // The file's kind, size, id and times, as FileSystem::stat gives them.
    [[nodiscard]] Result<NodeStat> stat() const;
    // Moves the offset, clamped into the file.
    [[nodiscard]] Status seek(SeekOrigin origin, std::uint64_t distance);
    // Gives the file's lock back; the handle is closed for good.
    [[nodiscard]] Status close();

    [[nodiscard]] std::optional<InodeId> id() const noexcept { return id_; }
    [[nodiscard]] FileHandleType type() const noexcept { return type_; }
    [[nodiscard]] std::uint64_t offset() const noexcept { return offset_; }
    [[nodiscard]] bool is_open() const noexcept { return id_.has_value(); }
    // Whether the handle came from open_shared (and so holds no part of the file's lock).
    [[nodiscard]] bool is_shared() const noexcept { return shared_; }
    [[nodiscard]] bool appends() const noexcept { return append_; }

    // FileHandle { id: Some(3), type: FileHandleType(READ), fs: FileSystem { ... }, offset: 0 }
    [[nodiscard]] std::string render() const;

  private:
    FileHandle(std::shared_ptr<FileSystem> fs, InodeId id, FileHandleType type, INodeRef node,
               bool shared = false, bool append = false) noexcept
        : id_(id), type_(type), fs_(std::move(fs)), node_(std::move(node)), shared_(shared),
          append_(append) {}

    void close_quietly() noexcept;
    // write() and write_advancing().
    [[nodiscard]] Result<std::size_t> store(std::span<const std::uint8_t> bytes, bool advance);
    // The checks of write and truncate (`operation` names the refused one), then
    // `change(bytes, node)` under the file's exclusive lock.
    template <class Change>
    auto change_bytes(const char *operation, Change &&change)
        -> decltype(change(std::declval<ByteVector &>(), std::declval<INode &>()));
    // The file's node while the handle is open. `pin` keeps it alive when it had to be
    // looked up again.
    [[nodiscard]] Result<INode *> open_node(INodeRef &pin) const;
    // `use(file)` with the file's node held by a `Lock` (shared or exclusive), once the
    // handle is known to be open on a file.
    template <class Lock, class Use>
    auto with_file(Use &&use) const -> decltype(use(std::declval<File &>()));

    std::optional<InodeId> id_;
    FileHandleType type_;
    std::shared_ptr<FileSystem> fs_;
    std::uint64_t offset_ = 0;
    // The node `id_` names, kept while the handle is open when the id names it directly
    // (not through a link), so that no operation has to look it up again; the node cannot
    // go while the handle holds its lock, short of a release by id, which is checked for.
    // A shared handle always keeps it: its share is all that keeps a removed file alive,
    // and a release is no reason to refuse it.
    INodeRef node_;
    bool shared_ = false;
    bool append_ = false;
};

} // namespace quorvex::fs
