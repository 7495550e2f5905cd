#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cassert>
#include <cstdint>
#include <new>
#include <optional>
#include <source_location>
#include <string>

#include "module/gil_count.hpp"
#include "module/py_err.hpp"
#include "module/py_ref.hpp"
#include "module/result.hpp"
#include "runtime/fault.hpp"

namespace vostral::py {

namespace detail {
// Set when a release first had to wait; until then entering costs one test.
inline std::atomic<bool> pending_created{false};
void drain_pending_releases() noexcept;
}  // namespace detail

// Drops every reference whose release had to wait for an entry.
inline void drain_pending_releases() noexcept {
  if (detail::pending_created.load(std::memory_order_acquire)) detail::drain_pending_releases();
}

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

// Takes the interpreter lock for its lifetime when this thread is outside the
// module (and so may not hold it); inside, it does nothing.
class GilEnsure {
 public:
  GilEnsure() noexcept;
  ~GilEnsure();
  GilEnsure(const GilEnsure&) = delete;
  GilEnsure& operator=(const GilEnsure&) = delete;

 private:
  bool taken_;
  PyGILState_STATE state_;
};


// Reports "uncaught panic at ffi boundary" and ends the process.
[[noreturn]] void abort_at_boundary(std::source_location where = std::source_location::current()) noexcept;

// Sets MemoryError as the pending exception; used when the core runs out of memory.
void raise_memory_error() noexcept;

// Runs `body`, which returns Result<PyRef>, for one call from the interpreter:
// the result becomes a new reference for the interpreter; a PyErr, a fault
// (as PanicException) or an exhausted heap (as MemoryError) becomes the
// pending exception and null. Nothing passes out of it: a fault while
// entering or while raising ends the process.
template <class Body>
PyObject* entry_guard(Body&& body) noexcept {
  try {
    GilScope inside;
    std::optional<PyErr> error;
    try {
      Result<PyRef> outcome = body();
      if (outcome.has_value()) {
        assert(PyErr_Occurred() == nullptr);
        return std::move(outcome).value().release();
      }
      error.emplace(std::move(outcome).error());
    } catch (const runtime::Fault& fault) {
      error.emplace(PyErr::panic(fault.message()));
    } catch (const std::bad_alloc&) {
      raise_memory_error();
      return nullptr;
    }
    restore(std::move(*error));
    assert(PyErr_Occurred() != nullptr);
    return nullptr;
  } catch (...) {
    abort_at_boundary();
  }
}

// The form for calls that cannot raise (object release): an error or a fault
// is written as unraisable, with no context object.
template <class Body>
void entry_guard_unraisable(Body&& body) noexcept {
  try {
    GilScope inside;
    std::optional<PyErr> error;
    try {
      Status outcome = body();
      if (outcome.has_value()) return;
      error.emplace(std::move(outcome).error());
    } catch (const runtime::Fault& fault) {
      error.emplace(PyErr::panic(fault.message()));
    } catch (const std::bad_alloc&) {
      raise_memory_error();
      PyErr_WriteUnraisable(nullptr);
      return;
    }
    write_unraisable(std::move(*error), nullptr);
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace vostral::py
