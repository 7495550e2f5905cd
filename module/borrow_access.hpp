#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>

#include "module/class_binding.hpp"
#include "module/py_ref.hpp"
#include "module/result.hpp"

namespace vostral::py {

// TypeError "'{qualname}' object cannot be converted to 'TarnelCore'" unless
// `object` is a TarnelCore.
inline Result<TarnelObject*> as_tarnel(PyObject* object) {
  PyTypeObject* type = tarnel_type();
  if (Py_TYPE(object) != type && PyType_IsSubtype(Py_TYPE(object), type) == 0) return receiver_error(object);
  return reinterpret_cast<TarnelObject*>(object);
}

// Read access to a TarnelCore's game state for the guard's lifetime. Holds a
// reference to the object, and gives the access back however the call ends,
// so a fault leaves the object usable.
//
// Hold it only around calls into the core, never while making Python objects
// that the cycle collector tracks (lists, exceptions): such an allocation can
// run a collection, whose finalizers can hand the interpreter lock to another
// thread, and a call there on the same object would be refused.
class SharedAccess {
 public:
  // RuntimeError "Already mutably borrowed" when the access cannot be taken.
  static std::optional<PyErr> refused(const TarnelObject* record) {
    if (record->borrow_flag == -1) return PyErr::new_message(PyExc_RuntimeError, "Already mutably borrowed");
    return std::nullopt;
  }
  // REQUIRES: !refused(record).
  explicit SharedAccess(TarnelObject* record) noexcept
      : record_(record), owner_(PyRef::borrow(reinterpret_cast<PyObject*>(record))) {
    ++record_->borrow_flag;
  }

  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;
  ~SharedAccess() { --record_->borrow_flag; }

  const core::TarnelCore& state() const noexcept { return record_->state; }

 private:
  TarnelObject* record_;
  PyRef owner_;  // dropped after the destructor body has lowered the counter
};

// Write access: the same, exclusive.
class ExclusiveAccess {
 public:
  // RuntimeError "Already borrowed" when the access cannot be taken.
  static std::optional<PyErr> refused(const TarnelObject* record) {
    if (record->borrow_flag != 0) return PyErr::new_message(PyExc_RuntimeError, "Already borrowed");
    return std::nullopt;
  }
  // REQUIRES: !refused(record).
  explicit ExclusiveAccess(TarnelObject* record) noexcept
      : record_(record), owner_(PyRef::borrow(reinterpret_cast<PyObject*>(record))) {
    record_->borrow_flag = -1;
  }

  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
  ~ExclusiveAccess() { record_->borrow_flag = 0; }

  core::TarnelCore& state() const noexcept { return record_->state; }

 private:
  TarnelObject* record_;
  PyRef owner_;
};

}  // namespace vostral::py
