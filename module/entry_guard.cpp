#include "module/entry_guard.hpp"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

namespace vostral::py {
namespace {

// References dropped on a thread outside the module wait here for the next
// entry. Created on first use and kept for the life of the process.
std::mutex pending_mutex;
std::vector<PyObject*>* pending_releases = nullptr;

}  // namespace

void defer_release(PyObject* object) noexcept {
  const std::lock_guard lock(pending_mutex);
  if (pending_releases == nullptr) {
    pending_releases = new (std::nothrow) std::vector<PyObject*>();
    if (pending_releases == nullptr) return;  // no memory: leaking beats dropping without the lock
    detail::pending_created.store(true, std::memory_order_release);
  }
  try {
    pending_releases->push_back(object);
  } catch (const std::bad_alloc&) {
    // As above: the reference leaks rather than being dropped unlocked.
  }
}

void detail::drain_pending_releases() noexcept {
  std::vector<PyObject*> due;
  {
    const std::lock_guard lock(pending_mutex);
    due.swap(*pending_releases);
  }
  // Dropped after the mutex is given back: a release can run arbitrary code.
  for (PyObject* object : due) Py_DECREF(object);
}

void forbidden_entry(std::source_location where) {
  runtime::raise_fault(detail::gil_count_value == -1
                           ? "Access to the GIL is prohibited while a __traverse__ implmentation is running."
                           : "Access to the GIL is currently prohibited.",
                       where);
}

GilEnsure::GilEnsure() noexcept : taken_(gil_count() == 0), state_(PyGILState_UNLOCKED) {
  if (taken_) state_ = PyGILState_Ensure();
}

GilEnsure::~GilEnsure() {
  if (taken_) PyGILState_Release(state_);
}

void abort_at_boundary(std::source_location where) noexcept {
  runtime::abort_with_report("uncaught panic at ffi boundary", where);
}

void raise_memory_error() noexcept { PyErr_NoMemory(); }

}  // namespace vostral::py
