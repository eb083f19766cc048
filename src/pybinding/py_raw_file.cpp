// The raw file that PyFs.open_file returns: a PyFileHandle of open_shared with the
// semantics of io.FileIO on Linux, for io's buffered and text classes to wrap. Every
// method is a C call, so io's wrappers reach the file system without a Python frame.
#include <Python.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>

#include "fs/byte_copy.hpp"
#include "fs/file_handle.hpp"
#include "pybinding/binder.hpp"
#include "pybinding/docstrings.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/objects.hpp"
#include "pybinding/results.hpp"
#include "pybinding/type_support.hpp"

namespace quorvex::py {
namespace {

using fs::FileHandle;
using fs::IoErrorKind;
using fs::SeekOrigin;

constexpr const char kClosedFile[] = "I/O operation on closed file.";
constexpr const char kNotReadable[] = "File not open for reading";
constexpr const char kNotWritable[] = "File not open for writing";
constexpr const char kNoDescriptor[] = "quorvex files have no file descriptor";
constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

// Set once, while the module is made: io.UnsupportedOperation, and the mode texts a file
// shows, by FileMode.
PyObject *unsupported_operation = nullptr;

enum FileMode : std::uint8_t {
    kRead,
    kReadPlus,
    kWrite,
    kWritePlus,
    kCreate,
    kCreatePlus,
    kAppend,
    kAppendPlus,
    kModeCount
};
PyObject *mode_texts[kModeCount] = {};

struct RawFileObject {
    PyObject base;
    PyObject *handle; // the PyFileHandle, owned
    PyObject *name;
    PyObject *mode;
    std::atomic<bool> closed;
    bool readable;
    bool writable;
    bool appends;
    // A position past the end of the file, where the handle's offset (which never lies past
    // the end) cannot follow: the offset waits at the end meanwhile. Read and written only
    // with the handle's lock held.
    std::optional<std::uint64_t> beyond;
};

RawFileObject *raw_of(PyObject *self) noexcept { return as_object<RawFileObject>(self); }

Locked<FileHandle> &locked_handle(const RawFileObject *raw) noexcept {
    return as_object<PyFileHandleObject>(raw->handle)->handle;
}

// ---- failures -------------------------------------------------------------------------

// Raises `type(*args)` with the pending exception as its cause, as `raise ... from` does.
QUORVEX_COLD void raise_from_pending(PyObject *type, PyObject *args) noexcept {
    PyObject *cause_type = nullptr;
    PyObject *cause = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&cause_type, &cause, &traceback);
    PyErr_NormalizeException(&cause_type, &cause, &traceback);
    if (cause && traceback) PyException_SetTraceback(cause, traceback);
    Py_XDECREF(cause_type);
    Py_XDECREF(traceback);
    PyRef raised = PyRef::steal(args ? PyObject_CallObject(type, args) : nullptr);
    if (!raised) {
        Py_XDECREF(cause);
        return;
    }
    if (cause) {
        PyException_SetContext(raised.get(), PyRef::borrow(cause).release());
        PyException_SetCause(raised.get(), cause);
    }
    PyErr_SetObject(type, raised.get());
}

QUORVEX_COLD PyObject *raise_closed() noexcept {
    PyErr_SetString(PyExc_ValueError, kClosedFile);
    return nullptr;
}

QUORVEX_COLD PyObject *raise_unsupported(const char *text) noexcept {
    PyErr_SetString(unsupported_operation, text);
    return nullptr;
}

// OSError(EINVAL) for the file, as io.FileIO raises it for a bad offset or whence.
QUORVEX_COLD PyObject *raise_invalid_argument(const RawFileObject *raw) noexcept {
    PyErr_SetObject(
        PyExc_OSError,
        PyRef::steal(Py_BuildValue("(isO)", EINVAL, std::strerror(EINVAL), raw->name)).get());
    return nullptr;
}

// What Python's own files raise for the core's `error`, chained to the core's ValueError:
// ValueError for a closed file, io.UnsupportedOperation for what the mode lacks, else
// the OSError of the failure's errno with the file's name.
QUORVEX_COLD PyObject *raise_file_error(const RawFileObject *raw,
                                        const fs::IoError &error) noexcept {
    raise_io_error(error);
    PyRef args;
    PyObject *type = PyExc_OSError;
    if (error.kind() == IoErrorKind::InvalidFileDescriptor) {
        type = PyExc_ValueError;
        args = PyRef::steal(Py_BuildValue("(s)", kClosedFile));
    } else if (error.kind() == IoErrorKind::OperationNotSupported) {
        type = unsupported_operation;
        args = PyRef::steal(Py_BuildValue("(s)", raw->readable ? kNotWritable : kNotReadable));
    } else {
        const int code = errno_of(error.kind());
        args = PyRef::steal(Py_BuildValue("(isO)", code, std::strerror(code), raw->name));
    }
    raise_from_pending(type, args.get());
    return nullptr;
}

// ---- positions, with the handle's lock held ---------------------------------------------

fs::Result<std::uint64_t> position_of(const RawFileObject *raw, const FileHandle &handle) {
    if (!handle.is_open()) return IoErrorKind::InvalidFileDescriptor;
    return raw->beyond ? *raw->beyond : handle.offset();
}

// Sets the position; past the end, the handle's offset waits at the end.
fs::Status move_to(RawFileObject *raw, FileHandle &handle, std::uint64_t position) {
    QUORVEX_TRY(handle.seek(SeekOrigin::Start, position)); // stops at the end of the file
    raw->beyond.reset();
    if (position > handle.offset()) raw->beyond = position;
    return {};
}

// Brings the offset to a position past the end, which another file may have reached since.
fs::Status settle(RawFileObject *raw, FileHandle &handle) {
    if (!raw->beyond) return {};
    return move_to(raw, handle, *raw->beyond);
}

fs::Result<std::uint64_t> length_of(FileHandle &handle) {
    const std::uint64_t here = handle.offset();
    QUORVEX_TRY(handle.seek(SeekOrigin::End, 0));
    const std::uint64_t length = handle.offset();
    QUORVEX_TRY(handle.seek(SeekOrigin::Start, here));
    return length;
}

// ---- arguments ----------------------------------------------------------------------------

QUORVEX_COLD PyObject *raise_argument_count(const char *method, Py_ssize_t most,
                                            Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%s expected at most %zd arguments, got %zd", method, most,
                 given);
    return nullptr;
}

