// Every text the binding raises, and the functions that raise them.
//
// The raising functions are out of line and marked cold: they sit off the fast path of
// every call, and each leaves a Python exception set for the caller to report by
// returning null (or -1).
#pragma once

#include <Python.h>

#include <exception>
#include <string_view>

#include "fs/error.hpp"

#define QUORVEX_COLD [[gnu::cold, gnu::noinline]]

namespace quorvex::py {

namespace message {
inline constexpr const char kNoConstructor[] = "No constructor defined";
inline constexpr const char kUnknownTypeName[] = "<failed to extract type name>";
inline constexpr const char kPoisoned[] =
    "the object's lock was poisoned by an internal failure in an earlier call";
inline constexpr const char kReentered[] =
    "the object's lock is already held by a call in progress on this thread";
inline constexpr const char kUnknownCxxException[] = "unknown C++ exception";
inline constexpr const char kInternalFailureName[] = "quorvex.InternalFailure";
inline constexpr const char kInternalFailureDoc[] =
    "An internal invariant of quorvex was found broken.\n\n"
    "Derives from BaseException so that handlers of Exception do not swallow it.";
// Written to file descriptor 1 by PyFileHandle.read; %zu is the count of bytes read.
inline constexpr const char kReadLineFormat[] = "Read %zu bytes from file\n";
inline constexpr const char kCloseOnDestructionFailed[] =
    "closing a file handle on its destruction failed: ";
inline constexpr const char kOldPyPyWarning[] =
    "PyPy 3.7 versions older than 7.3.8 are known to have binary compatibility issues "
    "which may cause segfaults. Please upgrade.";
} // namespace message

// Creates the internal-failure exception type once; false with an exception set on failure.
bool init_internal_failure() noexcept;

// ValueError whose single argument is the error's display text. The exception also carries
// the failure's kind, so that Python code can tell failures apart without reading texts:
// `kind`, the kind's name (e.g. "InodeNotFound"), and `errno`, the POSIX error number that
// stands for it (see errno_of).
QUORVEX_COLD void raise_io_error(const fs::IoError &error) noexcept;
// The POSIX error number that stands for a kind of failure, e.g. ENOENT for InodeNotFound.
int errno_of(fs::IoErrorKind kind) noexcept;
// ValueError carrying a text as it is (the terminal's error texts).
QUORVEX_COLD void raise_value_error(std::string_view text) noexcept;
// The binding's own BaseException-derived internal failure.
QUORVEX_COLD void raise_internal_failure(const char *text) noexcept;
// TypeError "No constructor defined".
QUORVEX_COLD void raise_no_constructor() noexcept;
// TypeError "'{T}' object cannot be converted to '{target}'", T the qualname of obj's type.
QUORVEX_COLD void raise_cannot_convert(PyObject *object, const char *target) noexcept;

// The binding errors of argument lists. `function` is the F of the messages, e.g.
// "PyFs.mkdir()".
QUORVEX_COLD void raise_too_many_positional(const char *function, Py_ssize_t required,
                                            Py_ssize_t total, Py_ssize_t given) noexcept;
QUORVEX_COLD void raise_unexpected_keyword(const char *function, PyObject *keyword) noexcept;
QUORVEX_COLD void raise_multiple_values(const char *function, const char *name) noexcept;
QUORVEX_COLD void raise_missing_arguments(const char *function, const char *const *names,
                                          Py_ssize_t count) noexcept;
// Turns a pending TypeError into "argument '{name}': {message}" with the original as its
// cause; any other pending exception is left as it is.
QUORVEX_COLD void wrap_conversion_error(const char *name) noexcept;

// Reports the C++ exception being handled as a Python exception. Called only from a catch
// handler: InvariantViolation (and anything else unexpected) becomes the internal failure,
// std::bad_alloc MemoryError.
QUORVEX_COLD void raise_from_current_exception() noexcept;

// A thread's first throw makes the C++ runtime allocate that thread's exception state,
// and if that allocation fails the process is ended on the spot. Touching the state once
// on each thread, on its first call, has it made while memory is still to be had, so that
// a std::bad_alloc thrown later, when memory has run out, still reaches the handler of
// guarded() as MemoryError. The flag is per thread, so threads that run calls at once
// (free-threaded build) each set only their own. It is read on every call, so it lives in
// the static TLS block, where the module's thread-local data is already (fs/thread_lane.hpp):
// one load from the thread pointer instead of a call to __tls_get_addr.
QUORVEX_COLD void make_exception_state() noexcept;
[[gnu::tls_model("initial-exec")]] inline constinit thread_local bool exception_state_made = false;

// The single place where C++ exceptions stop: every C-API entry point runs its body
// through this. `body` returns the result in the form the entry point returns it
// (a PyObject* new reference, or an int status); `failed` is what is returned when an
// exception escapes.
template <class R, class Body> R guarded(R failed, Body &&body) noexcept {
    if (!exception_state_made) [[unlikely]]
        make_exception_state();
    try {
        return body();
    } catch (...) {
        raise_from_current_exception();
        return failed;
    }
}

} // namespace quorvex::py
