// Direct access to tuples and lists, and the str and bytes checks of the argument
// conversions, for both builds of the module.
//
// The full C API reads these objects' fields through macros. The limited API, which the
// stable-ABI (abi3) build compiles against, keeps the objects opaque: it has only the
// checked functions, and a type check by flag reads the type's flags through a call.
#pragma once

#include <Python.h>

namespace quorvex::py {

#if defined(Py_LIMITED_API)

inline Py_ssize_t tuple_size(PyObject *tuple) noexcept { return PyTuple_Size(tuple); }
inline PyObject *tuple_item(PyObject *tuple, Py_ssize_t index) noexcept {
    return PyTuple_GetItem(tuple, index);
}
// Fill a slot of a new tuple or list, taking over the reference to `item`; the index is in
// range, so neither call can fail.
inline void tuple_fill(PyObject *tuple, Py_ssize_t index, PyObject *item) noexcept {
    static_cast<void>(PyTuple_SetItem(tuple, index, item));
}
inline void list_fill(PyObject *list, Py_ssize_t index, PyObject *item) noexcept {
    static_cast<void>(PyList_SetItem(list, index, item));
}
// An exact str or bytes, by far the most common argument, is recognised by its type
// alone, without the call that a subclass check costs here.
inline bool is_str(PyObject *object) noexcept {
    return PyUnicode_CheckExact(object) || PyUnicode_Check(object);
}
inline bool is_bytes(PyObject *object) noexcept {
    return PyBytes_CheckExact(object) || PyBytes_Check(object);
}

#else

inline Py_ssize_t tuple_size(PyObject *tuple) noexcept { return PyTuple_GET_SIZE(tuple); }
inline PyObject *tuple_item(PyObject *tuple, Py_ssize_t index) noexcept {
    return PyTuple_GET_ITEM(tuple, index);
}
inline void tuple_fill(PyObject *tuple, Py_ssize_t index, PyObject *item) noexcept {
    PyTuple_SET_ITEM(tuple, index, item);
}
inline void list_fill(PyObject *list, Py_ssize_t index, PyObject *item) noexcept {
    PyList_SET_ITEM(list, index, item);
}
inline bool is_str(PyObject *object) noexcept { return PyUnicode_Check(object); }
inline bool is_bytes(PyObject *object) noexcept { return PyBytes_Check(object); }

#endif

} // namespace quorvex::py