// An optional size: None or absent is -1, anything else an index (a float is a TypeError).
bool optional_size(PyObject *const *args, Py_ssize_t nargs, Py_ssize_t &out) noexcept {
    out = -1;
    if (nargs == 0 || args[0] == Py_None) return true;
    out = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
    return out != -1 || PyErr_Occurred() == nullptr;
}

// A signed 64-bit offset from an index; OverflowError past it, as for an off_t.
bool offset_argument(PyObject *object, long long &out) noexcept {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return false;
    out = PyLong_AsLongLong(index.get());
    return out != -1 || PyErr_Occurred() == nullptr;
}

// The bytes a write takes: any C-contiguous buffer, refused as io.FileIO refuses others
// (TypeError for what has no buffer, BufferError for one that is not contiguous).
class WriteSource {
  public:
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 < 0x030B0000
    bool acquire(PyObject *object) noexcept {
        if (bytes_.acquire(object)) return true;
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyRef view = PyRef::steal(PyMemoryView_FromObject(object));
        if (!view) return false; // TypeError: no buffer at all
        PyErr_SetString(PyExc_BufferError, "memoryview: underlying buffer is not C-contiguous");
        return false;
    }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return bytes_.bytes(); }

  private:
    ReadableBytes bytes_;
#else
    WriteSource() noexcept = default;
    WriteSource(const WriteSource &) = delete;
    WriteSource &operator=(const WriteSource &) = delete;
    ~WriteSource() {
        if (view_.obj) PyBuffer_Release(&view_);
    }
    bool acquire(PyObject *object) noexcept {
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0) return true;
        view_ = {};
        return false;
    }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept {
        return {static_cast<const std::uint8_t *>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

  private:
    Py_buffer view_{};
#endif
};

// ---- reading ------------------------------------------------------------------------------

// Up to `limit` bytes from the position, as a new bytes object; with `line`, only as far
// as the first newline.
PyObject *read_bytes(RawFileObject *raw, std::uint64_t limit, bool line) {
    PyRef bytes;
    bool allocation_failed = false;
    auto count = locked_handle(raw).with([&](FileHandle &handle) -> fs::Result<std::size_t> {
        QUORVEX_TRY(settle(raw, handle));
        const std::uint64_t start = handle.offset();
        std::size_t taken = 0;
        auto read = handle.read_with(limit, [&](std::span<const std::uint8_t> available) {
            taken = available.size();
            if (line) {
                const void *newline = std::memchr(available.data(), '\n', available.size());
                if (newline)
                    taken = static_cast<std::size_t>(static_cast<const std::uint8_t *>(newline) -
                                                     available.data() + 1);
            }
            bytes =
                PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(taken)));
            allocation_failed = !bytes;
            if (allocation_failed) return false;
            fs::copy_bytes(reinterpret_cast<std::uint8_t *>(PyBytes_AsString(bytes.get())),
                           available.data(), taken);
            return true;
        });
        if (!read) return read.error();
        if (*read > taken) QUORVEX_TRY(handle.seek(SeekOrigin::Start, start + taken));
        return taken;
    });
    if (allocation_failed) return nullptr; // MemoryError is set
    if (!count) return raise_file_error(raw, count.error());
    if (!bytes) return PyBytes_FromStringAndSize(nullptr, 0);
    return bytes.release();
}

