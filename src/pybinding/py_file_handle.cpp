// PyFileHandle: an open file of a PyFs, with read, write, seek, tell, close and id, and
// readinto, write_from and truncate for Python's own file objects.
#include <Python.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include <unistd.h>

#include "fs/file_handle.hpp"
#include "pybinding/binder.hpp"
#include "pybinding/docstrings.hpp"
#include "pybinding/entry_points.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/objects.hpp"
#include "pybinding/results.hpp"
#include "pybinding/type_support.hpp"

namespace quorvex::py {
namespace {

using fs::FileHandle;

constinit Signature<Size> read_signature{"PyFileHandle", "read", {"buffer"}};
constinit Signature<Bytes> write_signature{"PyFileHandle", "write", {"buffer"}};
constinit Signature<Size, Instance<WhenceObject>> seek_signature{
    "PyFileHandle", "seek", {"offset"}, {"whence"}};

Locked<FileHandle> &handle_of(PyObject *self) noexcept {
    return as_object<PyFileHandleObject>(self)->handle;
}

// The memory of a few freed handles, kept for the next ones: files are opened and closed
// in loops, and a block reused skips the allocator both ways. Only on CPython, whose
// objects are plain blocks (PyPy's are proxies of its own objects), and not under the
// address sanitizer, which should see every handle freed. Used under the interpreter
// lock only; the module's types are process-wide, and so is this. The free-threaded
// build has no such lock to keep the list to one thread at a time, and its allocator
// already keeps freed blocks per thread, so it goes without.
#if defined(PYPY_VERSION) || defined(__SANITIZE_ADDRESS__) || defined(Py_GIL_DISABLED)
constexpr int kKeptHandles = 0;
#else
constexpr int kKeptHandles = 16;
#endif
struct KeptHandles {
    PyObject *blocks[kKeptHandles > 0 ? kKeptHandles : 1] = {};
    int count = 0;
};
constinit KeptHandles kept_handles;

// A new handle object, from a kept block when there is one.
PyObject *new_handle_object() noexcept {
    PyTypeObject *type = PyFileHandleObject::type();
    if (kKeptHandles > 0 && kept_handles.count > 0) {
        // PyObject_Init sets the header, taking the reference on the heap type that
        // every instance holds.
        return PyObject_Init(kept_handles.blocks[--kept_handles.count], type);
    }
    return PyType_GenericAlloc(type, 0);
}

// Frees a handle object whose C++ part is gone, or keeps its block.
void free_handle_object(PyObject *object) noexcept {
    if (kKeptHandles > 0 && kept_handles.count < kKeptHandles) {
        kept_handles.blocks[kept_handles.count++] = object;
        Py_DECREF(PyFileHandleObject::type());
        return;
    }
    free_instance(object);
}

// Releases the interpreter lock for the length of a scope; nothing in it may touch a
// Python object.
class WithoutInterpreterLock {
  public:
    WithoutInterpreterLock() noexcept : state_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
    WithoutInterpreterLock(const WithoutInterpreterLock &) = delete;
    WithoutInterpreterLock &operator=(const WithoutInterpreterLock &) = delete;

