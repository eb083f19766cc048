// The one glue between the C API and the binding's methods, after the manner of a wrapper
// and an _impl: every entry point runs guard -> parse -> call -> raise -> convert here, so
// a method is its signature and its body and nothing else:
//
//     constinit Signature<Str> mkdir_signature{"PyFs", "mkdir", {"path"}};
//     fs::Status fs_mkdir(PyObject *self, std::string_view path) { ... }
//
//     {"mkdir", method<PyFsObject, mkdir_signature, fs_mkdir>, kFastcallKeywords, doc::kMkdir}
//
// The body takes the receiver and the converted arguments, in the signature's order, and
// returns what the call produced; to_python() turns that into the entry point's result:
//   PyRef            as it is (null: the body has set an exception),
//   fs::Status       None, or the error raised,
//   fs::Result<T, E> the value converted in turn, or the error raised (an IoError as
//                    ValueError with its message, a text as ValueError carrying it),
//   text             a str; an unsigned integer: an int.
// C++ exceptions stop in guarded(), as everywhere in the binding.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "fs/error.hpp"
#include "fs/result.hpp"
#include "pybinding/binder.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/py_ref.hpp"
#include "pybinding/results.hpp"

namespace quorvex::py {

// ---- convert ----------------------------------------------------------------------------

inline PyRef to_python(PyRef object) noexcept { return object; }
inline PyRef to_python(std::string_view text) noexcept { return str_result(text); }
inline PyRef to_python(const std::string &text) noexcept { return str_result(text); }
template <std::unsigned_integral Integer> PyRef to_python(Integer value) noexcept {
    return int_result(static_cast<std::uint64_t>(value));
}

// ---- raise ------------------------------------------------------------------------------

inline void raise_error(const fs::IoError &error) noexcept { raise_io_error(error); }
inline void raise_error(const std::string &text) noexcept { raise_value_error(text); }

template <class E> PyRef to_python(const fs::Result<void, E> &status) noexcept {
    if (status) return none_result();
    raise_error(status.error());
    return {};
}
template <class T, class E>
    requires(!std::is_void_v<T>)
PyRef to_python(fs::Result<T, E> &&result) { // runs inside guarded()
    if (!result) {
        raise_error(result.error());
        return {};
    }
    return to_python(std::move(result).value());
}

// ---- the entry points -------------------------------------------------------------------

// A METH_FASTCALL | METH_KEYWORDS method of Object's class.
template <class Object, auto &signature, auto body>
PyObject *method(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                 PyObject *kwnames) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        auto parsed = signature.parse(self, Object::type(), args, nargs, kwnames);
        if (!parsed) return nullptr;
        return std::apply([self](auto &&...values) { return to_python(body(self, values...)); },
                          std::move(*parsed))
            .release();
    });
}

// A slot that takes the receiver alone (tp_str).
template <class Object, auto body> PyObject *unary_slot(PyObject *self) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        if (!check_receiver(self, Object::type(), Object::kClassName)) return nullptr;
        return to_python(body(self)).release();
    });
}
// A method without parameters (METH_NOARGS).
template <class Object, auto body> PyObject *method_noargs(PyObject *self, PyObject *) noexcept {
    return unary_slot<Object, body>(self);
}

// A class's tp_new: the body takes the type and the converted arguments.
template <auto &signature, auto body>
PyObject *constructor(PyTypeObject *type, PyObject *args, PyObject *kwargs) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        auto parsed = signature.parse_new(args, kwargs);
        if (!parsed) return nullptr;
        return std::apply([type](auto &&...values) { return to_python(body(type, values...)); },
                          std::move(*parsed))
            .release();
    });
}

} // namespace quorvex::py
