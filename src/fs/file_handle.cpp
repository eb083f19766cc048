#include "fs/file_handle.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <shared_mutex>

#include "fs/byte_copy.hpp"
#include "fs/clock.hpp"
#include "fs/test_hooks.hpp"

namespace quorvex::fs {

// --- modes ---------------------------------------------------------------------------

Result<FileHandleType> FileHandleType::from_str(std::string_view text) noexcept {
    std::uint32_t bits = kEmptyBits;
    // Every accepted character is ASCII, so any other byte (including each byte of a
    // multi-byte character) is refused just as the character would be.
    for (const char c : text) {
        const std::uint32_t bit = c == 'r' ? kReadBit : c == 'w' ? kWriteBit : 0;
        if (bit == 0 || (bits & bit)) return IoErrorKind::UnrecognizedFileMode;
        bits |= bit;
    }
    return FileHandleType(bits);
}

std::string FileHandleType::debug() const {
    if (bits_ == kEmptyBits) return "FileHandleType(0x0)";
    std::string text = "FileHandleType(";
    if (can_read()) text += "READ";
    if (can_read() && can_write()) text += " | ";
    if (can_write()) text += "WRITE";
    text += ')';
    return text;
}

Status OpenFlags::check() const noexcept {
    const bool sensible = (mode.can_read() || mode.can_write()) && (create || !exclusive) &&
                          (mode.can_write() || (!truncate && !append));
    if (!sensible) return IoErrorKind::UnrecognizedFileMode;
    return {};
}

namespace {

// The capacity a file's bytes grow to for `size` bytes: at least twice the old one, as the
// vector itself would grow, and from a page on rounded up to whole pages and 48 bytes
// more. With malloc's 16-byte chunk header, a block malloc then places right after the
// contents begins 64 bytes further into the page than they do, and a bytes object's data
// 96: a copy between the two (a read into a buffer made after the file was written) is
// neither one of the pairs 1 to 31 bytes apart that copy_bytes has to route around, nor
// one 33 to 63 apart, which memcpy copies about 1.4 times slower. A power of two, as
// doubling gives, would put that block 16 bytes further in, and a bytes object's data 48.
std::size_t grown_capacity(std::size_t size, std::size_t capacity) noexcept {
    constexpr std::size_t kPage = 4096;
    constexpr std::size_t kPastPage = 48;
    const std::size_t wanted = std::max(size, capacity * 2);
    if (wanted < kPage || wanted > std::numeric_limits<std::size_t>::max() / 2) return wanted;
    return (wanted + kPage - 1) / kPage * kPage + kPastPage;
}

// Sets the length of a file's bytes, zero-filling growth. Growth is reserved in the file
// system's usage first (NoSpaceLeft, changing nothing, when it would pass the limit) and
// given back if it cannot be made; what a cut takes off is given back at once.
// With `overwritten`, the caller overwrites the growth at once, so it is left unzeroed.
Status resize_counted(ByteVector &data, std::size_t size, const INode &node,
                      bool overwritten = false) {
    Usage *usage = node.is_counted() ? NodePool::usage_of(const_cast<INode *>(&node)) : nullptr;
    const std::size_t old_size = data.size();
    if (size <= old_size) {
        data.resize(size);
        if (usage) usage->release_bytes(old_size - size);
        return {};
    }
    if (usage && !usage->try_reserve_bytes(size - old_size)) return IoErrorKind::NoSpaceLeft;
    try {
        // May throw std::bad_alloc; the contents are untouched until it has succeeded.
        if (size > data.capacity()) data.reserve(grown_capacity(size, data.capacity()));
        if (overwritten) {
            data.grow_for_overwrite(size);
        } else {
            data.resize(size);
        }
    } catch (...) {
        if (usage && !planted::kNoUsageRollback) usage->release_bytes(size - old_size);
        throw;
    }
    return {};
}

} // namespace

// --- opening -------------------------------------------------------------------------

Result<FileHandle> FileHandle::make(std::shared_ptr<FileSystem> fs, InodeId inode,
                                    FileHandleType mode) {
    auto node = fs->resolve(inode);
    if (!node) return node.error();
    return make_at(std::move(fs), inode, std::move(*node), mode);
}

Result<FileHandle> FileHandle::make_at(std::shared_ptr<FileSystem> fs, InodeId inode, INodeRef node,
                                       FileHandleType mode) {
    // A node reached through its directory may have left the table since; a lookup by id
    // would no longer find it.
    if (is_released(*node)) return IoErrorKind::InodeNotFound;
    // No node lock: a node's type never changes, and the file's lock word alone decides
    // between this open, other handles and a removal (which claims the word for good), so
    // the open writes nothing of the node but that word and its share.
    auto *file = node->as_file();
    if (!file) return IoErrorKind::NotAFile;
    const bool taken =
        mode.can_write() ? file->lock.try_acquire_exclusive() : file->lock.try_acquire_shared();
    if (!taken) return IoErrorKind::ResourceCurrentInUse;
    if (node->id != inode) node.reset();
    return FileHandle(std::move(fs), inode, mode, std::move(node));
}

Result<FileHandle> FileHandle::make_shared(std::shared_ptr<FileSystem> fs, INodeRef node,
                                           const OpenFlags &flags) {
    if (is_released(*node)) return IoErrorKind::InodeNotFound;
    // A node's type never changes, so this needs no lock.
    if (!node->is_file()) return IoErrorKind::NotAFile;
    if constexpr (planted::kDetachedNeverFreed) (void)INodeRef(node).detach();
    if (flags.truncate) {
        const std::unique_lock guard(node->lock);
        (void)resize_counted(node->as_file()->data.data, 0, *node); // a cut cannot fail
        node->touch_mtime(now_ns());
    }
    const InodeId id = node->id;
    return FileHandle(std::move(fs), id, flags.mode, std::move(node), true, flags.append);
}

// --- the handle ----------------------------------------------------------------------

FileHandle &FileHandle::operator=(FileHandle &&other) noexcept {
    if (this != &other) {
        close_quietly();
        id_ = std::exchange(other.id_, std::nullopt);
        type_ = other.type_;
        fs_ = std::move(other.fs_);
        offset_ = other.offset_;
        node_ = std::move(other.node_);
        shared_ = other.shared_;
        append_ = other.append_;
    }
    return *this;
}

FileHandle::~FileHandle() { close_quietly(); }

void FileHandle::close_quietly() noexcept {
    if (!is_open()) return;
    try {
        (void)close();
    } catch (...) { // NOLINT(bugprone-empty-catch): nowhere to report it from here
        // An invariant violation (or the allocation failure of its message); the handle's
        // old state is going away regardless.
    }
}

Result<INode *> FileHandle::open_node(INodeRef &pin) const {
    if (!id_) return IoErrorKind::InvalidFileDescriptor;
    if (node_) {
        if (!shared_ && is_released(*node_)) return IoErrorKind::InodeNotFound;
        return node_.get();
    }
    auto node = fs_->resolve(*id_);
    if (!node) return node.error();
    pin = std::move(*node);
    return pin.get();
}

template <class Lock, class Use>
auto FileHandle::with_file(Use &&use) const -> decltype(use(std::declval<File &>())) {
    INodeRef pin;
    auto node = open_node(pin);
    if (!node) return node.error();
    const Lock guard((*node)->lock);
    auto *file = (*node)->as_file();
    if (!file) return IoErrorKind::NotAFile;
    return use(*file);
}

Result<std::size_t> FileHandle::read(std::span<std::uint8_t> buffer) {
    return read_with(buffer.size(), [&](std::span<const std::uint8_t> bytes) {
        copy_bytes(buffer.data(), bytes.data(), bytes.size());
        return true;
    });
}

Result<std::size_t> FileHandle::read_with(std::uint64_t max,
                                          FunctionRef<bool(std::span<const std::uint8_t>)> sink) {
    if (!id_) return IoErrorKind::InvalidFileDescriptor;
    if (!type_.can_read()) return IoError::operation_not_supported("read");
    return with_file<std::shared_lock<NodeLock>>([&](const File &file) -> Result<std::size_t> {
        const ByteVector &bytes = file.data.data;
        // A shared handle may have cut the file below the offset.
        const std::size_t available =
            offset_ < bytes.size() ? bytes.size() - static_cast<std::size_t>(offset_) : 0;
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(max, available));
        {
            const locking::CallbackScope in_callback;
            if (!sink(std::span(bytes.data() + (available ? offset_ : 0), count))) {
                return std::size_t{0};
            }
        }
        offset_ += count;
        return count;
    });
}

