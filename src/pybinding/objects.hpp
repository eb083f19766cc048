// The instance layouts of the four classes and the functions that create their types.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "fs/file_handle.hpp"
#include "fs/file_system.hpp"
#include "pybinding/fs_shares.hpp"
#include "pybinding/locked.hpp"
#include "pybinding/py_ref.hpp"
#include "terminal/terminal.hpp"

namespace quorvex::py {

// The four type objects, made once by the module's initialisation and kept for the
// process's lifetime. They are never changed after that, so calls on any thread read
// them without a lock: every instance, and so every call, comes after the module is made.
struct ModuleTypes {
    PyTypeObject *fs = nullptr;
    PyTypeObject *file_handle = nullptr;
    PyTypeObject *term = nullptr;
    PyTypeObject *whence = nullptr;
    // The raw file of PyFs.open_file, which is no attribute of the module.
    PyTypeObject *raw_file = nullptr;
};
extern ModuleTypes module_types;

// Each layout starts with the object header; the C++ members are constructed in place
// after allocation and destroyed by the type's dealloc.
struct PyFsObject {
    PyObject base;
    FsShares fs;

    static constexpr const char kClassName[] = "PyFs";
    static PyTypeObject *type() noexcept { return module_types.fs; }
};

struct PyFileHandleObject {
    PyObject base;
    Locked<fs::FileHandle> handle;

    static constexpr const char kClassName[] = "PyFileHandle";
    static PyTypeObject *type() noexcept { return module_types.file_handle; }
};

struct PyTermObject {
    PyObject base;
    Locked<terminal::Terminal> terminal;

    static constexpr const char kClassName[] = "PyTerm";
    static PyTypeObject *type() noexcept { return module_types.term; }
};

struct WhenceObject {
    PyObject base;
    std::uint8_t value;

    static constexpr const char kClassName[] = "Whence";
    static PyTypeObject *type() noexcept { return module_types.whence; }
};

// Each returns a new reference to the class, or null with an exception set.
PyRef create_fs_type() noexcept;
PyRef create_file_handle_type() noexcept;
PyRef create_term_type() noexcept;
// Also makes the three members and stores them as class attributes.
PyRef create_whence_type() noexcept;

// Wraps a freshly opened handle in a new PyFileHandle; null with an exception set when the
// object cannot be made (the handle is then closed as it is destroyed).
PyRef wrap_file_handle(fs::FileHandle handle) noexcept;

// Makes the type of PyFs.open_file's raw files; a new reference, or null with an exception set.
PyRef create_raw_file_type() noexcept;
// The raw file over `handle`, a new PyFileHandle opened with `flags`, named `name`; null
// with an exception set when `handle` is null or the object cannot be made.
PyRef wrap_raw_file(PyRef handle, PyObject *name, const fs::OpenFlags &flags) noexcept;

// Makes the type of stat's results, once; false with an exception set when it cannot.
bool init_stat_result() noexcept;
// A new stat result; null with an exception set when it cannot be made.
PyRef stat_result(const fs::NodeStat &stat) noexcept;

// The origin a Whence member selects.
fs::SeekOrigin seek_origin_of(const WhenceObject &whence) noexcept;

} // namespace quorvex::py
