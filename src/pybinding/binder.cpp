#include "pybinding/binder.hpp"

#include <cstdio>
#include <cstring>
#include <utility>

#include "pybinding/object_access.hpp"
#include "pybinding/py_ref.hpp"

namespace quorvex::py {

// ---- conversions --------------------------------------------------------------------

bool Str::convert_any(PyObject *object, value_type &out) noexcept {
    if (!is_str(object)) {
        raise_cannot_convert(object, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (!utf8) return false; // UnicodeEncodeError, raised as it is
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

bool OptionalStr::convert(PyObject *object, value_type &out) noexcept {
    if (object == Py_None) {
        out.reset();
        return true;
    }
    std::string_view text;
    if (!Str::convert(object, text)) return false;
    out = text;
    return true;
}

namespace {

// numpy's boolean scalar type. The name is a cheap first test that spares the common
// refusals any lookup; only the type that the loaded numpy module itself calls bool_ is
// the real one (numpy 2 names it numpy.bool, and keeps bool_ for it). A type made in
// Python may take any name and module, but it is a heap type and numpy's is not. numpy is
// never imported here: while it is not loaded, no numpy boolean can exist.
#if defined(Py_LIMITED_API)
// Whether attribute `attribute` of `type` is the str `text`; a failed lookup counts as no.
bool type_attribute_is(PyObject *type, const char *attribute, const char *text) noexcept {
    PyRef value = PyRef::steal(PyObject_GetAttrString(type, attribute));
    if (!value) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), text) == 0;
}

// The type's name is hidden here; its module and name attributes spell the same.
bool named_like_numpy_bool(PyTypeObject *type) noexcept {
    auto *object = reinterpret_cast<PyObject *>(type);
    return type_attribute_is(object, "__module__", "numpy") &&
           (type_attribute_is(object, "__name__", "bool_") ||
            type_attribute_is(object, "__name__", "bool"));
}
#else
bool named_like_numpy_bool(PyTypeObject *type) noexcept {
    const char *name = type->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}
#endif

// The loaded numpy module, or null (without an exception) when it is not loaded.
PyRef loaded_numpy() noexcept {
#if !defined(PYPY_VERSION) && PY_VERSION_HEX >= 0x030D0000 &&                                      \
    (!defined(Py_LIMITED_API) || Py_LIMITED_API + 0 >= 0x030D0000)
    // A strong reference taken by the lookup itself: on the free-threaded build another
    // thread may drop the module from sys.modules at any moment.
    PyObject *numpy = nullptr;
    if (PyDict_GetItemStringRef(PyImport_GetModuleDict(), "numpy", &numpy) < 0) PyErr_Clear();
    return PyRef::steal(numpy);
#else
    // Borrowed from sys.modules and held at once; the interpreter lock keeps the entry.
    return PyRef::borrow(PyDict_GetItemString(PyImport_GetModuleDict(), "numpy"));
#endif
}

bool is_numpy_bool(PyObject *object) noexcept {
    PyTypeObject *type = Py_TYPE(object);
    if (!named_like_numpy_bool(type)) return false;
    if (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) return false;
    PyRef numpy = loaded_numpy();
    if (!numpy) return false;
    PyRef registered = PyRef::steal(PyObject_GetAttrString(numpy.get(), "bool_"));
    if (!registered) {
        PyErr_Clear();
        return false;
    }
    return registered.get() == reinterpret_cast<PyObject *>(type);
}

} // namespace

bool Bool::convert(PyObject *object, value_type &out) noexcept {
    if (object == Py_True || object == Py_False) {
        out = object == Py_True;
        return true;
    }
    if (is_numpy_bool(object)) {
        int truth = PyObject_IsTrue(object);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    raise_cannot_convert(object, "PyBool");
    return false;
}

bool Size::convert(PyObject *object, value_type &out) noexcept {
    if (PyLong_CheckExact(object)) {
        // An int is its own index: no new reference is needed.
        unsigned long long value = PyLong_AsUnsignedLongLong(object);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        out = value;
        return true;
    }
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return false; // the interpreter's TypeError, prefixed by the caller
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool OptionalSize::convert(PyObject *object, value_type &out) noexcept {
    if (object == Py_None) {
        out.reset();
        return true;
    }
    std::uint64_t value = 0;
    if (!Size::convert(object, value)) return false;
    out = value;
    return true;
}

bool Int64::convert(PyObject *object, value_type &out) noexcept {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return false; // the interpreter's TypeError, prefixed by the caller
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) return false; // OverflowError, raised as it is
    out = value;
    return true;
}

#if defined(PYPY_VERSION)
namespace {

// An exact bytes object with the same bytes as `object`, made by bytes' own slicing,
// which a subclass cannot change.
PyRef exact_bytes_copy(PyObject *object) noexcept {
    PyRef slicing = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyBytes_Type), "__getitem__"));
    if (!slicing) return {};
    PyRef whole = PyRef::steal(PySlice_New(nullptr, nullptr, nullptr));
    if (!whole) return {};
    PyRef copy =
        PyRef::steal(PyObject_CallFunctionObjArgs(slicing.get(), object, whole.get(), nullptr));
    if (copy && !PyBytes_CheckExact(copy.get())) {
        PyErr_SetString(PyExc_TypeError, "bytes slicing gave no bytes");
        return {};
    }
    return copy;
}

} // namespace
#endif