PyObject *raw_read(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        if (nargs > 1) return raise_argument_count("read", 1, nargs);
        Py_ssize_t size = -1;
        if (!optional_size(args, nargs, size)) return nullptr;
        return read_bytes(raw_of(self), size < 0 ? kNoLimit : static_cast<std::uint64_t>(size),
                          false);
    });
}

PyObject *raw_readall(PyObject *self, PyObject *) noexcept {
    return guarded<PyObject *>(nullptr, [&] { return read_bytes(raw_of(self), kNoLimit, false); });
}

PyObject *raw_readline(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        if (nargs > 1) return raise_argument_count("readline", 1, nargs);
        Py_ssize_t size = -1;
        if (!optional_size(args, nargs, size)) return nullptr;
        return read_bytes(raw_of(self), size < 0 ? kNoLimit : static_cast<std::uint64_t>(size),
                          true);
    });
}

PyObject *raw_readinto(PyObject *self, PyObject *buffer_object) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        RawFileObject *raw = raw_of(self);
        WritableBytes buffer;
        if (!buffer.acquire(buffer_object)) return nullptr;
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 < 0x030B0000
        // The bytes are stored through a memoryview once the handle is unlocked; should
        // that fail, the position goes back to where the read started.
        PyRef taken;
        std::uint64_t start = 0;
        auto count = locked_handle(raw).with([&](FileHandle &handle) -> fs::Result<std::size_t> {
            QUORVEX_TRY(settle(raw, handle));
            start = handle.offset();
            return handle.read_with(buffer.size(), [&](std::span<const std::uint8_t> bytes) {
                taken = PyRef::steal(
                    PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bytes.data()),
                                              static_cast<Py_ssize_t>(bytes.size())));
                return static_cast<bool>(taken);
            });
        });
        if (count && *count > 0 && !taken) return nullptr; // MemoryError is set
        if (!count) return raise_file_error(raw, count.error());
        if (*count > 0) {
            const auto *data =
                reinterpret_cast<const std::uint8_t *>(PyBytes_AsString(taken.get()));
            if (!data || !buffer.store(std::span(data, *count))) {
                locked_handle(raw).with(
                    [&](FileHandle &handle) { (void)handle.seek(SeekOrigin::Start, start); });
                return nullptr;
            }
        }
