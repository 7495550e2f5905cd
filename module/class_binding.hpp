#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "core/game_state.hpp"
#include "module/attributes.hpp"
#include "module/result.hpp"

namespace vostral::py {

// Values of TarnelObject::access. The counter is offset by one so that
// memory the interpreter zeroed reads as UNBUILT: an object can reach Python
// without passing through TarnelCore.__new__ (object.__new__, once a caller
// replaced the class's __new__), and its state was then never constructed.
inline constexpr std::int64_t ACCESS_UNBUILT = 0;
inline constexpr std::int64_t ACCESS_FREE = 1;  // n shared accesses: FREE + n
inline constexpr std::int64_t ACCESS_EXCLUSIVE = -1;

// The memory of one TarnelCore object: the header, the game state in place
// (owned by the object, and constructed only when `access` is not UNBUILT),
// then the access counter (read and written only through borrow_access.hpp,
// atomically on free-threaded builds), and on those builds the lock that
// calls on the object take turns by (zeroed memory is an unlocked mutex). No
// instance dict and no weak-reference list.
//
// The stable ABI of both builds (Py_TARGET_ABI3T) hides the header, whose
// size differs between them: there the record is only what the class adds,
// which the interpreter places after the header (tarnel_record finds it), and
// the turn is the interpreter's own lock on the object (borrow_access.hpp).
struct TarnelObject {
#ifndef Py_TARGET_ABI3T
  PyObject ob_base;
#endif
  core::TarnelCore state;
  std::int64_t access;
#if defined(Py_GIL_DISABLED) && !defined(Py_TARGET_ABI3T)
  PyMutex turn;
#endif
};

// The record of `object`. REQUIRES: `object` is an instance of `type`, which
// is TarnelCore (a class without subclasses, so its data is where the
// object's own type says).
inline TarnelObject* tarnel_record(PyObject* object, [[maybe_unused]] PyTypeObject* type) noexcept {
#ifdef Py_TARGET_ABI3T
  return static_cast<TarnelObject*>(PyObject_GetTypeData(object, type));
#else
  return reinterpret_cast<TarnelObject*>(object);
#endif
}

// The TarnelCore type object: built on first request, then kept for the life
// of the process (it outlives every instance and every import).
class TarnelTypeCache {
 public:
  // The type (borrowed), or RuntimeError "An error occurred while
  // initializing class TarnelCore" caused by what stopped the build; nothing
  // is cached then, so the next request tries again.
  Result<PyTypeObject*> get_checked();

  // The same for callers that cannot report an error: a failure is printed
  // and becomes the fault "failed to create type object for TarnelCore".
  PyTypeObject* get() {
    PyTypeObject* type = type_.load(std::memory_order_acquire);
    return type != nullptr ? type : get_or_fault();
  }

 private:
  PyTypeObject* get_or_fault();

  // Set once built, by the first of any threads that build it at once (the
  // others drop theirs). The class has no attributes of its own to install,
  // so a built type is a finished one.
  std::atomic<PyTypeObject*> type_{nullptr};
};

inline TarnelTypeCache tarnel_type;

// The receiver check's TypeError (out of line: the hot path never makes it).
VOSTRAL_COLD PyErr receiver_error(PyObject* object);

}  // namespace vostral::py

// The entry point the interpreter looks up (both macros make it extern "C"):
// for the stable ABI of both builds, the export hook, which describes the
// module by slots; elsewhere the initialisation function.
#ifdef Py_TARGET_ABI3T
PyMODEXPORT_FUNC PyModExport_vostral();
#else
PyMODINIT_FUNC PyInit_vostral();
#endif
