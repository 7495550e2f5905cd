#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "core/game_state.hpp"
#include "module/result.hpp"

namespace vostral::py {

// The memory of one TarnelCore object: the header, the game state in place
// (owned by the object), then the access counter: 0 free, n > 0 held by n
// shared accesses, -1 held by one exclusive access. No instance dict and no
// weak-reference list.
struct TarnelObject {
  PyObject ob_base;
  core::TarnelCore state;
  std::int64_t borrow_flag;
};

// The TarnelCore type (borrowed; built on first request and kept for the life
// of the process), or RuntimeError "An error occurred while initializing
// class TarnelCore" caused by what stopped the build.
Result<PyTypeObject*> tarnel_type_checked();

namespace detail {
// Set once the type is built and its class attributes installed.
inline PyTypeObject* ready_type = nullptr;
PyTypeObject* tarnel_type_slow();
}  // namespace detail

// The same for callers that cannot report an error: a failure is printed and
// becomes the fault "failed to create type object for TarnelCore".
inline PyTypeObject* tarnel_type() {
  PyTypeObject* type = detail::ready_type;
  return type != nullptr ? type : detail::tarnel_type_slow();
}

// The receiver check's TypeError (out of line: the hot path never makes it).
[[gnu::noinline]] PyErr receiver_error(PyObject* object);

}  // namespace vostral::py

// The entry point the interpreter looks up (PyMODINIT_FUNC makes it extern "C").
PyMODINIT_FUNC PyInit_vostral();
