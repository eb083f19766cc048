// A move-only owner of one strong reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace quorvex::py {

// Holds at most one strong reference. Construction from a raw pointer is explicit about
// what happens to the count: steal() takes over a new reference, borrow() adds one.
class PyRef {
  public:
    PyRef() noexcept = default;
    PyRef(PyRef &&other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef &operator=(PyRef &&other) noexcept {
        if (this != &other) reset(std::exchange(other.object_, nullptr));
        return *this;
    }
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    // Takes over a new reference (which may be null, e.g. a failed call's result).
    [[nodiscard]] static PyRef steal(PyObject *object) noexcept { return PyRef(object); }
    // Adds a reference to a borrowed pointer (which may be null).
    [[nodiscard]] static PyRef borrow(PyObject *object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    [[nodiscard]] PyObject *get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller, leaving this empty.
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(object_, nullptr); }

  private:
    explicit PyRef(PyObject *object) noexcept : object_(object) {}

    void reset(PyObject *object) noexcept {
        PyObject *old = std::exchange(object_, object);
        Py_XDECREF(old);
    }

    PyObject *object_ = nullptr;
};

} // namespace quorvex::py
