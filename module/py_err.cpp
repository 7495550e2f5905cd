#include "module/py_err.hpp"

#include <atomic>
#include <cstdio>

#include "module/gil_count.hpp"
#include "module/py_api.hpp"
#include "runtime/fault.hpp"

namespace vostral::py {
namespace {

using runtime::raise_fault;

constexpr const char* PANIC_TYPE_NAME = "vostral_runtime.PanicException";
constexpr const char* PANIC_TYPE_DOC =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Filled once, by the first of any threads that create the class at once;
// the class lives as long as the process, so the reference is never dropped.
std::atomic<PyObject*> panic_type_cell{nullptr};

class MessageProducer final : public LazyProducer {
 public:
  MessageProducer(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}
  std::optional<ExceptionParts> produce() override {
    PyRef message = new_text(message_);
    if (!message) return std::nullopt;
    return ExceptionParts{PyRef::borrow(type_), std::move(message)};
  }

 private:
  PyObject* type_;
  std::string message_;
};

// The type's name is read only when the message is needed, and a type whose
// __qualname__ cannot be read still gets a message.
class ConversionProducer final : public LazyProducer {
 public:
  ConversionProducer(PyRef object_type, std::string_view target)
      : object_type_(std::move(object_type)), target_(target) {}
  std::optional<ExceptionParts> produce() override {
    std::string message = "'";
    message += qualified_name();
    message += "' object cannot be converted to '";
    message += target_;
    message += '\'';
    PyRef text = new_text(message);
    if (!text) return std::nullopt;
    return ExceptionParts{PyRef::borrow(PyExc_TypeError), std::move(text)};
  }

 private:
  std::string qualified_name() {
    PyRef name = PyRef::steal(PyObject_GetAttrString(object_type_.get(), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
      if (const std::optional<std::string_view> utf8 = utf8_view(name.get())) return std::string(*utf8);
    }
    PyErr_Clear();
    return "<failed to extract type name>";
  }

  PyRef object_type_;
  std::string_view target_;
};

class PanicProducer final : public LazyProducer {
 public:
  explicit PanicProducer(std::string message) : message_(std::move(message)) {}
  std::optional<ExceptionParts> produce() override {
    // The class is made on first use, and that can fail too (out of memory):
    // the reason is then raised instead, as for the objects below.
    PyObject* type = panic_exception_type();
    if (type == nullptr) return std::nullopt;
    PyRef message = new_text(message_);
    if (!message) return std::nullopt;
    PyRef arguments = PyRef::steal(PyTuple_Pack(1, message.get()));
    if (!arguments) return std::nullopt;
    return ExceptionParts{PyRef::borrow(type), std::move(arguments)};
  }

