// Whence: the three seek origins, as singleton members stored on the class.
#include <Python.h>

#include <cstdint>
#include <iterator>
#include <optional>

#include "fs/file_handle.hpp"
#include "pybinding/docstrings.hpp"
#include "pybinding/objects.hpp"
#include "pybinding/py_ref.hpp"
#include "pybinding/type_support.hpp"

namespace quorvex::py {
namespace {

struct Member {
    const char *name;
    const char *repr;
    fs::SeekOrigin origin;
};

// Indexed by the member's value. The translation to a seek origin goes by member, not by
// number: SEEK_CUR (1) selects Current and SEEK_END (2) selects End.
constexpr Member kMembers[] = {
    {"SEEK_SET", "Whence.SEEK_SET", fs::SeekOrigin::Start},
    {"SEEK_CUR", "Whence.SEEK_CUR", fs::SeekOrigin::Current},
    {"SEEK_END", "Whence.SEEK_END", fs::SeekOrigin::End},
};

const Member &member_of(PyObject *self) noexcept {
    return kMembers[as_object<WhenceObject>(self)->value];
}

PyObject *whence_repr(PyObject *self) noexcept {
    return PyUnicode_FromString(member_of(self).repr);
}

PyObject *whence_int(PyObject *self) noexcept {
    return PyLong_FromLong(as_object<WhenceObject>(self)->value);
}

// Whether a member equals `other`: an integer (or anything with __index__) compares by
// value, as does another member; anything else is not comparable (null).
std::optional<bool> whence_equals(PyObject *self, PyObject *other) noexcept {
    const long long value = as_object<WhenceObject>(self)->value;
    if (PyRef index = PyRef::steal(PyNumber_Index(other))) {
        long long number = PyLong_AsLongLong(index.get());
        if (number != -1 || !PyErr_Occurred()) return number == value;
    }
    PyErr_Clear(); // a failed integer conversion only means "not an integer"
    if (PyObject_TypeCheck(other, WhenceObject::type()))
        return as_object<WhenceObject>(other)->value == value;
    return std::nullopt;
}

PyObject *whence_richcompare(PyObject *self, PyObject *other, int op) noexcept {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    std::optional<bool> equal = whence_equals(self, other);
    if (!equal) Py_RETURN_NOTIMPLEMENTED;
    return PyBool_FromLong((op == Py_EQ) == *equal);
}

void whence_dealloc(PyObject *self) noexcept { free_instance(self); }

PyType_Slot whence_slots[] = {
    {Py_tp_new, slot_function(no_constructor)},
    {Py_tp_dealloc, slot_function(whence_dealloc)},
    {Py_tp_repr, slot_function(whence_repr)},
    {Py_tp_str, slot_function(whence_repr)},
    {Py_tp_richcompare, slot_function(whence_richcompare)},
    {Py_nb_int, slot_function(whence_int)},
    {Py_tp_doc, const_cast<char *>(doc::kWhence)},
    {0, nullptr},
};

PyType_Spec whence_spec = {
    "builtins.Whence", static_cast<int>(sizeof(WhenceObject)), 0, Py_TPFLAGS_DEFAULT, whence_slots,
};

} // namespace

PyRef create_whence_type() noexcept {
    PyRef type = make_type(whence_spec);
    if (!type) return type;
    auto *whence_type = reinterpret_cast<PyTypeObject *>(type.get());
    for (std::size_t value = 0; value < std::size(kMembers); ++value) {
        // Members are made directly: the class itself refuses construction.
        PyRef member =
            allocate_instance<WhenceObject>(whence_type, [&](WhenceObject *object) noexcept {
                object->value = static_cast<std::uint8_t>(value);
            });
        if (!member) return {};
        if (!set_class_attribute(type.get(), kMembers[value].name, member.get())) return {};
    }
    seal_type(whence_type);
    return type;
}

fs::SeekOrigin seek_origin_of(const WhenceObject &whence) noexcept {
    return kMembers[whence.value].origin;
}

} // namespace quorvex::py
