#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace vostral::py {
namespace detail {
// Read at every entry and every reference drop. The library is opened at run
// time, so its thread-locals take the loader's dynamic model: the build
// decides how cheap an access is, and loading never depends on room left in
// the static TLS block.
inline thread_local std::int64_t gil_count_value = 0;
}  // namespace detail

// How deep this thread is inside the module: raised by one at each guarded
// entry and lowered at its exit, so nested entries stack. 0 means outside
// (and so perhaps without the interpreter lock).
inline std::int64_t gil_count() noexcept { return detail::gil_count_value; }

// Keeps `object` for release at the next entry into the module.
void defer_release(PyObject* object) noexcept;

inline void release_reference(PyObject* object) noexcept {
  if (gil_count() > 0) {
    Py_DECREF(object);
  } else {
    defer_release(object);
  }
}

}  // namespace vostral::py
