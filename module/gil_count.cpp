#include "module/gil_count.hpp"

#include <mutex>
#include <new>
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
  } catch (const std::bad_alloc&) {  // NOLINT(bugprone-empty-catch): on purpose, as the line below says
    // As above: the reference leaks rather than being dropped unlocked.
  }
}

void detail::release_pending_now() noexcept {
  std::vector<PyObject*> due;
  {
    const std::lock_guard lock(pending_mutex);
    due.swap(*pending_releases);
  }
  // Dropped after the mutex is given back: a release can run arbitrary code.
  for (PyObject* object : due) Py_DECREF(object);
}

GilEnsure::GilEnsure() noexcept : taken_(gil_count() == 0), state_(PyGILState_UNLOCKED) {
  if (taken_) state_ = PyGILState_Ensure();
}

GilEnsure::~GilEnsure() {
  if (taken_) PyGILState_Release(state_);
}

}  // namespace vostral::py
