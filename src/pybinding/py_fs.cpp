// PyFs: a file system of its own, with creation, opening, listing, removal and tree.
#include <Python.h>

#include <string>
#include <string_view>

#include <fcntl.h>

#include "fs/file_handle.hpp"
#include "fs/file_system.hpp"
#include "pybinding/binder.hpp"
#include "pybinding/docstrings.hpp"
#include "pybinding/entry_points.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/object_access.hpp"
#include "pybinding/objects.hpp"
#include "pybinding/results.hpp"
#include "pybinding/type_support.hpp"

namespace quorvex::py {
namespace {

using fs::FileSystem;

constinit Signature<> new_signature{"PyFs", "__new__"};
constinit Signature<Str> mkdir_signature{"PyFs", "mkdir", {"path"}};
constinit Signature<Str> touch_signature{"PyFs", "touch", {"path"}};
constinit Signature<Str, Str> open_signature{"PyFs", "open", {"path"}, {"mode"}};
constinit Signature<Str, Str> open_existing_signature{"PyFs", "open_existing", {"path"}, {"mode"}};
constinit Signature<Str, Size> open_shared_signature{"PyFs", "open_shared", {"path"}, {"flags"}};
constinit Signature<AnyObject, Size> open_file_signature{"PyFs", "open_file", {"path"}, {"flags"}};
constinit Signature<Str> listdir_signature{"PyFs", "listdir", {"path"}};
constinit Signature<Str, Bool> remove_signature{"PyFs", "remove", {"path"}, {"recurse"}};
constinit Signature<Str, Str> rename_signature{"PyFs", "rename", {"src"}, {"dst"}};
constinit Signature<Str, OptionalStr> tree_signature{
    "PyFs", "tree", {"path"}, {"ident", kOptional}};
constinit Signature<Str> stat_signature{"PyFs", "stat", {"path"}};
constinit Signature<Str, Int64> set_times_signature{"PyFs", "set_times", {"path"}, {"mtime_ns"}};
constinit Signature<OptionalSize, OptionalSize> set_limits_signature{
    "PyFs", "set_limits", {"max_bytes", kOptional}, {"max_nodes", kOptional}};

FileSystem &file_system_of(PyObject *self) noexcept {
    return as_object<PyFsObject>(self)->fs.get();
}

// ---- methods ---------------------------------------------------------------------------

PyRef fs_new(PyTypeObject *type) {
    std::shared_ptr<FileSystem> fs = FileSystem::make();
    return allocate_instance<PyFsObject>(
        type, [&](PyFsObject *object) noexcept { new (&object->fs) FsShares(std::move(fs)); });
}

void fs_dealloc(PyObject *self) noexcept {
    as_object<PyFsObject>(self)->fs.~FsShares();
    free_instance(self);
}

std::string fs_str(PyObject *self) { return file_system_of(self).render(); }

fs::Status fs_mkdir(PyObject *self, std::string_view path) {
    return file_system_of(self).mkdir(path);
}

fs::Status fs_touch(PyObject *self, std::string_view path) {
    return file_system_of(self).touch(path);
}

// open creates a missing file; open_existing does not, in the same single step.
template <bool create>
fs::Result<PyRef> fs_open(PyObject *self, std::string_view path, std::string_view mode_text) {
    // The mode is checked before the path is looked at, so a bad mode creates nothing.
    auto mode = fs::FileHandleType::from_str(mode_text);
    if (!mode) return mode.error();
    auto handle =
        FileSystem::open(as_object<PyFsObject>(self)->fs.for_handle(), path, *mode, create);
    if (!handle) return handle.error();
    return wrap_file_handle(std::move(*handle));
}

// The core's flags for the os module's O_* bits; UnrecognizedFileMode for any other bit and
// for an access mode that is none of O_RDONLY, O_WRONLY and O_RDWR.
fs::Result<fs::OpenFlags> open_flags_of(std::uint64_t bits) {
    constexpr std::uint64_t kKnown = O_ACCMODE | O_CREAT | O_EXCL | O_TRUNC | O_APPEND;
    if (bits & ~kKnown) return fs::IoErrorKind::UnrecognizedFileMode;
    fs::OpenFlags flags;
    switch (bits & O_ACCMODE) {
    case O_RDONLY:
        flags.mode = fs::FileHandleType::read();
        break;
    case O_WRONLY:
        flags.mode = fs::FileHandleType::write();
        break;
    case O_RDWR:
        flags.mode =
            fs::FileHandleType(fs::FileHandleType::kReadBit | fs::FileHandleType::kWriteBit);
        break;
    default:
        return fs::IoErrorKind::UnrecognizedFileMode;
    }
    flags.create = (bits & O_CREAT) != 0;
    flags.exclusive = (bits & O_EXCL) != 0;
    flags.truncate = (bits & O_TRUNC) != 0;
    flags.append = (bits & O_APPEND) != 0;
    return flags;
}

fs::Result<PyRef> fs_open_shared(PyObject *self, std::string_view path, std::uint64_t bits) {
    // The flags are checked before the path is looked at, so bad flags create nothing.
    auto flags = open_flags_of(bits);
    if (!flags) return flags.error();
    auto handle =
        FileSystem::open_shared(as_object<PyFsObject>(self)->fs.for_handle(), path, *flags);
    if (!handle) return handle.error();
    return wrap_file_handle(std::move(*handle));
}

// open_shared's handle as a raw file of Python's io, named by `path_object` itself.
fs::Result<PyRef> fs_open_file(PyObject *self, PyObject *path_object, std::uint64_t bits) {
    std::string_view path;
    if (!Str::convert(path_object, path)) {
        wrap_conversion_error("path");
        return PyRef();
    }
    auto flags = open_flags_of(bits);
    if (!flags) return flags.error();
    auto handle =
        FileSystem::open_shared(as_object<PyFsObject>(self)->fs.for_handle(), path, *flags);
    if (!handle) return handle.error();
    // An appending file starts at its end, as io.FileIO's does.
    if (flags->append) QUORVEX_TRY(handle->seek(fs::SeekOrigin::End, 0));
    return wrap_raw_file(wrap_file_handle(std::move(*handle)), path_object, *flags);
}

fs::Result<PyRef> fs_listdir(PyObject *self, std::string_view path) {
    const FileSystem &fs = file_system_of(self);
    auto id = fs.get_inode_by_path_raw(path);
    if (!id) return id.error();
    PyRef files = PyRef::steal(PyList_New(0));
    PyRef directories = PyRef::steal(PyList_New(0));
    if (!files || !directories) return PyRef();
    // The names go straight into the lists while the directory is read-locked. Making
    // a str and appending to a list run no Python code (neither can start the cyclic
    // collector), so nothing can call back into the file system meanwhile.
    bool appended = true;
    QUORVEX_TRY(fs.ls_each(*id, [&](std::string_view name, bool is_directory) {
        PyRef text = name_result(name);
        appended =
            text && PyList_Append((is_directory ? directories : files).get(), text.get()) == 0;
        return appended;
    }));
    if (!appended) return PyRef();
    PyRef pair = PyRef::steal(PyTuple_New(2));
    if (!pair) return PyRef();
    tuple_fill(pair.get(), 0, files.release());
    tuple_fill(pair.get(), 1, directories.release());
    return pair;
}

fs::Status fs_remove(PyObject *self, std::string_view path, bool recurse) {
    return file_system_of(self).rm(path, recurse);
}

fs::Status fs_rename(PyObject *self, std::string_view source, std::string_view target) {
    return file_system_of(self).rename(source, target);
}

fs::Result<std::string> fs_tree(PyObject *self, std::string_view path,
                                std::optional<std::string_view> ident) {
    return fs::render_tree(file_system_of(self), path, ident.value_or(std::string_view()));
}

fs::Result<PyRef> fs_stat(PyObject *self, std::string_view path) {
    auto stat = file_system_of(self).stat(path);
    if (!stat) return stat.error();
    return stat_result(*stat);
}

fs::Status fs_set_times(PyObject *self, std::string_view path, std::int64_t mtime_ns) {
    return file_system_of(self).set_times(path, mtime_ns);
}

fs::Status fs_set_limits(PyObject *self, std::optional<std::uint64_t> max_bytes,
                         std::optional<std::uint64_t> max_nodes) {
    return file_system_of(self).set_limits(max_bytes, max_nodes);
}

PyRef fs_usage(PyObject *self) {
    const fs::Usage::Counts counts = file_system_of(self).usage().counts();
    PyRef bytes = int_result(counts.bytes);
    PyRef nodes = int_result(counts.nodes);
    PyRef pair = PyRef::steal(PyTuple_New(2));
    if (!bytes || !nodes || !pair) return PyRef();
    tuple_fill(pair.get(), 0, bytes.release());
    tuple_fill(pair.get(), 1, nodes.release());
    return pair;
}

PyMethodDef fs_methods[] = {
    {"mkdir", method_function(method<PyFsObject, mkdir_signature, fs_mkdir>), kFastcallKeywords,
     doc::kMkdir},
    {"touch", method_function(method<PyFsObject, touch_signature, fs_touch>), kFastcallKeywords,
     doc::kTouch},
    {"open", method_function(method<PyFsObject, open_signature, fs_open<true>>), kFastcallKeywords,
     doc::kOpen},
    {"listdir", method_function(method<PyFsObject, listdir_signature, fs_listdir>),
     kFastcallKeywords, doc::kListdir},
    {"remove", method_function(method<PyFsObject, remove_signature, fs_remove>), kFastcallKeywords,
     doc::kRemove},
    {"tree", method_function(method<PyFsObject, tree_signature, fs_tree>), kFastcallKeywords,
     doc::kTree},
    {"open_existing", method_function(method<PyFsObject, open_existing_signature, fs_open<false>>),
     kFastcallKeywords, doc::kOpenExisting},
    {"open_shared", method_function(method<PyFsObject, open_shared_signature, fs_open_shared>),
     kFastcallKeywords, doc::kOpenShared},
    {"open_file", method_function(method<PyFsObject, open_file_signature, fs_open_file>),
     kFastcallKeywords, doc::kOpenFile},
    {"stat", method_function(method<PyFsObject, stat_signature, fs_stat>), kFastcallKeywords,
     doc::kStat},
    {"set_times", method_function(method<PyFsObject, set_times_signature, fs_set_times>),
     kFastcallKeywords, doc::kSetTimes},
    {"set_limits", method_function(method<PyFsObject, set_limits_signature, fs_set_limits>),
     kFastcallKeywords, doc::kSetLimits},
    {"usage", method_function(method_noargs<PyFsObject, fs_usage>), METH_NOARGS, doc::kUsage},
    {"rename", method_function(method<PyFsObject, rename_signature, fs_rename>), kFastcallKeywords,
     doc::kRename},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot fs_slots[] = {
    {Py_tp_new, slot_function(constructor<new_signature, fs_new>)},
    {Py_tp_dealloc, slot_function(fs_dealloc)},
    {Py_tp_str, slot_function(unary_slot<PyFsObject, fs_str>)},
    {Py_tp_methods, fs_methods},
    {Py_tp_doc, const_cast<char *>(doc::kPyFs)},
    {0, nullptr},
};

PyType_Spec fs_spec = {
    "builtins.PyFs", static_cast<int>(sizeof(PyFsObject)), 0, Py_TPFLAGS_DEFAULT, fs_slots,
};

} // namespace

PyRef create_fs_type() noexcept { return make_sealed_type(fs_spec); }

} // namespace quorvex::py
