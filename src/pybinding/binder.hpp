// The declarative argument binder shared by every method and constructor.
//
// A method declares its parameters once, as a static Signature naming the class, the
// method, and for each parameter its name, whether it is required and its conversion:
//
//     constinit Signature<Str, OptionalStr> tree_signature{
//         "PyFs", "tree", {"path"}, {"ident", kOptional}};
//
// and its entry point calls parse(), which binds the arguments positionally and then by
// keyword, checks the receiver, converts each bound argument in parameter order and hands
// back a tuple of the converted values, or nothing with the Python exception set.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>

#include "pybinding/errors.hpp"
#include "pybinding/py_ref.hpp"

namespace quorvex::py {

// ---- conversions --------------------------------------------------------------------
// Each conversion has a value_type and a convert() that fills it from a bound argument
// (never null) and returns false with a Python exception set when it refuses.

// str or a subclass, as UTF-8 borrowed from the object (which outlives the call).
struct Str {
    using value_type = std::string_view;
    static bool convert(PyObject *object, value_type &out) noexcept {
#if !defined(Py_LIMITED_API) && !defined(PYPY_VERSION)
        // A compact ASCII str (an exact str, never a subclass's instance) holds its UTF-8
        // form as its own data. The macros are those of the headers the module is built
        // against, so they read the layout of that very version (the free-threaded
        // build's larger object header included), and what they read (the kind, compact
        // and ascii bits, the length, the data) is fixed when the str is made; the
        // argument keeps it alive for the call. On free-threaded 3.13 the bits share a
        // word with the interned state, which interning an existing str rewrites (with the
        // same kind bits); PyUnicode_AsUTF8AndSize reads them the very same way, and 3.14
        // moves the interned state to a byte of its own.
        if (PyUnicode_CheckExact(object) && PyUnicode_IS_COMPACT_ASCII(object)) {
            out = std::string_view(static_cast<const char *>(PyUnicode_DATA(object)),
                                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
            return true;
        }
#endif
        return convert_any(object, out);
    }
    // Any other object: a str through the C API, anything else refused.
    static bool convert_any(PyObject *object, value_type &out) noexcept;
};

// Like Str; None, like an omitted argument, means no value.
struct OptionalStr {
    using value_type = std::optional<std::string_view>;
    static bool convert(PyObject *object, value_type &out) noexcept;
};

// True or False only (and numpy's boolean scalar, through its truth value).
struct Bool {
    using value_type = bool;
    static bool convert(PyObject *object, value_type &out) noexcept;
};

// An int, or anything with __index__, from 0 to the largest unsigned 64-bit value.
struct Size {
    using value_type = std::uint64_t;
    static bool convert(PyObject *object, value_type &out) noexcept;
};

// Like Size; None, like an omitted argument, means no value.
struct OptionalSize {
    using value_type = std::optional<std::uint64_t>;
    static bool convert(PyObject *object, value_type &out) noexcept;
};

// An int, or anything with __index__, that fits a signed 64-bit value.
struct Int64 {
    using value_type = std::int64_t;
    static bool convert(PyObject *object, value_type &out) noexcept;
};

// bytes or a subclass, borrowed from the object.
// A bytes argument: the object's own bytes and, where they had to be copied out of a
// subclass instance first, the exact bytes object holding the copy.
struct BytesArgument {
    std::span<const std::uint8_t> bytes;
    PyRef copy;
};

struct Bytes {
    using value_type = BytesArgument;
    static bool convert(PyObject *object, value_type &out) noexcept;
};

// Any object at all, borrowed.
struct AnyObject {
    using value_type = PyObject *;
    static bool convert(PyObject *object, value_type &out) noexcept {
        out = object;
        return true;
    }
};

// The bytes of a writable, C-contiguous buffer (bytearray, memoryview, array, mmap, ...),
// held from the conversion until the call's values are dropped.
class WritableBytes {
  public:
    WritableBytes() noexcept = default;
    WritableBytes(WritableBytes &&other) noexcept;
    WritableBytes &operator=(WritableBytes &&other) noexcept;
    WritableBytes(const WritableBytes &) = delete;
    WritableBytes &operator=(const WritableBytes &) = delete;
    ~WritableBytes();