#else
        auto count = locked_handle(raw).with([&](FileHandle &handle) -> fs::Result<std::size_t> {
            QUORVEX_TRY(settle(raw, handle));
            return handle.read(buffer.bytes());
        });
        if (!count) return raise_file_error(raw, count.error());
#endif
        return int_result(*count).release();
    });
}

// ---- writing ------------------------------------------------------------------------------

PyObject *write_object(RawFileObject *raw, PyObject *data) {
    WriteSource source;
    if (!source.acquire(data)) return nullptr;
    const std::span<const std::uint8_t> bytes = source.bytes();
    if (bytes.empty()) {
        // Nothing is written, so nothing moves: not even a gap is filled.
        if (raw->closed.load(std::memory_order_relaxed)) return raise_closed();
        if (!raw->writable) return raise_unsupported(kNotWritable);
        return int_result(0).release();
    }
    auto count = locked_handle(raw).with([&](FileHandle &handle) -> fs::Result<std::size_t> {
        if (raw->beyond && !handle.appends()) {
            // The gap up to the position is filled with zero bytes, unless another file
            // has grown this one past the position meanwhile.
            QUORVEX_TRY(settle(raw, handle));
            if (raw->beyond) {
                QUORVEX_TRY(handle.truncate(*raw->beyond));
                QUORVEX_TRY(handle.seek(SeekOrigin::Start, *raw->beyond));
            }
        }
        // Copied once, at the offset (at the end in append mode), which moves past it.
        auto written = handle.write_advancing(bytes);
        if (written) raw->beyond.reset();
        return written;
    });
    if (!count) return raise_file_error(raw, count.error());
    return int_result(*count).release();
}

PyObject *raw_write(PyObject *self, PyObject *data) noexcept {
    return guarded<PyObject *>(nullptr, [&] { return write_object(raw_of(self), data); });
}

PyObject *raw_writelines(PyObject *self, PyObject *lines) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        RawFileObject *raw = raw_of(self);
        if (raw->closed.load(std::memory_order_relaxed)) return raise_closed();
        PyRef iterator = PyRef::steal(PyObject_GetIter(lines));
        if (!iterator) return nullptr;
        while (PyRef line = PyRef::steal(PyIter_Next(iterator.get()))) {
            if (!PyRef::steal(write_object(raw, line.get()))) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        return none_result().release();
    });
}

PyObject *raw_truncate(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        RawFileObject *raw = raw_of(self);
        if (nargs > 1) return raise_argument_count("truncate", 1, nargs);
        if (raw->closed.load(std::memory_order_relaxed)) return raise_closed();
        if (!raw->writable) return raise_unsupported(kNotWritable);
        std::optional<std::uint64_t> size;
        if (nargs == 1 && args[0] != Py_None) {
            long long value = 0;
            if (!offset_argument(args[0], value)) return nullptr;
            if (value < 0) return raise_invalid_argument(raw);
            size = static_cast<std::uint64_t>(value);
        }
        auto result = locked_handle(raw).with([&](FileHandle &handle) -> fs::Result<std::uint64_t> {
            auto position = position_of(raw, handle);
            if (!position) return position.error();
            const std::uint64_t target = size.value_or(*position);
            QUORVEX_TRY(handle.truncate(target));
            QUORVEX_TRY(move_to(raw, handle, *position)); // the position stays, even past the end
            return target;
        });
        if (!result) return raise_file_error(raw, result.error());
        return int_result(*result).release();
    });
}

// ---- positioning --------------------------------------------------------------------------