bool Bytes::convert(PyObject *object, value_type &out) noexcept {
    if (!is_bytes(object)) {
        raise_cannot_convert(object, "PyBytes");
        return false;
    }
#if defined(PYPY_VERSION)
    // PyPy sizes a subclass instance's C form by its __len__, whatever that answers (and
    // fails when the answer is short), so such an argument is copied into an exact bytes.
    if (!PyBytes_CheckExact(object)) {
        out.copy = exact_bytes_copy(object);
        if (!out.copy) return false;
        object = out.copy.get();
    }
#endif
#if defined(Py_LIMITED_API)
    // Only CPython has a stable ABI, and there both calls read the object's own storage.
    const char *data = PyBytes_AsString(object);
    if (!data) return false;
    const Py_ssize_t size = PyBytes_Size(object);
#else
    const char *data = PyBytes_AS_STRING(object);
    const Py_ssize_t size = Py_SIZE(object);
#endif
    out.bytes =
        std::span(reinterpret_cast<const std::uint8_t *>(data), static_cast<std::size_t>(size));
    return true;
}

// ---- writable buffers -----------------------------------------------------------------

// A moved Py_buffer may keep shape and strides pointing into the struct it came from;
// after the move only buf, len and obj are read, and the release needs no more.
WritableBytes::WritableBytes(WritableBytes &&other) noexcept
    : view_(std::exchange(other.view_, {})), size_(std::exchange(other.size_, 0)) {}

WritableBytes &WritableBytes::operator=(WritableBytes &&other) noexcept {
    if (this != &other) {
        release();
        view_ = std::exchange(other.view_, {});
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

WritableBytes::~WritableBytes() { release(); }

namespace {

// The conversion's own TypeError in place of the interpreter's refusal (no buffer, a
// read-only one, one that is not contiguous: TypeError or BufferError, and ValueError on
// PyPy or for a released memoryview); other errors, such as MemoryError, stay as raised.
bool refuse_buffer(PyObject *object, const char *target = "PyWritableBuffer") noexcept {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError) &&
        !PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_ValueError))
        return false;
    PyErr_Clear();
    raise_cannot_convert(object, target);
    return false;
}

constexpr const char kReadableBuffer[] = "PyBuffer";

} // namespace

#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 < 0x030B0000

void WritableBytes::release() noexcept {
    Py_XDECREF(view_);
    view_ = nullptr;
    size_ = 0;
}

bool WritableBytes::acquire(PyObject *object) noexcept {
    release();
    PyRef view = PyRef::steal(PyMemoryView_FromObject(object));
    if (!view) return refuse_buffer(object);
    PyRef readonly = PyRef::steal(PyObject_GetAttrString(view.get(), "readonly"));
    if (!readonly) return false;
    int is_readonly = PyObject_IsTrue(readonly.get());
    if (is_readonly < 0) return false;
    if (is_readonly) return refuse_buffer(object);
    // Only a C-contiguous view can be cast; the cast gives one item per byte.
    PyRef bytes = PyRef::steal(PyObject_CallMethod(view.get(), "cast", "s", "B"));
    if (!bytes) return refuse_buffer(object);
    Py_ssize_t size = PyObject_Length(bytes.get());
    if (size < 0) return false;
    view_ = bytes.release();
    size_ = static_cast<std::size_t>(size);
    return true;
}