    // Takes the buffer of `object`; false with TypeError set when it has none to write.
    bool acquire(PyObject *object) noexcept;
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 < 0x030B0000
    // Without the buffer protocol the bytes are reached through a memoryview cast to
    // unsigned bytes: stores `data` at its start.
    bool store(std::span<const std::uint8_t> data) const noexcept;
#else
    [[nodiscard]] std::span<std::uint8_t> bytes() const noexcept {
        return {static_cast<std::uint8_t *>(view_.buf), size_};
    }
#endif

  private:
    void release() noexcept;

#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 < 0x030B0000
    PyObject *view_ = nullptr;
#else
    Py_buffer view_{};
#endif
    std::size_t size_ = 0;
};

struct WritableBuffer {
    using value_type = WritableBytes;
    static bool convert(PyObject *object, value_type &out) noexcept { return out.acquire(object); }
};

// The bytes of any C-contiguous buffer (bytes, bytearray, memoryview, array, ...), held
// from the conversion until the call's values are dropped. Without the buffer protocol
// (the stable ABI before 3.11) they are copied out once through a memoryview.
class ReadableBytes {
  public:
    ReadableBytes() noexcept = default;
    ReadableBytes(ReadableBytes &&other) noexcept;
    ReadableBytes &operator=(ReadableBytes &&other) noexcept;
    ReadableBytes(const ReadableBytes &) = delete;
    ReadableBytes &operator=(const ReadableBytes &) = delete;
    ~ReadableBytes();

    // Takes the buffer of `object`; false with TypeError set when it has none.
    bool acquire(PyObject *object) noexcept;
    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }

  private:
    void release() noexcept;

#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 < 0x030B0000
    PyObject *copy_ = nullptr;
#else
    Py_buffer view_{};
#endif
    std::span<const std::uint8_t> bytes_;
};

struct ReadableBuffer {
    using value_type = ReadableBytes;
    static bool convert(PyObject *object, value_type &out) noexcept { return out.acquire(object); }
};

// An instance of one of the module's classes. Object is the instance layout; it provides
// `static PyTypeObject *type()` and `static constexpr const char kClassName[]`.
template <class Object> struct Instance {
    using value_type = Object *;
    static bool convert(PyObject *object, value_type &out) noexcept {
        if (!PyObject_TypeCheck(object, Object::type())) {
            raise_cannot_convert(object, Object::kClassName);
            return false;
        }
        out = reinterpret_cast<Object *>(object);
        return true;
    }
};

// ---- the untyped core -----------------------------------------------------------------

inline constexpr std::size_t kMaxParameters = 4;
inline constexpr bool kOptional = false;

struct ParameterSpec {
    const char *name = nullptr;
    bool required = true;
};

// A method's parameter list and the binding of arguments to it, independent of the
// conversions. Keyword names are interned on first use and kept for the process's life;
// several threads may do that at once (free-threaded build), so each slot is published
// once, atomically, and a name is compared by pointer only after its slot was read
// non-null. Nothing else in a list changes after it is constructed.
class ParameterList {
  public:
    constexpr ParameterList(const char *class_name, const char *method_name,
                            std::span<const ParameterSpec> parameters) noexcept
        : class_name_(class_name), method_name_(method_name), parameters_(parameters) {}

    // Binds a vectorcall argument list (positional arguments followed by the values of
    // the keywords named in `kwnames`) into `bound`, one borrowed pointer or null per
    // parameter.
    bool bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
              PyObject **bound) const noexcept;
    // The same for a constructor's tuple and dict.
    bool bind(PyObject *args, PyObject *kwargs, PyObject **bound) const noexcept;
    // TypeError unless `self` is an instance of `type`.
    bool check_receiver(PyObject *self, PyTypeObject *type) const noexcept;

    [[nodiscard]] const char *parameter_name(std::size_t index) const noexcept {
        return parameters_[index].name;
    }

