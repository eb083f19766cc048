// The module's entry point: creates the module and its four classes, once per process.
//
// The module is made by single-phase initialisation, since its entry point hands back the
// module itself (the same object on every call); on the free-threaded build it declares
// with PyUnstable_Module_SetGIL, that build's form of the Py_mod_gil slot for such a
// module, that it does not need the interpreter lock.
#include <Python.h>

#include "pybinding/errors.hpp"
#include "pybinding/objects.hpp"
#include "pybinding/py_ref.hpp"
#include "pybinding/type_support.hpp"

namespace quorvex::py {

ModuleTypes module_types;

namespace {

// The module, kept once made: a second initialisation hands back the same object.
// It, the four types and the internal-failure type are set while the module is made and
// never change afterwards; every instance, and so every call, comes after that.
PyObject *the_module = nullptr;

#ifdef Py_GIL_DISABLED
// Imports of one module are serialised by the import system, but the entry point can be
// called directly too; without an interpreter lock, this keeps two such calls from both
// making the module. A PyMutex detaches the waiting thread, as a lock that is held while
// Python code runs must.
PyMutex initialisation_lock{};
#endif

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quorvex", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

#ifdef PYPY_VERSION
// The module is built against PyPy's implementation of the 3.7 interface, whose releases
// before 7.3.8 are not binary compatible with it: warn (which may itself raise).
bool warn_about_old_pypy() noexcept {
    PyRef sys_name = PyRef::steal(PyUnicode_FromString("sys"));
    if (!sys_name) return false;
    PyRef sys = PyRef::steal(PyImport_Import(sys_name.get()));
    if (!sys) return false;
    PyRef implementation = PyRef::steal(PyObject_GetAttrString(sys.get(), "implementation"));
    if (!implementation) return false;
    PyRef version = PyRef::steal(PyObject_GetAttrString(implementation.get(), "version"));
    if (!version) return false;

    PyRef minimum = PyRef::steal(PyTuple_New(3));
    if (!minimum) return false;
    const long parts[] = {7, 3, 8};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject *part = PyLong_FromLong(parts[i]);
        if (!part || PyTuple_SetItem(minimum.get(), i, part) < 0) return false;
    }
    int older = PyObject_RichCompareBool(version.get(), minimum.get(), Py_LT);
    if (older < 0) return false;
    if (older == 0) return true;

    PyRef warnings_name = PyRef::steal(PyUnicode_FromString("warnings"));
    if (!warnings_name) return false;
    PyRef warnings = PyRef::steal(PyImport_Import(warnings_name.get()));
    if (!warnings) return false;
    PyRef warn = PyRef::steal(PyObject_GetAttrString(warnings.get(), "warn"));
    if (!warn) return false;
    PyRef text = PyRef::steal(PyUnicode_FromString(message::kOldPyPyWarning));
    if (!text) return false;
    PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(warn.get(), text.get(), nullptr));
    return static_cast<bool>(result);
}
#endif

// Appends the class's name to __all__ (made on first use), then sets the attribute.
bool add_class(PyObject *module, const char *name, PyRef type) noexcept {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
    if (!name_object || PyList_Append(all.get(), name_object.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, type.get()) == 0;
}

// Keeps a class for the conversions that need it, then adds it to the module.
bool register_class(PyObject *module, const char *name, PyRef type, PyTypeObject *&slot) noexcept {
    if (!type) return false;
    slot = reinterpret_cast<PyTypeObject *>(PyRef::borrow(type.get()).release());
    return add_class(module, name, std::move(type));
}

PyObject *make_module() noexcept {
    if (the_module) return PyRef::borrow(the_module).release();
#ifdef PYPY_VERSION
    if (!warn_about_old_pypy()) return nullptr;
#endif
    if (!init_internal_failure()) return nullptr;

    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    // PyPy sets no docstring from an empty m_doc; set it here so that it is "" everywhere.
    PyRef doc = PyRef::steal(PyUnicode_FromString(""));
    if (!doc || PyObject_SetAttrString(module.get(), "__doc__", doc.get()) < 0) return nullptr;
    if (!register_class(module.get(), "PyFs", create_fs_type(), module_types.fs) ||
        !register_class(module.get(), "PyFileHandle", create_file_handle_type(),
                        module_types.file_handle) ||
        !register_class(module.get(), "PyTerm", create_term_type(), module_types.term) ||
        !register_class(module.get(), "Whence", create_whence_type(), module_types.whence) ||
        !init_stat_result())
        return nullptr;
    PyRef raw_file = create_raw_file_type();
    if (!raw_file) return nullptr;
    module_types.raw_file = reinterpret_cast<PyTypeObject *>(raw_file.release());

#ifdef Py_GIL_DISABLED
    // Every call of the module does its own locking and holds no borrowed state that
    // another thread could change, so importing it keeps the interpreter lock off.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif

    the_module = PyRef::borrow(module.get()).release();
    return module.release();
}

PyObject *initialise() noexcept {
#ifdef Py_GIL_DISABLED
    PyMutex_Lock(&initialisation_lock);
    PyObject *module = make_module();
    PyMutex_Unlock(&initialisation_lock);
    return module;
#else
    return make_module();
#endif
}

} // namespace
} // namespace quorvex::py

// Everything else in the module is built hidden. From 3.9 on PyMODINIT_FUNC marks the entry
// point for export itself; Python 3.8's leaves its visibility to the build, so this
// declaration marks it on every interpreter.
#if defined(__GNUC__)
extern "C" __attribute__((visibility("default"))) PyObject *PyInit_quorvex();
#endif

PyMODINIT_FUNC PyInit_quorvex() { return quorvex::py::initialise(); }
