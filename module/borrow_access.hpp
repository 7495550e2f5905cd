#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "module/attributes.hpp"
#include "module/class_binding.hpp"
#include "module/py_ref.hpp"
#include "module/result.hpp"

namespace vostral::py {

// Why access was refused: TypeError for an object whose game was never built,
// else RuntimeError "Already borrowed" (exclusive) or "Already mutably borrowed".
VOSTRAL_COLD PyErr access_refused(const TarnelObject* record, bool exclusive);

// TypeError "'{qualname}' object cannot be converted to 'TarnelCore'" unless
// `object` is a TarnelCore.
inline Result<TarnelObject*> as_tarnel(PyObject* object) {
  PyTypeObject* type = tarnel_type.get();
  if (Py_TYPE(object) != type && PyType_IsSubtype(Py_TYPE(object), type) == 0) return receiver_error(object);
  return reinterpret_cast<TarnelObject*>(object);
}

// Access to a TarnelCore's game state for the guard's lifetime: shared (any
// number of readers) or exclusive (one writer). It gives the access back
// however the call ends, so a fault leaves the object usable. It takes no
// reference of its own: a guard lives within one call, whose receiver the
// interpreter holds until the call returns.
//
// Hold it only around calls into the core, never while making Python objects
// that the cycle collector tracks (lists, exceptions): such an allocation can
// run a collection, whose finalizers can hand the interpreter lock to another
// thread, and a call there on the same object would be refused.
template <bool Exclusive>
class BorrowGuard {
 public:
  using State = std::conditional_t<Exclusive, core::TarnelCore, const core::TarnelCore>;

  // Takes the access in one step when the object's counter allows it: test
  // the guard before use. A refused guard holds nothing.
  explicit BorrowGuard(TarnelObject* record) noexcept : record_(allowed(record) ? record : nullptr) {
    if (record_ == nullptr) return;
    record_->access = Exclusive ? ACCESS_EXCLUSIVE : record_->access + 1;
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() {
    if (record_ != nullptr) record_->access = Exclusive ? ACCESS_FREE : record_->access - 1;
  }

  explicit operator bool() const noexcept { return record_ != nullptr; }
  // Why `record` refused this access. REQUIRES: the access was refused.
  static PyErr refusal(const TarnelObject* record) { return access_refused(record, Exclusive); }

  // REQUIRES: the access is held.
  State& state() const noexcept {
    assert(record_ != nullptr);
    return record_->state;
  }

 private:
  static bool allowed(const TarnelObject* record) noexcept {
    // One test each: an unbuilt object refuses both.
    return Exclusive ? record->access == ACCESS_FREE : record->access > ACCESS_UNBUILT;
  }

  TarnelObject* record_;
};

using SharedAccess = BorrowGuard<false>;
using ExclusiveAccess = BorrowGuard<true>;

namespace detail {
template <class Access, class Body>
auto with_access(PyObject* self, Body&& body) -> Result<std::invoke_result_t<Body&, typename Access::State&>> {
  Result<TarnelObject*> record = as_tarnel(self);
  if (!record) return std::move(record).error();
  const Access access(*record);
  if (!access) return Access::refusal(*record);
  return body(access.state());
}
}  // namespace detail

// Checks that `self` is a TarnelCore, takes shared access to its state, and
// returns what `read(const core::TarnelCore&)` returns, or the PyErr of the
// check or the access.
template <class Read>
auto read_state(PyObject* self, Read&& read) {
  return detail::with_access<SharedAccess>(self, std::forward<Read>(read));
}

// The same with exclusive access, for `write(core::TarnelCore&)`.
template <class Write>
auto write_state(PyObject* self, Write&& write) {
  return detail::with_access<ExclusiveAccess>(self, std::forward<Write>(write));
}

}  // namespace vostral::py