bool WritableBytes::store(std::span<const std::uint8_t> data) const noexcept {
    if (data.empty()) return true;
    PyRef value = PyRef::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char *>(data.data()), static_cast<Py_ssize_t>(data.size())));
    if (!value) return false;
    PyRef start = PyRef::steal(PyLong_FromSize_t(0));
    PyRef stop = PyRef::steal(PyLong_FromSize_t(data.size()));
    if (!start || !stop) return false;
    PyRef slice = PyRef::steal(PySlice_New(start.get(), stop.get(), nullptr));
    return slice && PyObject_SetItem(view_, slice.get(), value.get()) == 0;
}

#else

void WritableBytes::release() noexcept {
    if (view_.obj) PyBuffer_Release(&view_);
    view_ = {};
    size_ = 0;
}

bool WritableBytes::acquire(PyObject *object) noexcept {
    release();
    if (PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
        view_ = {};
        return refuse_buffer(object);
    }
    // Not every exporter honours the contiguity request (PyPy's strided views do not).
    if (!PyBuffer_IsContiguous(&view_, 'C')) {
        release();
        return refuse_buffer(object);
    }
    size_ = static_cast<std::size_t>(view_.len);
    return true;
}

#endif

// ---- readable buffers -----------------------------------------------------------------

ReadableBytes::ReadableBytes(ReadableBytes &&other) noexcept
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 < 0x030B0000
    : copy_(std::exchange(other.copy_, nullptr)),
#else
    : view_(std::exchange(other.view_, {})),
#endif
      bytes_(std::exchange(other.bytes_, {})) {
}

ReadableBytes &ReadableBytes::operator=(ReadableBytes &&other) noexcept {
    if (this != &other) {
        release();
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 < 0x030B0000
        copy_ = std::exchange(other.copy_, nullptr);
#else
        view_ = std::exchange(other.view_, {});
#endif
        bytes_ = std::exchange(other.bytes_, {});
    }
    return *this;
}

ReadableBytes::~ReadableBytes() { release(); }

#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 < 0x030B0000

void ReadableBytes::release() noexcept {
    Py_XDECREF(copy_);
    copy_ = nullptr;
    bytes_ = {};
}

bool ReadableBytes::acquire(PyObject *object) noexcept {
    release();
    PyRef view = PyRef::steal(PyMemoryView_FromObject(object));
    if (!view) return refuse_buffer(object, kReadableBuffer);
    // tobytes() refuses nothing contiguous, so the contiguity is asked first.
    PyRef contiguous = PyRef::steal(PyObject_GetAttrString(view.get(), "c_contiguous"));
    if (!contiguous) return false;
    const int is_contiguous = PyObject_IsTrue(contiguous.get());
    if (is_contiguous < 0) return false;
    if (!is_contiguous) return refuse_buffer(object, kReadableBuffer);
    PyRef copy = PyRef::steal(PyObject_CallMethod(view.get(), "tobytes", nullptr));
    if (!copy) return refuse_buffer(object, kReadableBuffer);
    const char *data = PyBytes_AsString(copy.get());
    const Py_ssize_t size = PyBytes_Size(copy.get());
    if (!data || size < 0) return false;
    bytes_ = {reinterpret_cast<const std::uint8_t *>(data), static_cast<std::size_t>(size)};
    copy_ = copy.release();
    return true;
}

#else

void ReadableBytes::release() noexcept {
    if (view_.obj) PyBuffer_Release(&view_);
    view_ = {};
    bytes_ = {};
}

bool ReadableBytes::acquire(PyObject *object) noexcept {
    release();
    if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS) != 0) {
        view_ = {};
        return refuse_buffer(object, kReadableBuffer);
    }
    if (!PyBuffer_IsContiguous(&view_, 'C')) {
        release();
        return refuse_buffer(object, kReadableBuffer);
    }
    bytes_ = {static_cast<const std::uint8_t *>(view_.buf), static_cast<std::size_t>(view_.len)};
    return true;
}

#endif

// ---- binding --------------------------------------------------------------------------