PyObject *raw_seek(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        RawFileObject *raw = raw_of(self);
        if (nargs < 1 || nargs > 2) {
            PyErr_Format(PyExc_TypeError, "seek expected 1 or 2 arguments, got %zd", nargs);
            return nullptr;
        }
        long long distance = 0;
        if (!offset_argument(args[0], distance)) return nullptr;
        long whence = 0;
        if (nargs == 2) {
            PyRef index = PyRef::steal(PyNumber_Index(args[1]));
            if (!index) return nullptr;
            whence = PyLong_AsLong(index.get());
            if (whence == -1 && PyErr_Occurred()) return nullptr;
        }
        if (raw->closed.load(std::memory_order_relaxed)) return raise_closed();
        if (whence < 0 || whence > 2) return raise_invalid_argument(raw);
        bool refused = false;
        auto result = locked_handle(raw).with([&](FileHandle &handle) -> fs::Result<std::uint64_t> {
            long long base = 0;
            if (whence == 1) {
                auto position = position_of(raw, handle);
                if (!position) return position.error();
                base = static_cast<long long>(*position);
            } else if (whence == 2) {
                auto length = length_of(handle);
                if (!length) return length.error();
                base = static_cast<long long>(*length);
            }
            long long target = 0;
            if (__builtin_add_overflow(base, distance, &target) || target < 0) {
                refused = true; // the position stays where it was
                return 0;
            }
            QUORVEX_TRY(move_to(raw, handle, static_cast<std::uint64_t>(target)));
            return static_cast<std::uint64_t>(target);
        });
        if (!result) return raise_file_error(raw, result.error());
        if (refused) return raise_invalid_argument(raw);
        return int_result(*result).release();
    });
}

PyObject *raw_tell(PyObject *self, PyObject *) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        RawFileObject *raw = raw_of(self);
        if (raw->closed.load(std::memory_order_relaxed)) return raise_closed();
        auto position =
            locked_handle(raw).with([&](FileHandle &handle) { return position_of(raw, handle); });
        if (!position) return raise_file_error(raw, position.error());
        return int_result(*position).release();
    });
}

// ---- closing and the constant answers ---------------------------------------------------

// Closes the handle once; a handle already closed through itself is no failure.
void close_file(RawFileObject *raw) {
    if (raw->closed.exchange(true)) return;
    locked_handle(raw).with([](FileHandle &handle) { (void)handle.close(); });
}

PyObject *raw_close(PyObject *self, PyObject *) noexcept {
    return guarded<PyObject *>(nullptr, [&] {
        close_file(raw_of(self));
        return none_result().release();
    });
}

PyObject *raw_exit(PyObject *self, PyObject *const *, Py_ssize_t) noexcept {
    return raw_close(self, nullptr);
}

// The answer of a method that only an open file gives.
PyObject *if_open(PyObject *self, PyObject *answer) noexcept {
    if (raw_of(self)->closed.load(std::memory_order_relaxed)) return raise_closed();
    return PyRef::borrow(answer).release();
}

PyObject *raw_readable(PyObject *self, PyObject *) noexcept {
    return if_open(self, raw_of(self)->readable ? Py_True : Py_False);
}
PyObject *raw_writable(PyObject *self, PyObject *) noexcept {
    return if_open(self, raw_of(self)->writable ? Py_True : Py_False);
}
PyObject *raw_seekable(PyObject *self, PyObject *) noexcept { return if_open(self, Py_True); }
PyObject *raw_isatty(PyObject *self, PyObject *) noexcept { return if_open(self, Py_False); }
PyObject *raw_flush(PyObject *self, PyObject *) noexcept { return if_open(self, Py_None); }
PyObject *raw_enter(PyObject *self, PyObject *) noexcept { return if_open(self, self); }
PyObject *raw_iter(PyObject *self) noexcept { return if_open(self, self); }

PyObject *raw_fileno(PyObject *, PyObject *) noexcept { return raise_unsupported(kNoDescriptor); }

PyObject *raw_next(PyObject *self) noexcept {
    PyObject *line = raw_readline(self, nullptr, 0);
    if (line && PyBytes_Size(line) == 0) {
        Py_DECREF(line);
        return nullptr; // the end: no exception set
    }
    return line;
}

