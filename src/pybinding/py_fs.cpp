// PyFs: a file system of its own, with creation, opening, listing, removal and tree.
#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

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
constinit Signature<Str> listdir_signature{"PyFs", "listdir", {"path"}};
constinit Signature<Str, Bool> remove_signature{"PyFs", "remove", {"path"}, {"recurse"}};
constinit Signature<Str, Str> rename_signature{"PyFs", "rename", {"src"}, {"dst"}};
constinit Signature<Str, OptionalStr> tree_signature{
    "PyFs", "tree", {"path"}, {"ident", kOptional}};

FileSystem &file_system_of(PyObject *self) noexcept { return *as_object<PyFsObject>(self)->fs; }

// One directory of a tree rendering under way: its listing and the next of its
// subdirectories to descend into.
struct TreeLevel {
    fs::InodeId id;
    fs::Listing listing;
    std::size_t next_directory = 0;
};

fs::Result<TreeLevel> tree_level(const FileSystem &fs, fs::InodeId id) {
    auto listing = fs.ls_raw(id);
    if (!listing) return listing.error();
    return TreeLevel{id, std::move(*listing)};
}

// A tree's text: every directory of `path` followed by its own subtree indented two more
// blanks, then every file; each line ends with a newline.
//
// A subdirectory's path is its directory's path, "/" and its name, and resolving that
// from the root walks the directory's path again before it reaches the name. Looking the
// name up in the directory already reached gives the same node without the walk, so a
// long path costs once, not once per subdirectory. The levels under way are kept in a
// list rather than on the call stack.
fs::Result<std::string> render_tree(const FileSystem &fs, std::string_view path,
                                    std::string_view prefix) {
    auto id = fs.get_inode_by_path_raw(path);
    if (!id) return id.error();
    auto top = tree_level(fs, *id);
    if (!top) return top.error();
    std::vector<TreeLevel> levels;
    levels.push_back(std::move(*top));
    std::string indent(prefix);
    std::string out;
    while (!levels.empty()) {
        TreeLevel &level = levels.back();
        if (level.next_directory < level.listing.directories.size()) {
            const std::string &name = level.listing.directories[level.next_directory++];
            out += indent;
            out += name;
            out += "/\n";
            auto entry = fs.find_inode_by_name(level.id, name);
            if (!entry) return entry.error();
            auto child = fs.get_inode_raw(*entry);
            if (!child) return child.error();
            auto child_level = tree_level(fs, *child);
            if (!child_level) return child_level.error();
            levels.push_back(std::move(*child_level));
            indent += "  ";
            continue;
        }
        for (const std::string &name : level.listing.files) {
            out += indent;
            out += name;
            out += '\n';
        }
        levels.pop_back();
        if (!levels.empty()) indent.resize(indent.size() - 2);
    }
    return out;
}

// ---- methods ---------------------------------------------------------------------------

PyRef fs_new(PyTypeObject *type) {
    std::shared_ptr<FileSystem> fs = FileSystem::make();
    return allocate_instance<PyFsObject>(type, [&](PyFsObject *object) noexcept {
        new (&object->fs) std::shared_ptr<FileSystem>(std::move(fs));
    });
}

void fs_dealloc(PyObject *self) noexcept {
    as_object<PyFsObject>(self)->fs.~shared_ptr();
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
    auto handle = FileSystem::open(as_object<PyFsObject>(self)->fs, path, *mode, create);
    if (!handle) return handle.error();
    return wrap_file_handle(std::move(*handle));
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
    return render_tree(file_system_of(self), path, ident.value_or(std::string_view()));
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
