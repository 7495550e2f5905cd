#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "module/attributes.hpp"

namespace vostral::py {
namespace detail {
// Read at every entry and every reference drop. The library is opened at run
// time, so its thread-locals take the loader's dynamic model: the build
// decides how cheap an access is, and loading never depends on room left in
// the static TLS block.
inline thread_local std::int64_t gil_count_value = 0;

// Set when a release first had to wait; until then entering costs one test.
inline std::atomic<bool> pending_created{false};
// Takes the waiting references out of the list and drops them.
void release_pending_now() noexcept;
}  // namespace detail

// How deep this thread is inside the module: raised by one at each guarded
// entry and lowered at its exit, so nested entries stack. 0 means outside
// (and so perhaps without the interpreter lock).
inline std::int64_t gil_count() noexcept { return detail::gil_count_value; }

// Keeps `object` for release at the next entry into the module.
void defer_release(PyObject* object) noexcept;

VOSTRAL_ALWAYS_INLINE void release_reference(PyObject* object) noexcept {
  if (gil_count() > 0) {
    Py_DECREF(object);
  } else {
    defer_release(object);
  }
}

// Drops every reference whose release had to wait for an entry.
inline void drain_pending_releases() noexcept {
  if (detail::pending_created.load(std::memory_order_acquire)) detail::release_pending_now();
}

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

}  // namespace vostral::py