  private:
    PyThreadState *state_;
};

// The line that every successful read prints on the process's standard output, past the
// interpreter's own sys.stdout, written whole: on after short writes, given up silently on
// a descriptor that cannot be written (closed, a broken pipe). The interpreter lock is
// released around each write, so a full pipe holds up only this thread, as print() would;
// an interrupted write runs the Python signal handlers, and one that raises (SIGINT's
// KeyboardInterrupt) ends the wait: false, with that exception set.
bool print_read_line(std::size_t count) noexcept {
    char line[64];
    const int length = std::snprintf(line, sizeof line, message::kReadLineFormat, count);
    if (length <= 0) return true;
    const char *text = line;
    auto size = static_cast<std::size_t>(length);
    while (size > 0) {
        const auto [written, error] = [&] {
            const WithoutInterpreterLock unlocked;
            const ssize_t result = ::write(STDOUT_FILENO, text, size);
            return std::pair{result, errno};
        }();
        if (written < 0) {
            if (error != EINTR) return true;
            if (PyErr_CheckSignals() < 0) return false;
            continue;
        }
        if (written == 0) return true;
        text += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// An unsigned result of an open handle, or InvalidFileDescriptor once it is closed.
PyRef open_handle_value(PyObject *self, std::uint64_t (*field)(const FileHandle &)) {
    std::optional<std::uint64_t> value =
        handle_of(self).with([&](FileHandle &handle) -> std::optional<std::uint64_t> {
            if (!handle.is_open()) return std::nullopt;
            return field(handle);
        });
    if (!value) {
        raise_io_error(fs::IoErrorKind::InvalidFileDescriptor);
        return {};
    }
    return int_result(*value);
}

// ---- entry points ---------------------------------------------------------------------

void file_handle_dealloc(PyObject *self) noexcept {
    // Destruction does not take the lock, and runs even when it is poisoned. An open
    // handle is closed here rather than by its destructor so that a failure can be
    // reported; a destructor never raises, so it goes to the unraisable hook.
    FileHandle &handle = handle_of(self).unguarded();
    if (handle.is_open()) {
        PyObject *type = nullptr;
        PyObject *value = nullptr;
        PyObject *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        bool failed = false;
        try {
            fs::Status status = handle.close();
            if (!status) {
                failed = true;
                std::string text = message::kCloseOnDestructionFailed;
                text += status.error().message();
                raise_internal_failure(text.c_str());
            }
        } catch (...) {
            failed = true;
            raise_from_current_exception();
        }
        // The object itself is past saving (its count is zero), so its type stands in.
        if (failed) PyErr_WriteUnraisable(reinterpret_cast<PyObject *>(Py_TYPE(self)));
        PyErr_Restore(type, value, traceback);
    }
    handle_of(self).~Locked();
    free_handle_object(self);
}

std::string file_handle_str(PyObject *self) {
    return handle_of(self).with([](FileHandle &handle) { return handle.render(); });
}

PyRef file_handle_id(PyObject *self) {
    return open_handle_value(self, [](const FileHandle &handle) { return *handle.id(); });
}

PyRef file_handle_tell(PyObject *self) {
    return open_handle_value(self, [](const FileHandle &handle) { return handle.offset(); });
}

fs::Status file_handle_close(PyObject *self) {
    return handle_of(self).with([](FileHandle &handle) { return handle.close(); });
}

fs::Result<PyRef> file_handle_read(PyObject *self, std::uint64_t limit) {
    // The bytes object is made at the size actually available, straight from the file's
    // bytes while they are locked, so a huge limit costs nothing.
    PyRef bytes;
    bool allocation_failed = false;
    std::uint64_t start = 0;
    auto count = handle_of(self).with([&](FileHandle &handle) {
        start = handle.offset();
        return handle.read_with(limit, [&](std::span<const std::uint8_t> available) {
            bytes = PyRef::steal(
                PyBytes_FromStringAndSize(reinterpret_cast<const char *>(available.data()),
                                          static_cast<Py_ssize_t>(available.size())));
            allocation_failed = !bytes;
            return !allocation_failed;
        });
    });
    if (allocation_failed) return PyRef(); // MemoryError is set
    if (!count) return count.error();
    if (!bytes) bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!bytes) return PyRef();
    if (!print_read_line(*count)) {
        // The call raises, so it hands out no bytes: the offset goes back to where the read
        // began, unless another call on the handle has moved it meanwhile.
        handle_of(self).with([&](FileHandle &handle) {
            if (handle.is_open() && handle.offset() == start + *count) {
                (void)handle.seek(fs::SeekOrigin::Start, start);
            }
        });
        return PyRef();
    }
    return bytes;
}

fs::Result<std::size_t> file_handle_write(PyObject *self, const BytesArgument &data) {
    return handle_of(self).with([&](FileHandle &handle) { return handle.write(data.bytes); });
}

fs::Status file_handle_seek(PyObject *self, std::uint64_t offset, WhenceObject *whence) {
    const fs::SeekOrigin origin = seek_origin_of(*whence);
    return handle_of(self).with([&](FileHandle &handle) { return handle.seek(origin, offset); });
}

// ---- the members Python's own file objects need ----------------------------------------

constinit Signature<WritableBuffer> readinto_signature{"PyFileHandle", "readinto", {"buffer"}};
constinit Signature<Size> truncate_signature{"PyFileHandle", "truncate", {"size"}};
constinit Signature<ReadableBuffer> write_from_signature{"PyFileHandle", "write_from", {"buffer"}};

// read's checks and failures, into the caller's buffer and without the printed line.
fs::Result<PyRef> file_handle_readinto(PyObject *self, const WritableBytes &buffer) {
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 < 0x030B0000
    // The bytes are stored through the memoryview once the handle is unlocked; should
    // that fail, the offset goes back to where the read started.
    PyRef taken;
    std::uint64_t start = 0;
    auto count = handle_of(self).with([&](FileHandle &handle) {
        start = handle.offset();
        return handle.read_with(buffer.size(), [&](std::span<const std::uint8_t> bytes) {
            taken =
                PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bytes.data()),
                                                       static_cast<Py_ssize_t>(bytes.size())));
            return static_cast<bool>(taken);
        });
    });
    if (count && !taken) return PyRef(); // MemoryError is set
    if (!count) return count.error();
    const auto *data = reinterpret_cast<const std::uint8_t *>(PyBytes_AsString(taken.get()));
    if (!data || !buffer.store(std::span(data, *count))) {
        handle_of(self).with(
            [&](FileHandle &handle) { (void)handle.seek(fs::SeekOrigin::Start, start); });
        return PyRef();
    }
#else
    auto count =
        handle_of(self).with([&](FileHandle &handle) { return handle.read(buffer.bytes()); });
    if (!count) return count.error();
#endif
    return int_result(*count);
}

