// Conversions of results back to Python objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "pybinding/py_ref.hpp"

namespace quorvex::py {

inline PyRef none_result() noexcept { return PyRef::borrow(Py_None); }

// Text is UTF-8 throughout; anything malformed would be shown as U+FFFD rather than fail.
inline PyRef str_result(std::string_view text) noexcept {
    return PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// A node's name as str. Most names are ASCII, and those are copied straight into a new
// compact str where the full C API allows it, skipping the UTF-8 decoder.
inline PyRef name_result(std::string_view name) noexcept {
#if !defined(Py_LIMITED_API) && !defined(PYPY_VERSION)
    bool ascii = true;
    for (const char byte : name)
        ascii &= static_cast<unsigned char>(byte) < 0x80;
    if (ascii) {
        PyRef text = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(name.size()), 0x7f));
        if (text) std::memcpy(PyUnicode_DATA(text.get()), name.data(), name.size());
        return text;
    }
#endif
    return str_result(name);
}

inline PyRef int_result(std::uint64_t value) noexcept {
    return PyRef::steal(PyLong_FromUnsignedLongLong(value));
}

} // namespace quorvex::py
