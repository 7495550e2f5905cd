#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
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
  return tarnel_record(object, type);
}

namespace detail {
// The counter's reads and writes. With the GIL, entries into one object never
// overlap but by re-entry on one thread, and plain reads and writes suffice.
// Without it (free-threaded builds) each call holds the object's turn
// (ObjectTurn below) while it takes, uses and gives back access, so only the
// thread holding the turn changes the counter, and the turn's lock orders
// those changes and the state they guard. The counter is still atomic, so
// that no read of it, by any path, is a data race; plain loads and stores
// then do, and no locked instruction is added to a call.
#ifdef Py_GIL_DISABLED
inline std::atomic_ref<std::int64_t> counter(const TarnelObject* record) noexcept {
  // atomic_ref takes no const object; a load writes nothing.
  return std::atomic_ref<std::int64_t>(const_cast<std::int64_t&>(record->access));
}
inline std::int64_t load_access(const TarnelObject* record) noexcept {
  return counter(record).load(std::memory_order_relaxed);
}
inline void store_access(TarnelObject* record, std::int64_t value) noexcept {
  counter(record).store(value, std::memory_order_relaxed);
}
#else
inline std::int64_t load_access(const TarnelObject* record) noexcept { return record->access; }
inline void store_access(TarnelObject* record, std::int64_t value) noexcept { record->access = value; }
#endif
inline bool take_exclusive(TarnelObject* record) noexcept {
  if (load_access(record) != ACCESS_FREE) return false;
  store_access(record, ACCESS_EXCLUSIVE);
  return true;
}
inline bool take_shared(TarnelObject* record) noexcept {
  const std::int64_t seen = load_access(record);
  if (seen <= ACCESS_UNBUILT) return false;  // one test: an unbuilt object refuses both
  store_access(record, seen + 1);
  return true;
}
inline void give_back_exclusive(TarnelObject* record) noexcept { store_access(record, ACCESS_FREE); }
inline void give_back_shared(TarnelObject* record) noexcept { store_access(record, load_access(record) - 1); }
}  // namespace detail

// One call's turn at an object: on free-threaded builds the object's own
// mutex, so that calls on one object from several threads wait for each other
// as they do under the GIL, while calls on different objects run side by
// side. With the GIL it is nothing at all.
//
// A plain mutex is safe here because a turn is held only around calls into
// the core (and the making of a str, which is not tracked by the collector):
// the holder runs no Python code, never waits, and never enters the module
// again, so it cannot be the one a waiter waits for, nor wait for itself. A
// waiter parks detached from the interpreter, so it holds up neither the
// collector nor another thread's critical sections. The interpreter's
// critical section would give the same exclusion, at the price of two calls
// into the interpreter on every call, which measurably slow a move.
//
// The stable ABI of both builds has no such mutex of its own (it is not part
// of that ABI), so there the turn is the interpreter's critical section on
// the receiver: the same exclusion and the same detached wait, and on an
// interpreter with the GIL two calls that do nothing.
class ObjectTurn {
 public:
#if defined(Py_TARGET_ABI3T)
  ObjectTurn(PyObject* self, TarnelObject*) noexcept { PyCriticalSection_Begin(&section_, self); }
  ~ObjectTurn() { PyCriticalSection_End(&section_); }
#elif defined(Py_GIL_DISABLED)
  ObjectTurn(PyObject*, TarnelObject* record) noexcept : record_(record) { PyMutex_Lock(&record_->turn); }
  ~ObjectTurn() { PyMutex_Unlock(&record_->turn); }
#else
  ObjectTurn(PyObject*, TarnelObject*) noexcept {}
#endif
  ObjectTurn(const ObjectTurn&) = delete;
  ObjectTurn& operator=(const ObjectTurn&) = delete;

#if defined(Py_TARGET_ABI3T)
 private:
  PyCriticalSection section_;
#elif defined(Py_GIL_DISABLED)
 private:
  TarnelObject* record_;
#endif
};

// Access to a TarnelCore's game state for the guard's lifetime: shared (any
// number of readers) or exclusive (one writer). It gives the access back
// however the call ends, so a fault leaves the object usable. It takes no
// reference of its own: a guard lives within one call, whose receiver the
// interpreter holds until the call returns.
//
// Hold it only around calls into the core, never while making Python objects
// that the cycle collector tracks (lists, exceptions): such an allocation can
// run a collection, whose finalizers can hand the interpreter lock to another
// thread, and a call there on the same object would be refused. Nor while
// anything runs Python code (printing an error does): on free-threaded builds
// the object's turn is held too.
template <bool Exclusive>
class BorrowGuard {
 public:
  using State = std::conditional_t<Exclusive, core::TarnelCore, const core::TarnelCore>;

  // Takes the access in one step when the object's counter allows it: test
  // the guard before use. A refused guard holds nothing.
  explicit BorrowGuard(TarnelObject* record) noexcept
      : record_((Exclusive ? detail::take_exclusive(record) : detail::take_shared(record)) ? record : nullptr) {}
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() {
    if (record_ == nullptr) return;
    if constexpr (Exclusive) {
      detail::give_back_exclusive(record_);
    } else {
      detail::give_back_shared(record_);
    }
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
  TarnelObject* record_;
};

using SharedAccess = BorrowGuard<false>;
using ExclusiveAccess = BorrowGuard<true>;

namespace detail {
template <class Access, class Body>
auto with_access(PyObject* self, Body&& body) -> Result<std::invoke_result_t<Body&, typename Access::State&>> {
  Result<TarnelObject*> record = as_tarnel(self);
  if (!record) return std::move(record).error();
  const ObjectTurn turn(self, *record);
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
