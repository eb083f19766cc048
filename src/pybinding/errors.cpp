#include "pybinding/errors.hpp"

#include <cerrno>
#include <exception>
#include <string>

#include "pybinding/py_ref.hpp"

namespace quorvex::py {
namespace {

// The internal-failure type; created with the module and kept for the process's lifetime.
PyObject *internal_failure_type = nullptr;

// Builds a str from UTF-8 text, replacing what is not well formed instead of failing.
PyRef text_object(std::string_view text) noexcept {
    return PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// The __qualname__ of an object's type, or the fallback text when it cannot be read.
std::string qualified_type_name(PyObject *object) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(object)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        if (const char *utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size))
            return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return message::kUnknownTypeName;
}

void set_type_error(const std::string &text) noexcept {
    if (PyRef value = text_object(text)) PyErr_SetObject(PyExc_TypeError, value.get());
}

} // namespace

bool init_internal_failure() noexcept {
    if (internal_failure_type) return true;
    internal_failure_type = PyErr_NewExceptionWithDoc(
        message::kInternalFailureName, message::kInternalFailureDoc, PyExc_BaseException, nullptr);
    return internal_failure_type != nullptr;
}

int errno_of(fs::IoErrorKind kind) noexcept {
    using K = fs::IoErrorKind;
    switch (kind) {
    case K::InodeNotFound:
        return ENOENT;
    case K::NotADirectory:
        return ENOTDIR;
    case K::NotAFile:
        return EISDIR;
    case K::NotASymlink:
        return EINVAL;
    case K::MaxRecursionDepthExceeded:
        return ENAMETOOLONG;
    case K::ResourceAlreadyExists:
        return EEXIST;
    case K::DirectoryIsNotEmpty:
        return ENOTEMPTY;
    case K::ResourceCurrentInUse:
        return EBUSY;
    case K::UnrecognizedFileMode:
        return EINVAL;
    case K::OperationNotSupported:
    case K::InvalidFileDescriptor:
        return EBADF;
    case K::NoSpaceLeft:
        return ENOSPC;
    case K::InvalidMove:
        return EINVAL;
    }
    return EIO;
}

void raise_io_error(const fs::IoError &error) noexcept {
    PyRef text;
    try {
        text = text_object(error.message());
    } catch (...) {
        PyErr_NoMemory();
        return;
    }
    if (!text) return;
    PyRef exception =
        PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_ValueError, text.get(), nullptr));
    if (!exception) return;
    PyRef kind = PyRef::steal(PyUnicode_FromString(error.kind_name()));
    PyRef number = PyRef::steal(PyLong_FromLong(errno_of(error.kind())));
    if (!kind || !number || PyObject_SetAttrString(exception.get(), "kind", kind.get()) < 0 ||
        PyObject_SetAttrString(exception.get(), "errno", number.get()) < 0)
        return;
    PyErr_SetObject(PyExc_ValueError, exception.get());
}

void raise_value_error(std::string_view text) noexcept {
    if (PyRef value = text_object(text)) PyErr_SetObject(PyExc_ValueError, value.get());
}

void raise_internal_failure(const char *text) noexcept {
    PyErr_SetString(internal_failure_type ? internal_failure_type : PyExc_SystemError, text);
}

void raise_no_constructor() noexcept { PyErr_SetString(PyExc_TypeError, message::kNoConstructor); }

void raise_cannot_convert(PyObject *object, const char *target) noexcept {
    try {
        set_type_error("'" + qualified_type_name(object) + "' object cannot be converted to '" +
                       target + "'");
    } catch (...) {
        PyErr_NoMemory();
    }
}

void raise_too_many_positional(const char *function, Py_ssize_t required, Py_ssize_t total,
                               Py_ssize_t given) noexcept {
    try {
        std::string text = function;
        text += required == total
                    ? " takes " + std::to_string(total)
                    : " takes from " + std::to_string(required) + " to " + std::to_string(total);
        text += " positional arguments but " + std::to_string(given);
        text += given == 1 ? " was given" : " were given";
        set_type_error(text);
    } catch (...) {
        PyErr_NoMemory();
    }
}

void raise_unexpected_keyword(const char *function, PyObject *keyword) noexcept {
    // %U for a str keeps the keyword exactly, lone surrogates included.
    PyErr_Format(PyExc_TypeError,
                 PyUnicode_Check(keyword) ? "%s got an unexpected keyword argument '%U'"
                                          : "%s got an unexpected keyword argument '%S'",
                 function, keyword);
}

void raise_multiple_values(const char *function, const char *name) noexcept {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", function, name);
}

void raise_missing_arguments(const char *function, const char *const *names,
                             Py_ssize_t count) noexcept {
    try {
        std::string text = function;
        text += " missing " + std::to_string(count) + " required positional argument";
        if (count != 1) text += 's';
        text += ": ";
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (i > 0) text += i + 1 == count ? " and " : ", ";
            text += '\'';
            text += names[i];
            text += '\'';
        }
        set_type_error(text);
    } catch (...) {
        PyErr_NoMemory();
    }
}

void wrap_conversion_error(const char *name) noexcept {
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type || !PyErr_GivenExceptionMatches(type, PyExc_TypeError)) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef cause_type = PyRef::steal(type);
    PyRef cause = PyRef::steal(value);
    PyRef cause_traceback = PyRef::steal(traceback);
    if (cause_traceback) PyException_SetTraceback(cause.get(), cause_traceback.get());

    PyRef text = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, cause.get()));
    if (!text) return;
    PyRef error = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
    if (!error) return;
    PyException_SetCause(error.get(), cause.release()); // steals the reference
    PyErr_SetObject(PyExc_TypeError, error.get());
}

void make_exception_state() noexcept {
    // The query is declared pure: only a use of its result keeps the call.
    [[maybe_unused]] volatile int in_flight = std::uncaught_exceptions();
    exception_state_made = true;
}

void raise_from_current_exception() noexcept {
    try {
        throw;
    } catch (const fs::InvariantViolation &violation) {
        raise_internal_failure(violation.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &other) {
        raise_internal_failure(other.what());
    } catch (...) {
        raise_internal_failure(message::kUnknownCxxException);
    }
}

} // namespace quorvex::py
