// The result of PyFs.stat and PyFileHandle.stat: a read-only five-field structure sequence.
// Its type is made once by the module's initialisation and is reached only through those
// methods' results, never as a module attribute.
#include <Python.h>

#include "pybinding/objects.hpp"
#include "pybinding/results.hpp"

namespace quorvex::py {
namespace {

PyStructSequence_Field stat_fields[] = {
    {"kind", "\"file\", \"directory\" or \"symlink\""},
    {"size", "bytes of a file, entries of a directory"},
    {"id", "the node's inode id"},
    {"mtime_ns", "modification time, nanoseconds since the Unix epoch"},
    {"birth_ns", "creation time, nanoseconds since the Unix epoch"},
    {nullptr, nullptr},
};

PyStructSequence_Desc stat_desc = {
    "quorvex.StatResult",
    "A node's kind, size, id and times, as PyFs.stat gives them.",
    stat_fields,
    5,
};

// Set once by init_stat_result and kept for the process's lifetime, like the classes.
PyTypeObject *stat_type = nullptr;
// The three kinds' texts, made once, so that a result shares them instead of making one.
PyObject *kind_texts[3] = {};

} // namespace

bool init_stat_result() noexcept {
    if (stat_type) return true;
    static constexpr const char *kKinds[3] = {"file", "directory", "symlink"};
    PyObject *texts[3] = {};
    for (int i = 0; i < 3; ++i) {
        texts[i] = PyUnicode_InternFromString(kKinds[i]);
        if (!texts[i]) {
            for (PyObject *text : texts)
                Py_XDECREF(text);
            return false;
        }
    }
    PyTypeObject *type = PyStructSequence_NewType(&stat_desc);
    if (!type) {
        for (PyObject *text : texts)
            Py_DECREF(text);
        return false;
    }
    for (int i = 0; i < 3; ++i)
        kind_texts[i] = texts[i];
    stat_type = type;
    return true;
}

PyRef stat_result(const fs::NodeStat &stat) noexcept {
    PyRef result = PyRef::steal(PyStructSequence_New(stat_type));
    if (!result) return result;
    PyObject *kind = kind_texts[static_cast<int>(stat.kind)];
    Py_INCREF(kind);
    PyObject *items[5] = {kind, PyLong_FromUnsignedLongLong(stat.size),
                          PyLong_FromUnsignedLongLong(stat.id), PyLong_FromLongLong(stat.mtime_ns),
                          PyLong_FromLongLong(stat.birth_ns)};
    bool complete = true;
    for (Py_ssize_t i = 0; i < 5; ++i) {
        // A failed int leaves its field null; the result is dropped whole below.
        complete &= items[i] != nullptr;
        if (items[i]) PyStructSequence_SetItem(result.get(), i, items[i]);
    }
    if (!complete) return PyRef();
    return result;
}

} // namespace quorvex::py
