// Result<T, E>: a value or an error, the way the core hands back operations that can fail.
//
// A small stand-in for C++23's std::expected (names follow it, so it can be swapped later):
//   Result<Invocation, RunError> r = codex_args(...);
//   if (!r) return std::move(r).error();
//   Invocation inv = std::move(r).value();
// A Result is built from a T (success) or from fail(error) (failure); the tag keeps the two
// apart even when T and E are the same type. Reading the side that is not held is a broken
// invariant and panics. Result<void, E> holds no value: `{}` is success.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <variant>

#include "vantrel/support/check.h"

namespace vantrel {

// The failure side of a Result, as std::unexpected.
template <typename E>
struct Failure {
  E error;
};

template <typename E>
Failure<std::decay_t<E>> fail(E&& error) {
  return {std::forward<E>(error)};
}

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  template <typename F>
  Result(Failure<F> failure)  // NOLINT: implicit, as from std::unexpected
      : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return get<0>(state_); }
  const T& value() const& { return get<0>(state_); }
  T&& value() && { return std::move(get<0>(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return get<1>(state_); }
  const E& error() const& { return get<1>(state_); }
  E&& error() && { return std::move(get<1>(state_)); }

 private:
  template <std::size_t side, typename State>
  static auto& get(State& state) {
    check(state.index() == side, side == 0 ? "result holds an error" : "result holds a value");
    return std::get<side>(state);
  }

  std::variant<T, E> state_;
};

template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <typename F>
  Result(Failure<F> failure) : error_(std::move(failure.error)) {}  // NOLINT: implicit

  bool has_value() const { return !error_; }
  explicit operator bool() const { return has_value(); }

  E& error() & { return get(error_); }
  const E& error() const& { return get(error_); }
  E&& error() && { return std::move(get(error_)); }

 private:
  template <typename Error>
  static auto& get(Error& error) {
    check(error.has_value(), "result holds a value");
    return *error;
  }

  std::optional<E> error_;
};

}  // namespace vantrel
