// Conversions of results back to Python objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "pybinding/py_ref.hpp"

namespace quorvex::py {

inline PyRef none_result() noexcept { return PyRef::borrow(Py_None); }

// Text is UTF-8 throughout; anything malformed would be shown as U+FFFD rather than fail.
inline PyRef str_result(std::string_view text) noexcept {
    return PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

inline PyRef int_result(std::uint64_t value) noexcept {
    return PyRef::steal(PyLong_FromUnsignedLongLong(value));
}

} // namespace quorvex::py
