#pragma once

#include <utility>
#include <variant>

#include "module/py_err.hpp"

namespace vostral::py {

struct Unit {};

// A value or the PyErr that explains why there is none. Operations below the
// entry guard return it instead of setting the interpreter's error indicator.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : outcome_(std::in_place_index<0>, std::move(value)) {}
  Result(PyErr error) : outcome_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const noexcept { return outcome_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  // REQUIRES: has_value() for value(), !has_value() for error().
  T& value() & noexcept { return *std::get_if<0>(&outcome_); }
  T&& value() && noexcept { return std::move(*std::get_if<0>(&outcome_)); }
  T& operator*() & noexcept { return value(); }
  T* operator->() noexcept { return &value(); }
  PyErr&& error() && noexcept { return std::move(*std::get_if<1>(&outcome_)); }

 private:
  std::variant<T, PyErr> outcome_;
};

using Status = Result<Unit>;
inline Status ok() { return Unit{}; }

}  // namespace vostral::py