  private:
    bool bind_positional(Py_ssize_t nargs) const noexcept;
    bool bind_keyword(PyObject *keyword, PyObject *value, PyObject **bound) const noexcept;
    bool check_missing(PyObject *const *bound) const noexcept;
    bool intern_names() const noexcept;
    // "Class.method()", the prefix of every binding message, made on the caller's stack.
    struct DisplayName {
        std::array<char, 64> text{};
        [[nodiscard]] const char *c_str() const noexcept { return text.data(); }
    };
    QUORVEX_COLD DisplayName display_name() const noexcept;

    const char *class_name_;
    const char *method_name_;
    std::span<const ParameterSpec> parameters_;
    mutable std::array<std::atomic<PyObject *>, kMaxParameters> interned_{};
    mutable std::atomic<bool> interned_ready_{false};
};

// Converts bound argument `index` in place; an absent optional argument keeps its default.
template <class Conversion>
bool convert_one(const ParameterList &list, std::size_t index, PyObject *bound,
                 typename Conversion::value_type &out) noexcept {
    if (!bound) return true;
    if (Conversion::convert(bound, out)) return true;
    wrap_conversion_error(list.parameter_name(index));
    return false;
}

// ---- the typed front ------------------------------------------------------------------

// One parameter of a Signature: its name and whether it is required; the conversion is
// the Signature's template argument at the same position.
template <class Conversion> struct Parameter {
    const char *name;
    bool required = true;
};

template <class... Conversions> class Signature {
    static constexpr std::size_t kCount = sizeof...(Conversions);
    static_assert(kCount <= kMaxParameters);

  public:
    using Values = std::tuple<typename Conversions::value_type...>;

    constexpr Signature(const char *class_name, const char *method_name,
                        Parameter<Conversions>... parameters) noexcept
        : specs_{ParameterSpec{parameters.name, parameters.required}...},
          list_(class_name, method_name, std::span<const ParameterSpec>(specs_)) {}

    Signature(const Signature &) = delete;
    Signature &operator=(const Signature &) = delete;

    // A method's arguments: bind, check that `self` is an instance of `type`, convert.
    std::optional<Values> parse(PyObject *self, PyTypeObject *type, PyObject *const *args,
                                Py_ssize_t nargs, PyObject *kwnames) const noexcept {
        std::array<PyObject *, kCount + 1> bound{};
        if (nargs == static_cast<Py_ssize_t>(kCount) && !kwnames) {
            // The usual call, every parameter by position, needs none of the binding.
            for (std::size_t i = 0; i < kCount; ++i)
                bound[i] = args[i];
        } else if (!list_.bind(args, nargs, kwnames, bound.data())) {
            return std::nullopt;
        }
        if (!list_.check_receiver(self, type)) return std::nullopt;
        return convert_all(bound, std::index_sequence_for<Conversions...>());
    }

    // A constructor's arguments (no receiver to check).
    std::optional<Values> parse_new(PyObject *args, PyObject *kwargs) const noexcept {
        std::array<PyObject *, kCount + 1> bound{};
        if (!list_.bind(args, kwargs, bound.data())) return std::nullopt;
        return convert_all(bound, std::index_sequence_for<Conversions...>());
    }

  private:
    template <std::size_t... I>
    std::optional<Values> convert_all(const std::array<PyObject *, kCount + 1> &bound,
                                      std::index_sequence<I...>) const noexcept {
        Values values{};
        bool ok = (convert_one<Conversions>(list_, I, bound[I], std::get<I>(values)) && ...);
        if (!ok) return std::nullopt;
        return values;
    }

    std::array<ParameterSpec, kCount> specs_;
    ParameterList list_;
};

// The receiver check of a method without parameters; the exact type is settled inline.
bool check_receiver_slow(PyObject *self, PyTypeObject *type, const char *class_name) noexcept;
inline bool check_receiver(PyObject *self, PyTypeObject *type, const char *class_name) noexcept {
    if (self && Py_TYPE(self) == type) return true;
    return check_receiver_slow(self, type, class_name);
}

inline bool ParameterList::check_receiver(PyObject *self, PyTypeObject *type) const noexcept {
    return py::check_receiver(self, type, class_name_);
}

} // namespace quorvex::py
