// Building the module's heap types: making them (with PyPy's gaps closed), setting their
// class attributes, sealing them, and the tp_new of classes without a constructor.
#include "pybinding/type_support.hpp"

#include <array>
#include <cstddef>

#include "pybinding/errors.hpp"

namespace quorvex::py {

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

#if defined(Py_GIL_DISABLED) && !defined(Py_LIMITED_API) && PY_VERSION_HEX < 0x030E0000
namespace {

// On the free-threaded 3.13 build, every instance made or freed counts a reference on its
// heap type, and every method call looked up on an instance counts one on the method's
// descriptor while the call runs. A thread other than the one that made the object (the
// importing thread) counts with an atomic add on the object's shared count, so threads
// calling at once write the same few cache lines on every call, which then move between
// their cores. The module's types live for the process's lifetime (module_types), and
// with them the descriptors in their dictionaries; made immortal, as the interpreter's
// own static types are, their counts are never written again. The collector leaves
// immortal objects alone, so they are taken off its list first. Later versions count
// references to heap types per thread, and are left as they are.
void make_immortal(PyObject *object) noexcept {
    if (PyObject_IS_GC(object)) PyObject_GC_UnTrack(object);
    object->ob_tid = 0;
    object->ob_ref_local = _Py_IMMORTAL_REFCNT_LOCAL;
    object->ob_ref_shared = 0;
}

// Called while the module is being made, before any other thread can reach the type.
void make_counts_immortal(PyTypeObject *type) noexcept {
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(type->tp_dict, &position, &key, &value)) {
        if (Py_IS_TYPE(value, &PyMethodDescr_Type)) make_immortal(value);
    }
    make_immortal(reinterpret_cast<PyObject *>(type));
}

} // namespace
#endif

void seal_type([[maybe_unused]] PyTypeObject *type) noexcept {
#if !defined(PYPY_VERSION) && !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x030A0000
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(type);
#endif
#if defined(Py_GIL_DISABLED) && !defined(Py_LIMITED_API) && PY_VERSION_HEX < 0x030E0000
    make_counts_immortal(type);
#endif
}

PyObject *no_constructor(PyTypeObject *, PyObject *, PyObject *) noexcept {
    raise_no_constructor();
    return nullptr;
}

} // namespace quorvex::py
