#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <utility>

#include "module/gil_count.hpp"

namespace vostral::py {

// The one owner of a Python reference. Move-only: a copy would hide an incref.
// A new reference becomes a PyRef on the line where it arrives; release()
// appears only where an object is handed to the interpreter.
class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }  // takes over a new reference
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    PyRef t(std::move(o));
    std::swap(p_, t.p_);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  // Drops the reference at once inside the module, else at the next entry.
  VOSTRAL_ALWAYS_INLINE ~PyRef() {
    if (p_ != nullptr) release_reference(p_);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  // A second owner of the same object.
  PyRef clone() const noexcept { return borrow(p_); }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A process-wide cell set once: stores `candidate` unless another caller
// (re-entry while it was made, or another thread without the GIL) stored
// first, and returns what the cell holds, which keeps its reference for good.
// A candidate that lost is dropped. `Cell` is a std::atomic or std::atomic_ref
// of a pointer to T.
template <class T, class Cell>
T* keep_first(Cell&& cell, PyRef candidate) noexcept {
  T* first = nullptr;
  if (cell.compare_exchange_strong(first, reinterpret_cast<T*>(candidate.get()), std::memory_order_acq_rel)) {
    return reinterpret_cast<T*>(candidate.release());
  }
  return first;
}

}  // namespace vostral::py
