#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <new>
#include <optional>
#include <source_location>

#include "module/gil_count.hpp"
#include "module/py_err.hpp"
#include "module/py_ref.hpp"
#include "module/result.hpp"
#include "runtime/fault.hpp"

namespace vostral::py {

// The fault for an entry on a thread where entering is forbidden.
[[noreturn]] void forbidden_entry(std::source_location where = std::source_location::current());

// Marks the calling thread as inside the module for its lifetime. Entering
// faults when the count is negative (entry forbidden on this thread); such a
// fault escapes every guard and ends the process.
class GilScope {
 public:
  GilScope() {
    if (detail::gil_count_value < 0) forbidden_entry();
    ++detail::gil_count_value;
    drain_pending_releases();
  }
  ~GilScope() { --detail::gil_count_value; }
  GilScope(const GilScope&) = delete;
  GilScope& operator=(const GilScope&) = delete;
};

// Reports "uncaught panic at ffi boundary" and ends the process.
[[noreturn]] void abort_at_boundary(std::source_location where = std::source_location::current()) noexcept;

// Where a guarded call's outcome goes. A sink has:
//   success(value)   the body's value, handed on
//   failure(error)   a PyErr or a fault (as PanicException), handed on
//   out_of_memory()  MemoryError is already pending; hands it on
// and all three return what the guarded call returns.

// For calls that return an object: a new reference, or null with the
// exception pending.
struct RaiseSink {
  PyObject* success(PyRef value) const noexcept {
    assert(PyErr_Occurred() == nullptr);
    return value.release();
  }
  PyObject* failure(PyErr error) const {
    restore(std::move(error));
    assert(PyErr_Occurred() != nullptr);
    return nullptr;
  }
  PyObject* out_of_memory() const noexcept { return nullptr; }
};

// For calls that cannot raise (object release): an error or a fault is
// written as unraisable, with no context object.
struct UnraisableSink {
  void success(Unit) const noexcept {}
  void failure(PyErr error) const { write_unraisable(std::move(error), nullptr); }
  void out_of_memory() const noexcept { PyErr_WriteUnraisable(nullptr); }
};

// Runs `body`, which returns a Result, for one call from the interpreter, and
// gives its outcome to `sink`: a PyErr, a fault (as PanicException) and an
// exhausted heap (as MemoryError) all arrive there as errors. Forming and
// handing on an error allocates too, so the heap can run out there as well:
// that also becomes MemoryError. Nothing passes out of it: a fault while
// entering or while handing on an error ends the process.
template <class Sink, class Body>
auto guarded_call(const Sink& sink, Body&& body) noexcept {
  try {
    GilScope inside;
    try {
      std::optional<PyErr> error;
      try {
        auto outcome = body();
        if (outcome.has_value()) return sink.success(std::move(outcome).value());
        error.emplace(std::move(outcome).error());
      } catch (const runtime::Fault& fault) {
        error.emplace(PyErr::panic(fault.message()));
      }
      return sink.failure(std::move(*error));
    } catch (const std::bad_alloc&) {
      // The interpreter's MemoryError needs no memory of its own; it replaces
      // whatever a failed hand-on left pending.
      PyErr_NoMemory();
      return sink.out_of_memory();
    }
  } catch (...) {
    abort_at_boundary();
  }
}

// The entry guard of every call that returns an object (`body` returns
// Result<PyRef>).
template <class Body>
PyObject* entry_guard(Body&& body) noexcept {
  return guarded_call(RaiseSink{}, std::forward<Body>(body));
}

// The entry guard of calls that cannot raise (`body` returns Status).
template <class Body>
void entry_guard_unraisable(Body&& body) noexcept {
  guarded_call(UnraisableSink{}, std::forward<Body>(body));
}

}  // namespace vostral::py
