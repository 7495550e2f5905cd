#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "module/py_ref.hpp"

namespace vostral::py {

// What a lazy error makes when it is raised or inspected: the exception type
// and its one argument (a message string or an argument tuple).
struct ExceptionParts {
  PyRef type;
  PyRef argument;
};

// Runs only when the error is raised or inspected. Returns nothing when it
// could not make its objects; the interpreter's error indicator then holds
// the reason (normally MemoryError), which is raised instead.
class LazyProducer {
 public:
  virtual ~LazyProducer() = default;
  virtual std::optional<ExceptionParts> produce() = 0;
};

// The error value of the module layer: returned, never thrown, and handed to
// the interpreter only by the entry guard. Owns a reference to every object
// it holds. Move-only.
class PyErr {
 public:
  struct Lazy {
    std::unique_ptr<LazyProducer> producer;
  };
  struct Fetched {
    PyRef type;  // never null
    PyRef value;
    PyRef traceback;
  };
  struct Normalized {
    PyRef type;
    PyRef value;  // an instance of type
    PyRef traceback;
  };
  struct Taken {};  // only while normalize() runs

  explicit PyErr(Lazy lazy) : state_(std::make_unique<State>(std::move(lazy))) {}
  explicit PyErr(Fetched fetched) : state_(std::make_unique<State>(std::move(fetched))) {}
  explicit PyErr(Normalized normalized) : state_(std::make_unique<State>(std::move(normalized))) {}

  // `type` with the message `message`, made when first needed. `type` is a
  // borrowed exception class that lives for the process (PyExc_*).
  static PyErr new_message(PyObject* type, std::string message);
  // TypeError "'{qualname of object's type}' object cannot be converted to '{target}'".
  static PyErr conversion(PyObject* object, std::string_view target);
  // PanicException(message); the class is created when first needed.
  static PyErr panic(std::string message);

  using State = std::variant<Lazy, Fetched, Normalized, Taken>;
  // REQUIRES: not moved from.
  State& state() noexcept { return *state_; }
  const State& state() const noexcept { return *state_; }

 private:
  // On the heap: errors are rare, and a one-word error keeps every Result
  // small and its moves trivial on the success path.
  std::unique_ptr<State> state_;
};

// The interpreter's pending error, taken out of the indicator, or nothing.
// A pending PanicException is not returned: it is printed with a banner and
// its traceback and carried on as a fault with the same message.
std::optional<PyErr> fetch();
// fetch(), or SystemError "attempted to fetch exception but none was set".
// For use after every interpreter call whose result signals failure.
PyErr fetch_required();

// Brings the error to Normalized. Faults on a Taken error.
void normalize(PyErr& error);
// The exception object (borrowed from `error`), normalizing first.
PyObject* exception_value(PyErr& error);
// Type of the exception (borrowed from `error`), normalizing first.
PyObject* exception_type(PyErr& error);

// Hands the error to the interpreter as its pending exception.
void restore(PyErr&& error);
// Prints the error as the interpreter prints an uncaught one; `error` stays intact.
void print(PyErr& error);
// Restores the error and reports it as unraisable with `context` (may be null).
void write_unraisable(PyErr&& error, PyObject* context);

// The exception's __cause__ as an error, or nothing.
std::optional<PyErr> cause(PyErr& error);
// Sets (or, with nothing, clears) the exception's __cause__; the interpreter
// also sets __suppress_context__.
void set_cause(PyErr& error, std::optional<PyErr> new_cause);

// "PyErr { type: <repr>, value: <repr>, traceback: <repr or None> }", for fault messages.
std::string diagnostic_text(PyErr& error);

// The text that stands for `object` in a message: its str() as UTF-8 (lossy
// where it holds lone surrogates); if str() fails, the failure is reported as
// unraisable and "<unprintable {type name} object>" stands in.
std::string display_object(PyObject* object);

// For interpreter calls that must produce an object: on null the pending
// error is printed and the fault "Python API call failed" raised.
PyRef require_object(PyObject* result, std::source_location where = std::source_location::current());
inline PyRef require_object(PyRef result, std::source_location where = std::source_location::current()) {
  return require_object(result.release(), where);
}

// The PanicException class (borrowed; created on first use, never freed), or
// null with the reason (normally MemoryError) pending when it cannot be made.
PyObject* panic_exception_type();

}  // namespace vostral::py