template <class Change>
auto FileHandle::change_bytes(const char *operation, Change &&change)
    -> decltype(change(std::declval<ByteVector &>(), std::declval<INode &>())) {
    if (!id_) return IoErrorKind::InvalidFileDescriptor;
    if (!type_.can_write()) return IoError::operation_not_supported(operation);
    INodeRef pin;
    auto node = open_node(pin);
    if (!node) return node.error();
    const std::unique_lock guard((*node)->lock);
    auto *file = (*node)->as_file();
    if (!file) return IoErrorKind::NotAFile;
    return change(file->data.data, **node);
}

Result<std::size_t> FileHandle::write(std::span<const std::uint8_t> bytes) {
    return store(bytes, false);
}

Result<std::size_t> FileHandle::write_advancing(std::span<const std::uint8_t> bytes) {
    return store(bytes, true);
}

Result<std::size_t> FileHandle::store(std::span<const std::uint8_t> bytes, bool advance) {
    return change_bytes("write", [&](ByteVector &data, INode &node) -> Result<std::size_t> {
        // A write of nothing changes nothing, its time included.
        if (bytes.empty()) return std::size_t{0};
        // An appending handle takes the end as it is now, under the file's exclusive lock,
        // so appends through several handles never land on each other.
        const auto offset = append_ ? data.size() : static_cast<std::size_t>(offset_);
        // An offset past the end (the file was cut by another handle) leaves a gap, which
        // is filled with zero bytes; the rest of the growth is written over at once.
        if (const std::size_t end = data.size(); offset > end || bytes.size() > end - offset) {
            QUORVEX_TRY(resize_counted(data, offset + bytes.size(), node, true));
            if (offset > end) std::memset(data.data() + end, 0, offset - end);
        }
        copy_bytes(data.data() + offset, bytes.data(), bytes.size());
        node.touch_mtime(now_ns());
        if (advance) offset_ = offset + bytes.size();
        return bytes.size();
    });
}