fs::Result<PyRef> file_handle_stat(PyObject *self) {
    auto stat = handle_of(self).with([](FileHandle &handle) { return handle.stat(); });
    if (!stat) return stat.error();
    return stat_result(*stat);
}

fs::Result<std::uint64_t> file_handle_truncate(PyObject *self, std::uint64_t size) {
    QUORVEX_TRY(handle_of(self).with([&](FileHandle &handle) { return handle.truncate(size); }));
    return size;
}

// write, from any contiguous buffer, moving the offset past the bytes written.
fs::Result<std::size_t> file_handle_write_from(PyObject *self, const ReadableBytes &buffer) {
    return handle_of(self).with(
        [&](FileHandle &handle) { return handle.write_advancing(buffer.bytes()); });
}

PyMethodDef file_handle_methods[] = {
    {"id", method_function(method_noargs<PyFileHandleObject, file_handle_id>), METH_NOARGS,
     doc::kId},
    {"close", method_function(method_noargs<PyFileHandleObject, file_handle_close>), METH_NOARGS,
     doc::kClose},
    {"read", method_function(method<PyFileHandleObject, read_signature, file_handle_read>),
     kFastcallKeywords, doc::kRead},
    {"write", method_function(method<PyFileHandleObject, write_signature, file_handle_write>),
     kFastcallKeywords, doc::kWrite},
    {"seek", method_function(method<PyFileHandleObject, seek_signature, file_handle_seek>),
     kFastcallKeywords, doc::kSeek},
    {"tell", method_function(method_noargs<PyFileHandleObject, file_handle_tell>), METH_NOARGS,
     doc::kTell},
    {"readinto",
     method_function(method<PyFileHandleObject, readinto_signature, file_handle_readinto>),
     kFastcallKeywords, doc::kReadinto},
    {"truncate",
     method_function(method<PyFileHandleObject, truncate_signature, file_handle_truncate>),
     kFastcallKeywords, doc::kTruncate},
    {"write_from",
     method_function(method<PyFileHandleObject, write_from_signature, file_handle_write_from>),
     kFastcallKeywords, doc::kWriteFrom},
    {"stat", method_function(method_noargs<PyFileHandleObject, file_handle_stat>), METH_NOARGS,
     doc::kHandleStat},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot file_handle_slots[] = {
    {Py_tp_new, slot_function(no_constructor)},
    {Py_tp_dealloc, slot_function(file_handle_dealloc)},
    {Py_tp_str, slot_function(unary_slot<PyFileHandleObject, file_handle_str>)},
    {Py_tp_methods, file_handle_methods},
    {Py_tp_doc, const_cast<char *>(doc::kPyFileHandle)},
    {0, nullptr},
};

PyType_Spec file_handle_spec = {
    "builtins.PyFileHandle", static_cast<int>(sizeof(PyFileHandleObject)), 0, Py_TPFLAGS_DEFAULT,
    file_handle_slots,
};

} // namespace

PyRef create_file_handle_type() noexcept { return make_sealed_type(file_handle_spec); }

PyRef wrap_file_handle(FileHandle handle) noexcept {
    PyRef object = PyRef::steal(new_handle_object());
    if (object) {
        new (&as_object<PyFileHandleObject>(object.get())->handle)
            Locked<FileHandle>(std::move(handle));
    }
    return object;
}

} // namespace quorvex::py
