// A value or an error, in the manner of std::expected (which C++20 lacks).
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "fs/error.hpp"

namespace quorvex::fs {

// Wraps an error so that a Result whose value and error types coincide can still tell
// which one it was given.
template <class E> struct Failure {
    E error;
};
template <class E> Failure(E) -> Failure<E>;

template <class T, class E = IoError> class [[nodiscard]] Result {
  public:
    template <class U = T>
        requires std::is_constructible_v<T, U &&> &&
                 (!std::is_same_v<std::remove_cvref_t<U>, Result>)
    Result(U &&value) : state_(std::in_place_index<0>, std::forward<U>(value)) {} // NOLINT

    template <class G>
        requires std::is_constructible_v<E, G &&>
    Result(Failure<G> failure) // NOLINT: implicit like std::unexpected
        : state_(std::in_place_index<1>, std::move(failure.error)) {}

    // A bare IoError converts too, so the core can write `return IoErrorKind::NotAFile;`.
    Result(IoErrorKind kind) // NOLINT
        requires std::is_same_v<E, IoError> && (!std::is_constructible_v<T, IoErrorKind>)
        : state_(std::in_place_index<1>, kind) {}
    Result(IoError error) // NOLINT
        requires std::is_same_v<E, IoError> && (!std::is_constructible_v<T, IoError>)
        : state_(std::in_place_index<1>, error) {}

    [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T &value() & { return std::get<0>(state_); }
    const T &value() const & { return std::get<0>(state_); }
    T &&value() && { return std::get<0>(std::move(state_)); }
    T &operator*() & { return value(); }
    T &&operator*() && { return std::move(*this).value(); }
    T *operator->() { return &value(); }
    const T *operator->() const { return &value(); }

    const E &error() const & { return std::get<1>(state_); }
    E &&error() && { return std::get<1>(std::move(state_)); }

  private:
    std::variant<T, E> state_;
};

// Success carries no value.
template <class E> class [[nodiscard]] Result<void, E> {
  public:
    Result() = default;
    template <class G>
        requires std::is_constructible_v<E, G &&>
    Result(Failure<G> failure) : error_(std::move(failure.error)) {} // NOLINT
    Result(IoErrorKind kind)                                         // NOLINT
        requires std::is_same_v<E, IoError>
        : error_(kind) {}
    Result(IoError error) // NOLINT
        requires std::is_same_v<E, IoError>
        : error_(error) {}

    [[nodiscard]] bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    // Only for a failed result, as for the value form; callers test ok() first.
    // NOLINTBEGIN(bugprone-unchecked-optional-access)
    const E &error() const & { return *error_; }
    E &&error() && { return *std::move(error_); }
    // NOLINTEND(bugprone-unchecked-optional-access)

  private:
    std::optional<E> error_;
};

using Status = Result<void>;

} // namespace quorvex::fs

// Propagates the error of an expression yielding a Result<...> with error type IoError.
#define QUORVEX_TRY(expr)                                                                          \
    do {                                                                                           \
        if (auto quorvex_try_result_ = (expr); !quorvex_try_result_)                               \
            return quorvex_try_result_.error();                                                    \
    } while (false)