PyObject *raw_readlines(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        if (nargs > 1) return raise_argument_count("readlines", 1, nargs);
        Py_ssize_t hint = -1;
        if (!optional_size(args, nargs, hint)) return nullptr;
        PyRef lines = PyRef::steal(PyList_New(0));
        if (!lines) return nullptr;
        Py_ssize_t total = 0;
        while (true) {
            PyRef line = PyRef::steal(read_bytes(raw_of(self), kNoLimit, true));
            if (!line) return nullptr;
            const Py_ssize_t length = PyBytes_Size(line.get());
            if (length == 0) break;
            if (PyList_Append(lines.get(), line.get()) < 0) return nullptr;
            total += length;
            if (hint > 0 && total >= hint) break;
        }
        return lines.release();
    });
}

PyObject *raw_repr(PyObject *self) noexcept {
    RawFileObject *raw = raw_of(self);
    return PyUnicode_FromFormat("<quorvex_fs.FileIO name=%R mode=%R%s>", raw->name, raw->mode,
                                raw->closed.load(std::memory_order_relaxed) ? " [closed]" : "");
}

PyObject *raw_get_closed(PyObject *self, void *) noexcept {
    return PyBool_FromLong(raw_of(self)->closed.load(std::memory_order_relaxed));
}
PyObject *raw_get_name(PyObject *self, void *) noexcept {
    return PyRef::borrow(raw_of(self)->name).release();
}
PyObject *raw_get_mode(PyObject *self, void *) noexcept {
    return PyRef::borrow(raw_of(self)->mode).release();
}
PyObject *raw_get_handle(PyObject *self, void *) noexcept {
    return PyRef::borrow(raw_of(self)->handle).release();
}

void raw_dealloc(PyObject *self) noexcept {
    // Dropped unclosed, the file is closed as io.FileIO closes its descriptor. A failure
    // cannot be reported from here, and the handle reports its own as it goes.
    RawFileObject *raw = raw_of(self);
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    guarded<int>(0, [&] {
        close_file(raw);
        return 0;
    });
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    Py_XDECREF(raw->handle);
    Py_XDECREF(raw->name);
    Py_XDECREF(raw->mode);
    raw->beyond.~optional();
    raw->closed.~atomic();
    free_instance(self);
}

template <class R, class... Args> PyCFunction fastcall(R (*function)(Args...)) noexcept {
    return method_function(function);
}

