// A value or one error (a ParseError unless named otherwise). Errors travel up unchanged:
//   if (!amount) return std::move(amount).error();
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

#include "tallyfold/error.hpp"

namespace tallyfold {

template <typename T, typename Error = ParseError>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  template <typename E>
    requires(std::is_constructible_v<Error, E> && !std::is_same_v<std::decay_t<E>, T> &&
             !std::is_same_v<std::decay_t<E>, Error>)
  Result(E&& error) : v_(std::in_place_index<1>, Error(std::forward<E>(error))) {}  // NOLINT

  explicit operator bool() const noexcept { return v_.index() == 0; }
  bool has_value() const noexcept { return v_.index() == 0; }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

}  // namespace tallyfold
