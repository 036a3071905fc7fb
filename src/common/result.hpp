#pragma once
// Result<T>: a value or a VorskError. Errors travel upward unchanged; a layer adds
// context only by building a new error around the lower text.

#include <type_traits>
#include <utility>
#include <variant>

#include "common/error.hpp"

namespace vorsk {

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(VorskError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const VorskError& error() const& { return std::get<1>(state_); }
  VorskError&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, VorskError> state_;
};

// Result<void>: success or an error.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(VorskError error) : error_(std::move(error)), failed_(true) {}  // NOLINT
  static Status success() { return Status(); }

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const VorskError& error() const& { return error_; }
  VorskError&& error() && { return std::move(error_); }

 private:
  VorskError error_ = VorskError::internal("");
  bool failed_ = false;
};

}  // namespace vorsk

#define VORSK_CONCAT_INNER(a, b) a##b
#define VORSK_CONCAT(a, b) VORSK_CONCAT_INNER(a, b)

// Evaluates a Result or Status expression and returns its error from the enclosing
// function if it failed.
#define VORSK_RETURN_IF_ERROR(expr)                          \
  do {                                                       \
    auto&& vorsk_status_ = (expr);                           \
    if (!vorsk_status_.ok()) return std::move(vorsk_status_).error(); \
  } while (0)

// VORSK_ASSIGN_OR_RETURN(auto x, expr): binds the value of a successful Result.
#define VORSK_ASSIGN_OR_RETURN(lhs, expr) \
  VORSK_ASSIGN_OR_RETURN_IMPL(VORSK_CONCAT(vorsk_result_, __LINE__), lhs, expr)
#define VORSK_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                                \
  if (!tmp.ok()) return std::move(tmp).error();     \
  lhs = std::move(tmp).value()
