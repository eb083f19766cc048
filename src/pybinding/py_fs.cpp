// PyFs: a file system of its own, with creation, opening, listing, removal and tree.
#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

#include "fs/file_handle.hpp"
#include "fs/file_system.hpp"
#include "pybinding/binder.hpp"
#include "pybinding/docstrings.hpp"
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
constinit Signature<Str> listdir_signature{"PyFs", "listdir", {"path"}};
constinit Signature<Str, Bool> remove_signature{"PyFs", "remove", {"path"}, {"recurse"}};
constinit Signature<Str, OptionalStr> tree_signature{
    "PyFs", "tree", {"path"}, {"ident", kOptional}};

FileSystem &file_system_of(PyObject *self) noexcept { return *as_object<PyFsObject>(self)->fs; }

PyRef status_result(const fs::Status &status) noexcept {
    if (status) return none_result();
    raise_io_error(status.error());
    return {};
}

// A tree's text: every directory of `path` followed by its own subtree indented two more
// blanks, then every file; each line ends with a newline. On failure `out` holds a partial
// text, which the caller discards.
fs::Status render_tree(const FileSystem &fs, const std::string &path, const std::string &prefix,
                       std::string &out) {
    auto id = fs.get_inode_by_path_raw(path);
    if (!id) return id.error();
    auto listing = fs.ls_raw(*id);
    if (!listing) return listing.error();

    const std::string child_prefix = prefix + "  ";
    for (const std::string &name : listing->directories) {
        out += prefix;
        out += name;
        out += "/\n";
        std::string child_path = path;
        child_path += '/';
        child_path += name;
        QUORVEX_TRY(render_tree(fs, child_path, child_prefix, out));
    }
    for (const std::string &name : listing->files) {
        out += prefix;
        out += name;
        out += '\n';
    }
    return {};
}

// ---- entry points ---------------------------------------------------------------------

PyObject *fs_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        if (!new_signature.parse_new(args, kwargs)) return nullptr;
        std::shared_ptr<FileSystem> fs = FileSystem::make();
        return allocate_instance<PyFsObject>(type,
                                             [&](PyFsObject *object) noexcept {
                                                 new (&object->fs)
                                                     std::shared_ptr<FileSystem>(std::move(fs));
                                             })
            .release();
    });
}

void fs_dealloc(PyObject *self) noexcept {
    as_object<PyFsObject>(self)->fs.~shared_ptr();
    free_instance(self);
}

PyObject *fs_str(PyObject *self) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        if (!check_receiver(self, PyFsObject::type(), PyFsObject::kClassName)) return nullptr;
        return str_result(file_system_of(self).render()).release();
    });
}

// mkdir and touch: bind the path, then create one kind of node there.
template <auto &signature, fs::Status (FileSystem::*create)(std::string_view)>
PyObject *fs_create(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        auto parsed = signature.parse(self, PyFsObject::type(), args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto [path] = *parsed;
        return status_result((file_system_of(self).*create)(path)).release();
    });
}

// open creates a missing file; open_existing does not, in the same single step.
template <auto &signature, bool create>
PyObject *fs_open(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *kwnames) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        auto parsed = signature.parse(self, PyFsObject::type(), args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto [path, mode_text] = *parsed;
        // The mode is checked before the path is looked at, so a bad mode creates nothing.
        auto mode = fs::FileHandleType::from_str(mode_text);
        if (!mode) {
            raise_io_error(mode.error());
            return nullptr;
        }
        auto handle = FileSystem::open(as_object<PyFsObject>(self)->fs, path, *mode, create);
        if (!handle) {
            raise_io_error(handle.error());
            return nullptr;
        }
        return wrap_file_handle(std::move(*handle)).release();
    });
}

PyObject *fs_listdir(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        auto parsed = listdir_signature.parse(self, PyFsObject::type(), args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto [path] = *parsed;
        const FileSystem &fs = file_system_of(self);
        auto id = fs.get_inode_by_path_raw(path);
        if (!id) {
            raise_io_error(id.error());
            return nullptr;
        }
        PyRef files = PyRef::steal(PyList_New(0));
        PyRef directories = PyRef::steal(PyList_New(0));
        if (!files || !directories) return nullptr;
        // The names go straight into the lists while the directory is read-locked. Making
        // a str and appending to a list run no Python code (neither can start the cyclic
        // collector), so nothing can call back into the file system meanwhile.
        bool appended = true;
        const auto status = fs.ls_each(*id, [&](std::string_view name, bool is_directory) {
            PyRef text = name_result(name);
            appended =
                text && PyList_Append((is_directory ? directories : files).get(), text.get()) == 0;
            return appended;
        });
        if (!status) {
            raise_io_error(status.error());
            return nullptr;
        }
        if (!appended) return nullptr;
        PyRef pair = PyRef::steal(PyTuple_New(2));
        if (!pair) return nullptr;
        tuple_fill(pair.get(), 0, files.release());
        tuple_fill(pair.get(), 1, directories.release());
        return pair.release();
    });
}

PyObject *fs_remove(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        auto parsed = remove_signature.parse(self, PyFsObject::type(), args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto [path, recurse] = *parsed;
        return status_result(file_system_of(self).rm(path, recurse)).release();
    });
}

PyObject *fs_tree(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *kwnames) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        auto parsed = tree_signature.parse(self, PyFsObject::type(), args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto [path, ident] = *parsed;
        std::string out;
        auto status = render_tree(file_system_of(self), std::string(path),
                                  std::string(ident.value_or(std::string_view())), out);
        if (!status) {
            raise_io_error(status.error());
            return nullptr;
        }
        return str_result(out).release();
    });
}

PyMethodDef fs_methods[] = {
    {"mkdir", method_function(fs_create<mkdir_signature, &FileSystem::mkdir>), kFastcallKeywords,
     doc::kMkdir},
    {"touch", method_function(fs_create<touch_signature, &FileSystem::touch>), kFastcallKeywords,
     doc::kTouch},
    {"open", method_function(fs_open<open_signature, true>), kFastcallKeywords, doc::kOpen},
    {"listdir", method_function(fs_listdir), kFastcallKeywords, doc::kListdir},
    {"remove", method_function(fs_remove), kFastcallKeywords, doc::kRemove},
    {"tree", method_function(fs_tree), kFastcallKeywords, doc::kTree},
    {"open_existing", method_function(fs_open<open_existing_signature, false>), kFastcallKeywords,
     doc::kOpenExisting},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot fs_slots[] = {
    {Py_tp_new, slot_function(fs_new)},          {Py_tp_dealloc, slot_function(fs_dealloc)},
    {Py_tp_str, slot_function(fs_str)},          {Py_tp_methods, fs_methods},
    {Py_tp_doc, const_cast<char *>(doc::kPyFs)}, {0, nullptr},
};

PyType_Spec fs_spec = {
    "builtins.PyFs", static_cast<int>(sizeof(PyFsObject)), 0, Py_TPFLAGS_DEFAULT, fs_slots,
};

} // namespace

PyRef create_fs_type() noexcept { return make_sealed_type(fs_spec); }

} // namespace quorvex::py
