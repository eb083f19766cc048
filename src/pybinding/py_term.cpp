// PyTerm: a terminal, with its own working directory, over the file system of a PyFs.
#include <Python.h>

#include <string>

#include "pybinding/binder.hpp"
#include "pybinding/docstrings.hpp"
#include "pybinding/entry_points.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/objects.hpp"
#include "pybinding/results.hpp"
#include "pybinding/type_support.hpp"
#include "terminal/terminal.hpp"

namespace quorvex::py {
namespace {

using terminal::Terminal;

constinit Signature<Instance<PyFsObject>> new_signature{"PyTerm", "__new__", {"fs"}};
constinit Signature<Str> exec_signature{"PyTerm", "exec", {"command"}};

PyRef term_new(PyTypeObject *type, PyFsObject *fs) {
    Terminal terminal(fs->fs.owner());
    return allocate_instance<PyTermObject>(type, [&](PyTermObject *object) noexcept {
        new (&object->terminal) Locked<Terminal>(std::move(terminal));
    });
}

void term_dealloc(PyObject *self) noexcept {
    reinterpret_cast<PyTermObject *>(self)->terminal.~Locked();
    free_instance(self);
}

terminal::TextResult term_exec(PyObject *self, std::string_view command) {
    // The lock covers the run alone; the text becomes a str after it is released.
    return as_object<PyTermObject>(self)->terminal.with(
        [&](Terminal &terminal) { return terminal.run(command); });
}

PyMethodDef term_methods[] = {
    {"exec", method_function(method<PyTermObject, exec_signature, term_exec>), kFastcallKeywords,
     doc::kExec},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot term_slots[] = {
    {Py_tp_new, slot_function(constructor<new_signature, term_new>)},
    {Py_tp_dealloc, slot_function(term_dealloc)},
    {Py_tp_methods, term_methods},
    {Py_tp_doc, const_cast<char *>(doc::kPyTerm)},
    {0, nullptr},
};

PyType_Spec term_spec = {
    "builtins.PyTerm", static_cast<int>(sizeof(PyTermObject)), 0, Py_TPFLAGS_DEFAULT, term_slots,
};

} // namespace

PyRef create_term_type() noexcept { return make_sealed_type(term_spec); }

} // namespace quorvex::py