bool ParameterList::intern_names() const noexcept {
    if (interned_ready_.load(std::memory_order_acquire)) return true;
    for (std::size_t i = 0; i < parameters_.size(); ++i) {
        if (interned_[i].load(std::memory_order_acquire)) continue;
        PyObject *name = PyUnicode_InternFromString(parameters_[i].name);
        if (!name) return false;
        // A thread that lost the race drops its reference to the same interned str.
        PyObject *expected = nullptr;
        if (!interned_[i].compare_exchange_strong(expected, name, std::memory_order_acq_rel))
            Py_DECREF(name);
    }
    interned_ready_.store(true, std::memory_order_release);
    return true;
}

ParameterList::DisplayName ParameterList::display_name() const noexcept {
    DisplayName name;
    std::snprintf(name.text.data(), name.text.size(), "%s.%s()", class_name_, method_name_);
    return name;
}

bool ParameterList::bind_positional(Py_ssize_t nargs) const noexcept {
    const auto total = static_cast<Py_ssize_t>(parameters_.size());
    if (nargs <= total) return true;
    Py_ssize_t required = 0;
    for (const ParameterSpec &parameter : parameters_)
        required += parameter.required ? 1 : 0;
    raise_too_many_positional(display_name().c_str(), required, total, nargs);
    return false;
}

bool ParameterList::bind_keyword(PyObject *keyword, PyObject *value,
                                 PyObject **bound) const noexcept {
    std::size_t found = parameters_.size();
    // Keywords written in source code arrive as the interned names themselves.
    for (std::size_t i = 0; i < parameters_.size(); ++i) {
        if (interned_[i].load(std::memory_order_relaxed) == keyword) {
            found = i;
            break;
        }
    }
    if (found == parameters_.size() && PyUnicode_Check(keyword)) {
        for (std::size_t i = 0; i < parameters_.size(); ++i) {
            if (PyUnicode_CompareWithASCIIString(keyword, parameters_[i].name) == 0) {
                found = i;
                break;
            }
        }
    }
    if (found == parameters_.size()) {
        raise_unexpected_keyword(display_name().c_str(), keyword);
        return false;
    }
    if (bound[found]) {
        raise_multiple_values(display_name().c_str(), parameters_[found].name);
        return false;
    }
    bound[found] = value;
    return true;
}

bool ParameterList::check_missing(PyObject *const *bound) const noexcept {
    std::array<const char *, kMaxParameters> missing{};
    Py_ssize_t count = 0;
    for (std::size_t i = 0; i < parameters_.size(); ++i)
        if (parameters_[i].required && !bound[i]) missing[count++] = parameters_[i].name;
    if (count == 0) return true;
    raise_missing_arguments(display_name().c_str(), missing.data(), count);
    return false;
}

bool ParameterList::bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                         PyObject **bound) const noexcept {
    if (!bind_positional(nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        bound[i] = args[i];
    if (kwnames) {
        if (!intern_names()) return false;
        Py_ssize_t count = tuple_size(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i)
            if (!bind_keyword(tuple_item(kwnames, i), args[nargs + i], bound)) return false;
    }
    return check_missing(bound);
}

bool ParameterList::bind(PyObject *args, PyObject *kwargs, PyObject **bound) const noexcept {
    Py_ssize_t nargs = tuple_size(args);
    if (!bind_positional(nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        bound[i] = tuple_item(args, i);
    if (kwargs) {
        if (!intern_names()) return false;
        // The interpreter makes a new dict for each call's keywords, and the values stay
        // in it until the call returns, as CPython's own argument parsing also relies on;
        // the walk still holds the dict's critical section, which is what PyDict_Next asks
        // for on the free-threaded build wherever a dict may be seen by another thread.
        bool bound_all = true;
#ifdef Py_GIL_DISABLED
        Py_BEGIN_CRITICAL_SECTION(kwargs);
#endif
        Py_ssize_t position = 0;
        PyObject *keyword = nullptr;
        PyObject *value = nullptr;
        while (bound_all && PyDict_Next(kwargs, &position, &keyword, &value))
            bound_all = bind_keyword(keyword, value, bound);
#ifdef Py_GIL_DISABLED
        Py_END_CRITICAL_SECTION();
#endif
        if (!bound_all) return false;
    }
    return check_missing(bound);
}

bool check_receiver_slow(PyObject *self, PyTypeObject *type, const char *class_name) noexcept {
    if (self && PyObject_TypeCheck(self, type)) return true;
    raise_cannot_convert(self ? self : Py_None, class_name);
    return false;
}

} // namespace quorvex::py