 private:
  std::string message_;
};

// Sets the indicator from a lazy error.
void raise_lazy(PyErr::Lazy lazy) {
  std::optional<ExceptionParts> parts = lazy.producer->produce();
  lazy.producer.reset();
  if (!parts) {
    // The producer could not make its objects; what stopped it is pending.
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return;
  }
  if (PyExceptionClass_Check(parts->type.get())) {
    PyErr_SetObject(parts->type.get(), parts->argument.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

PyErr::Fetched fetch_triple() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  return PyErr::Fetched{PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

std::string utf8_text(PyObject* text) {
  if (const std::optional<std::string_view> utf8 = utf8_view(text)) return std::string(*utf8);
  // Lone surrogates: keep what can be kept, one U+FFFD per ill-formed byte run.
  PyErr_Clear();
  PyRef bytes = require_object(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  PyRef lossy =
      require_object(PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace"));
  const std::optional<std::string_view> utf8 = utf8_view(lossy.get());
  if (!utf8) require_object(nullptr);
  // NOLINTNEXTLINE(bugprone-unchecked-optional-access): require_object(nullptr) always raises a fault.
  return std::string(*utf8);
}

// str() of a fetched PanicException's value, or the fixed text when it has none.
std::string panic_message(PyObject* value) {
  if (value != nullptr) {
    if (PyRef text = PyRef::steal(PyObject_Str(value))) return utf8_text(text.get());
    PyErr_Clear();
  }
  return "Unwrapped panic from Python code";
}

[[noreturn]] void resume_panic(PyErr::Fetched fetched) {
  std::string message = panic_message(fetched.value.get());
  std::fputs(
      "--- vostral: a PanicException raised in Python code reached native code; resuming the panic ---\n"
      "Python stack trace below:\n",
      stderr);
  std::fflush(stderr);
  PyErr_Restore(fetched.type.release(), fetched.value.release(), fetched.traceback.release());
  PyErr_PrintEx(0);
  runtime::resume_fault(std::move(message));
}

std::string repr_text(PyObject* object) {
  if (object == nullptr) return "None";
  if (PyRef text = PyRef::steal(PyObject_Repr(object))) return utf8_text(text.get());
  PyErr_Clear();
  return "<repr failed>";
}

// A new reference to the exception object, its traceback attached.
PyRef into_value(PyErr& error) {
  normalize(error);
  auto& normalized = std::get<PyErr::Normalized>(error.state());
  if (normalized.traceback) PyException_SetTraceback(normalized.value.get(), normalized.traceback.get());
  return normalized.value.clone();
}

}  // namespace

PyErr PyErr::new_message(PyObject* type, std::string message) {
  return PyErr(Lazy{std::make_unique<MessageProducer>(type, std::move(message))});
}

PyErr PyErr::conversion(PyObject* object, std::string_view target) {
  return PyErr(
      Lazy{std::make_unique<ConversionProducer>(PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))), target)});
}

PyErr PyErr::panic(std::string message) { return PyErr(Lazy{std::make_unique<PanicProducer>(std::move(message))}); }

PyObject* panic_exception_type() {
  if (PyObject* cell = panic_type_cell.load(std::memory_order_acquire); cell != nullptr) return cell;
  PyObject* created = PyErr_NewExceptionWithDoc(PANIC_TYPE_NAME, PANIC_TYPE_DOC, PyExc_BaseException, nullptr);
  if (created == nullptr) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  // Creating the class can run code that asked for it too.
  return keep_first<PyObject>(panic_type_cell, PyRef::steal(created));
}

std::optional<PyErr> fetch() {
  PyErr::Fetched fetched = fetch_triple();
  if (!fetched.type) return std::nullopt;
  // A PanicException can only exist once its class does: when the class
  // cannot be made now (out of memory), the fetched error is not one, and it
  // is worth more to the caller than the reason the class is missing.
  PyObject* panic_type = panic_exception_type();
  if (panic_type == nullptr) PyErr_Clear();
  if (panic_type != nullptr && fetched.type.get() == panic_type) resume_panic(std::move(fetched));
  return PyErr(std::move(fetched));
}

PyErr fetch_required() {
  if (std::optional<PyErr> error = fetch()) return std::move(*error);
  return PyErr::new_message(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void normalize(PyErr& error) {
  PyErr::State& state = error.state();
  if (std::holds_alternative<PyErr::Normalized>(state)) return;
  if (std::holds_alternative<PyErr::Taken>(state)) {
    raise_fault("Cannot normalize a PyErr while already normalizing it.");
  }
  PyErr::State old = std::exchange(state, PyErr::Taken{});
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  if (auto* lazy = std::get_if<PyErr::Lazy>(&old)) {
    raise_lazy(std::move(*lazy));
    PyErr_Fetch(&type, &value, &traceback);
  } else {
    auto& fetched = std::get<PyErr::Fetched>(old);
    type = fetched.type.release();
    value = fetched.value.release();
    traceback = fetched.traceback.release();
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_value = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  if (!owned_type) raise_fault("Exception type missing");
  if (!owned_value) raise_fault("Exception value missing");
  state = PyErr::Normalized{std::move(owned_type), std::move(owned_value), std::move(owned_traceback)};
}

PyObject* exception_value(PyErr& error) {
  normalize(error);
  return std::get<PyErr::Normalized>(error.state()).value.get();
}

PyObject* exception_type(PyErr& error) {
  normalize(error);
  return std::get<PyErr::Normalized>(error.state()).type.get();
}

void restore(PyErr&& error) {
  PyErr::State state = std::exchange(error.state(), PyErr::Taken{});
  if (auto* lazy = std::get_if<PyErr::Lazy>(&state)) {
    raise_lazy(std::move(*lazy));
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyErr_Restore(type, value, traceback);
  } else if (auto* fetched = std::get_if<PyErr::Fetched>(&state)) {
    PyErr_Restore(fetched->type.release(), fetched->value.release(), fetched->traceback.release());
  } else if (auto* normalized = std::get_if<PyErr::Normalized>(&state)) {
    PyErr_Restore(normalized->type.release(), normalized->value.release(), normalized->traceback.release());
  } else {
    raise_fault("PyErr state should never be invalid outside of normalization");
  }
}

void print(PyErr& error) {
  normalize(error);
  const auto& normalized = std::get<PyErr::Normalized>(error.state());
  PyErr_Restore(normalized.type.clone().release(), normalized.value.clone().release(),
                normalized.traceback.clone().release());
  PyErr_PrintEx(0);
}

void write_unraisable(PyErr&& error, PyObject* context) {
  restore(std::move(error));
  PyErr_WriteUnraisable(context);
}

std::optional<PyErr> cause(PyErr& error) {
  PyRef found = PyRef::steal(PyException_GetCause(exception_value(error)));
  if (!found) return std::nullopt;
  PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(found.get())));
  PyRef traceback = PyRef::steal(PyException_GetTraceback(found.get()));
  return PyErr(PyErr::Normalized{std::move(type), std::move(found), std::move(traceback)});
}

void set_cause(PyErr& error, std::optional<PyErr> new_cause) {
  PyObject* value = exception_value(error);
  PyRef cause_value = new_cause ? into_value(*new_cause) : PyRef();
  PyException_SetCause(value, cause_value.release());
}

std::string diagnostic_text(PyErr& error) {
  // Only fault messages use this text, and a fault can start where this
  // thread holds no interpreter lock.
  const GilEnsure lock;
  normalize(error);
  const auto& normalized = std::get<PyErr::Normalized>(error.state());
  return "PyErr { type: " + repr_text(normalized.type.get()) + ", value: " + repr_text(normalized.value.get()) +
         ", traceback: " + repr_text(normalized.traceback.get()) + " }";
}

std::string display_object(PyObject* object) {
  if (PyRef text = PyRef::steal(PyObject_Str(object))) return utf8_text(text.get());
  write_unraisable(fetch_required(), object);
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  if (name && PyUnicode_Check(name.get())) {
    if (const std::optional<std::string_view> utf8 = utf8_view(name.get())) {
      return "<unprintable " + std::string(*utf8) + " object>";
    }
  }
  PyErr_Clear();
  return "<unprintable object>";
}

PyRef require_object(PyObject* result, std::source_location where) {
  if (result == nullptr) {
    PyErr_Print();
    raise_fault("Python API call failed", where);
  }
  return PyRef::steal(result);
}

}  // namespace vostral::py