PyMethodDef raw_file_methods[] = {
    {"read", fastcall(raw_read), METH_FASTCALL, doc::kRawRead},
    {"readall", method_function(raw_readall), METH_NOARGS, doc::kRawReadall},
    {"readinto", method_function(raw_readinto), METH_O, doc::kRawReadinto},
    {"readline", fastcall(raw_readline), METH_FASTCALL, doc::kRawReadline},
    {"readlines", fastcall(raw_readlines), METH_FASTCALL, doc::kRawReadlines},
    {"write", method_function(raw_write), METH_O, doc::kRawWrite},
    {"writelines", method_function(raw_writelines), METH_O, doc::kRawWritelines},
    {"seek", fastcall(raw_seek), METH_FASTCALL, doc::kRawSeek},
    {"tell", method_function(raw_tell), METH_NOARGS, doc::kRawTell},
    {"truncate", fastcall(raw_truncate), METH_FASTCALL, doc::kRawTruncate},
    {"close", method_function(raw_close), METH_NOARGS, doc::kRawClose},
    {"flush", method_function(raw_flush), METH_NOARGS, doc::kRawFlush},
    {"readable", method_function(raw_readable), METH_NOARGS, doc::kRawReadable},
    {"writable", method_function(raw_writable), METH_NOARGS, doc::kRawWritable},
    {"seekable", method_function(raw_seekable), METH_NOARGS, doc::kRawSeekable},
    {"isatty", method_function(raw_isatty), METH_NOARGS, doc::kRawIsatty},
    {"fileno", method_function(raw_fileno), METH_NOARGS, doc::kRawFileno},
    {"__enter__", method_function(raw_enter), METH_NOARGS, nullptr},
    {"__exit__", fastcall(raw_exit), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef raw_file_getset[] = {
    {"closed", raw_get_closed, nullptr, const_cast<char *>(doc::kRawClosed), nullptr},
    {"name", raw_get_name, nullptr, const_cast<char *>(doc::kRawName), nullptr},
    {"mode", raw_get_mode, nullptr, const_cast<char *>(doc::kRawMode), nullptr},
    {"handle", raw_get_handle, nullptr, const_cast<char *>(doc::kRawHandle), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot raw_file_slots[] = {
    {Py_tp_new, slot_function(no_constructor)},
    {Py_tp_dealloc, slot_function(raw_dealloc)},
    {Py_tp_repr, slot_function(raw_repr)},
    {Py_tp_iter, slot_function(raw_iter)},
    {Py_tp_iternext, slot_function(raw_next)},
    {Py_tp_methods, raw_file_methods},
    {Py_tp_getset, raw_file_getset},
    {Py_tp_doc, const_cast<char *>(doc::kRawFile)},
    {0, nullptr},
};

PyType_Spec raw_file_spec = {
    "quorvex_fs.FileIO", static_cast<int>(sizeof(RawFileObject)), 0, Py_TPFLAGS_DEFAULT,
    raw_file_slots,
};

// Whether the running interpreter shows a file opened "w+" as io.FileIO does from 3.15 on.
int shows_w_plus_as_written() noexcept {
    PyObject *version = PySys_GetObject("version_info"); // borrowed
    if (!version) {
        PyErr_SetString(PyExc_RuntimeError, "sys.version_info is missing");
        return -1;
    }
    PyRef since = PyRef::steal(Py_BuildValue("(ii)", 3, 15));
    if (!since) return -1;
    return PyObject_RichCompareBool(version, since.get(), Py_GE);
}

bool make_mode_texts() noexcept {
    const int written = shows_w_plus_as_written();
    if (written < 0) return false;
    const char *texts[kModeCount] = {"rb", "rb+", "wb", written ? "wb+" : "rb+",
                                     "xb", "xb+", "ab", "ab+"};
    for (int mode = 0; mode < kModeCount; ++mode) {
        mode_texts[mode] = PyUnicode_InternFromString(texts[mode]);
        if (!mode_texts[mode]) return false;
    }
    return true;
}

bool find_unsupported_operation() noexcept {
    PyRef io = PyRef::steal(PyImport_ImportModule("io"));
    if (!io) return false;
    unsupported_operation = PyObject_GetAttrString(io.get(), "UnsupportedOperation");
    return unsupported_operation != nullptr;
}

} // namespace

PyRef create_raw_file_type() noexcept {
    if (!find_unsupported_operation() || !make_mode_texts()) return {};
    return make_sealed_type(raw_file_spec);
}

PyRef wrap_raw_file(PyRef handle, PyObject *name, const fs::OpenFlags &flags) noexcept {
    if (!handle) return handle;
    const bool reads = flags.mode.can_read();
    const bool writes = flags.mode.can_write();
    FileMode mode = reads && !writes ? kRead : kWrite;
    if (flags.create && flags.exclusive) {
        mode = kCreate;
    } else if (flags.append) {
        mode = kAppend;
    } else if (reads && writes && !flags.truncate) {
        mode = kRead;
    }
    if (reads && writes) mode = static_cast<FileMode>(mode + 1);

    PyRef object = PyRef::steal(PyType_GenericAlloc(module_types.raw_file, 0));
    if (!object) return object;
    RawFileObject *raw = raw_of(object.get());
    raw->handle = handle.release();
    raw->name = PyRef::borrow(name).release();
    raw->mode = PyRef::borrow(mode_texts[mode]).release();
    new (&raw->closed) std::atomic<bool>(false);
    raw->readable = reads;
    raw->writable = writes;
    raw->appends = flags.append;
    new (&raw->beyond) std::optional<std::uint64_t>();
    return object;
}

} // namespace quorvex::py
