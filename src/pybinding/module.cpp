// The module's entry point: creates the module and its four classes, once per process.
#include <Python.h>

#include <array>
#include <cstddef>

#include "pybinding/errors.hpp"
#include "pybinding/objects.hpp"
#include "pybinding/py_ref.hpp"
#include "pybinding/type_support.hpp"

namespace quorvex::py {

ModuleTypes module_types;

#ifdef PYPY_VERSION
namespace {

// PyPy's emulation of the C API gives every instance of an extension type an attribute
// dictionary and lets Python subclass any such type, whatever the type's flags say. The
// classes refuse both themselves there, with the errors CPython raises for them.

// Whether `name` is defined by the type or one of its bases (not by the metaclass).
int type_defines(PyObject *type, PyObject *name) noexcept {
    PyRef mro = PyRef::steal(PyObject_GetAttrString(type, "__mro__"));
    if (!mro) return -1;
    PyRef iterator = PyRef::steal(PyObject_GetIter(mro.get()));
    if (!iterator) return -1;
    while (PyRef base = PyRef::steal(PyIter_Next(iterator.get()))) {
        PyRef dict = PyRef::steal(PyObject_GetAttrString(base.get(), "__dict__"));
        if (!dict) return -1;
        if (int found = PySequence_Contains(dict.get(), name); found != 0) return found;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// tp_setattro: instances have no attributes of their own to set or delete.
int refuse_instance_attribute(PyObject *self, PyObject *name, PyObject *) noexcept {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'",
                     Py_TYPE(name)->tp_name);
        return -1;
    }
    int defined = type_defines(reinterpret_cast<PyObject *>(Py_TYPE(self)), name);
    if (defined < 0) return -1;
    PyErr_Format(PyExc_AttributeError,
                 defined ? "'%.100s' object attribute '%U' is read-only"
                         : "'%.100s' object has no attribute '%U'",
                 Py_TYPE(self)->tp_name, name);
    return -1;
}

// __init_subclass__ of every class, bound to the class's qualified name.
PyObject *refuse_subclass(PyObject *type_name, PyObject *, PyObject *) noexcept {
    PyErr_Format(PyExc_TypeError, "type '%U' is not an acceptable base type", type_name);
    return nullptr;
}

PyMethodDef refuse_subclass_def = {"__init_subclass__", method_function(refuse_subclass),
                                   METH_VARARGS | METH_KEYWORDS, nullptr};

constexpr std::size_t kMaxSlots = 32;

} // namespace

PyRef make_type(PyType_Spec &type_spec) noexcept {
    std::array<PyType_Slot, kMaxSlots> slots{};
    std::size_t count = 0;
    for (const PyType_Slot *slot = type_spec.slots; slot->slot != 0; ++slot) {
        if (count + 2 > kMaxSlots) {
            PyErr_SetString(PyExc_SystemError, "too many slots for one type");
            return {};
        }
        slots[count++] = *slot;
    }
    slots[count++] = {Py_tp_setattro, slot_function(refuse_instance_attribute)};
    PyType_Spec extended = type_spec;
    extended.slots = slots.data();
    PyRef type = PyRef::steal(PyType_FromSpec(&extended));
    if (!type) return type;

    PyRef name = PyRef::steal(PyUnicode_FromString(type_spec.name));
    if (!name) return {};
    PyRef function = PyRef::steal(PyCFunction_NewEx(&refuse_subclass_def, name.get(), nullptr));
    if (!function) return {};
    PyRef method = PyRef::steal(PyClassMethod_New(function.get()));
    if (!method || PyObject_SetAttrString(type.get(), "__init_subclass__", method.get()) < 0)
        return {};
    return type;
}
#elif defined(Py_LIMITED_API)
// The limited API cannot change the flags of a finished type, so each type is immutable
// from its creation on, and set_class_attribute stores the class attributes.
PyRef make_type(PyType_Spec &type_spec) noexcept {
    PyType_Spec immutable = type_spec;
    immutable.flags |= Py_TPFLAGS_IMMUTABLETYPE;
    return PyRef::steal(PyType_FromSpec(&immutable));
}
#else
PyRef make_type(PyType_Spec &type_spec) noexcept {
    return PyRef::steal(PyType_FromSpec(&type_spec));
}
#endif

#if defined(Py_LIMITED_API)
bool set_class_attribute(PyObject *type, const char *name, PyObject *value) noexcept {
    // An immutable type refuses setattr; the generic attribute store writes straight into
    // the type's dictionary, whose caches are then invalidated.
    PyRef key = PyRef::steal(PyUnicode_InternFromString(name));
    if (!key || PyObject_GenericSetAttr(type, key.get(), value) < 0) return false;
    PyType_Modified(reinterpret_cast<PyTypeObject *>(type));
    return true;
}
#else
bool set_class_attribute(PyObject *type, const char *name, PyObject *value) noexcept {
    return PyObject_SetAttrString(type, name, value) == 0;
}
#endif

void seal_type([[maybe_unused]] PyTypeObject *type) noexcept {
#if !defined(PYPY_VERSION) && !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x030A0000
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(type);
#endif
}

PyObject *no_constructor(PyTypeObject *, PyObject *, PyObject *) noexcept {
    raise_no_constructor();
    return nullptr;
}

namespace {

// The module, kept once made: a second initialisation hands back the same object.
PyObject *the_module = nullptr;

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

PyObject *initialise() noexcept {
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
        !register_class(module.get(), "Whence", create_whence_type(), module_types.whence))
        return nullptr;

    the_module = PyRef::borrow(module.get()).release();
    return module.release();
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
