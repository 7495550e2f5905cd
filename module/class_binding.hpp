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

// The same for callers that cannot report an error: a failure is printed and
// becomes the fault "failed to create type object for TarnelCore".
PyTypeObject* tarnel_type();

}  // namespace vostral::py

extern "C" PyMODINIT_FUNC PyInit_vostral();
