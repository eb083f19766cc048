// Small helpers for building heap types and method tables.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "pybinding/py_ref.hpp"

namespace quorvex::py {

// The interpreter's slot and method tables store functions under generic pointer types
// and call each one through its real signature; these casts change only the stored type.
template <class R, class... Args> void *slot_function(R (*function)(Args...)) noexcept {
    return reinterpret_cast<void *>(function);
}
template <class R, class... Args> PyCFunction method_function(R (*function)(Args...)) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <class Object> Object *as_object(PyObject *object) noexcept {
    return reinterpret_cast<Object *>(object);
}

// Allocates an instance of `type` and lets `construct` build its C++ part (everything
// after the header) in place. `construct` must not throw: once the object exists, its
// dealloc destroys that part. Null with an exception set when the allocation fails.
template <class Object, class Construct>
PyRef allocate_instance(PyTypeObject *type, Construct &&construct) noexcept {
    static_assert(noexcept(construct(static_cast<Object *>(nullptr))));
    PyRef object = PyRef::steal(PyType_GenericAlloc(type, 0));
    if (object) std::forward<Construct>(construct)(as_object<Object>(object.get()));
    return object;
}

// Frees an instance of a heap type after its C++ part was destroyed, and drops the
// reference that every instance holds on its heap type.
inline void free_instance(PyObject *object) noexcept {
    PyTypeObject *type = Py_TYPE(object);
    auto free_function = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_function(object);
    Py_DECREF(type);
}

// Makes a type from its PyType_Spec; a new reference, or null with an exception set.
// Under PyPy the type also refuses instance attributes and subclasses, which there the
// missing flags alone do not prevent.
PyRef make_type(PyType_Spec &type_spec) noexcept;
// Sets a class attribute of a type just made, before seal_type; false with an exception set.
bool set_class_attribute(PyObject *type, const char *name, PyObject *value) noexcept;
// Makes a finished type immutable, like the built-in types: its attributes can no longer
// be set or deleted from Python. Only CPython 3.10 and later have the flag; elsewhere the
// type stays as it is. The stable-ABI build makes its types immutable from the start.
// On the free-threaded 3.13 build the type and its methods also become immortal, so that
// threads calling at once do not all write their reference counts (type_support.cpp).
void seal_type(PyTypeObject *type) noexcept;
// make_type and seal_type together, for a type with no class attributes to set.
inline PyRef make_sealed_type(PyType_Spec &type_spec) noexcept {
    PyRef type = make_type(type_spec);
    if (type) seal_type(reinterpret_cast<PyTypeObject *>(type.get()));
    return type;
}

// The calling convention of every method that takes parameters.
inline constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

// The tp_new of classes without a constructor.
PyObject *no_constructor(PyTypeObject *type, PyObject *args, PyObject *kwargs) noexcept;

} // namespace quorvex::py