Status FileHandle::truncate(std::uint64_t size) {
    return change_bytes("truncate", [&](ByteVector &data, INode &node) -> Status {
        QUORVEX_TRY(resize_counted(data, static_cast<std::size_t>(size), node));
        // Only this handle's offset is brought inside: a writing handle of open() excludes
        // every other of open(), and the others cope with an offset past the end.
        offset_ = std::min(offset_, size);
        node.touch_mtime(now_ns());
        return {};
    });
}

Result<NodeStat> FileHandle::stat() const {
    INodeRef pin;
    auto node = open_node(pin);
    if (!node) return node.error();
    return FileSystem::stat_node(**node);
}

Status FileHandle::seek(SeekOrigin origin, std::uint64_t distance) {
    return with_file<std::shared_lock<NodeLock>>([&](const File &file) -> Status {
        const std::uint64_t length = file.data.data.size();
        std::uint64_t target = 0;
        switch (origin) {
        case SeekOrigin::Start:
            target = distance;
            break;
        case SeekOrigin::End:
            target = distance > length ? 0 : length - distance;
            break;
        case SeekOrigin::Current:
            target = distance > std::numeric_limits<std::uint64_t>::max() - offset_
                         ? std::numeric_limits<std::uint64_t>::max()
                         : offset_ + distance;
            break;
        }
        offset_ = std::min(target, length);
        return {};
    });
}

Status FileHandle::close() {
    if (shared_) {
        if (!id_) return IoErrorKind::InvalidFileDescriptor;
        id_.reset();
        node_.reset(); // a removed file goes with the last share of it
        return {};
    }
    INodeRef pin;
    auto node = open_node(pin);
    if (!node) return node.error();
    // As in make_at, the lock word needs no node lock.
    auto *file = (*node)->as_file();
    if (!file) return IoErrorKind::NotAFile;
    if (type_.can_write()) {
        file->lock.release_exclusive();
    } else {
        file->lock.release_shared();
    }
    id_.reset();
    node_.reset();
    return {};
}

std::string FileHandle::render() const {
    std::string text = "FileHandle { id: ";
    if (id_) {
        text += "Some(" + std::to_string(*id_) + ")";
    } else {
        text += "None";
    }
    text += ", type: " + type_.debug() + ", fs: " + fs_->render() +
            ", offset: " + std::to_string(offset_) + " }";
    return text;
}

} // namespace quorvex::fs
