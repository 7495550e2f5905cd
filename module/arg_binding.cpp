#include "module/arg_binding.hpp"

#include <optional>
#include <utility>
#include <vector>

#include "core/utf8.hpp"

namespace vostral::py {
namespace {

PyErr type_error(std::string message) { return PyErr::new_message(PyExc_TypeError, std::move(message)); }

// The one character of a ready str of length 1, read with the interpreter's
// inline accessors (their C casts are the interpreter's, not ours).
std::optional<char32_t> only_character(PyObject* text) noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
  if (!PyUnicode_IS_READY(text) || PyUnicode_GET_LENGTH(text) != 1) return std::nullopt;
  return static_cast<char32_t>(PyUnicode_READ_CHAR(text, 0));
#pragma GCC diagnostic pop
}

std::string plural(std::size_t count, std::string_view one, std::string_view many) {
  return std::string(count == 1 ? one : many);
}

// Matches keyword arguments against a signature, one pair at a time.
class KeywordMatcher {
 public:
  KeywordMatcher(const CallSignature& signature, std::span<PyObject*> slots)
      : signature_(signature), slots_(slots) {}

  std::optional<PyErr> accept(PyObject* name, PyObject* value) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (utf8 == nullptr) {
      PyErr_Clear();
      return unexpected(name);
    }
    const std::string_view text(utf8, static_cast<std::size_t>(size));
    const std::size_t positional = signature_.positional_names.size();
    for (std::size_t j = 0; j < signature_.keyword_only.size(); ++j) {
      if (signature_.keyword_only[j].name == text) return store(positional + j, text, value);
    }
    for (std::size_t j = 0; j < positional; ++j) {
      if (signature_.positional_names[j] != text) continue;
      if (j < signature_.positional_only_count) {
        positional_only_given_.emplace_back(text);
        return std::nullopt;
      }
      return store(j, text, value);
    }
    return unexpected(name);
  }

  std::optional<PyErr> finish() {
    if (positional_only_given_.empty()) return std::nullopt;
    return type_error(signature_.full_name() +
                      " got some positional-only arguments passed as keyword arguments: " +
                      quoted_name_list(positional_only_given_));
  }

 private:
  std::optional<PyErr> store(std::size_t slot, std::string_view name, PyObject* value) {
    if (slots_[slot] != nullptr) {
      return type_error(signature_.full_name() + " got multiple values for argument '" + std::string(name) + "'");
    }
    slots_[slot] = value;
    return std::nullopt;
  }

  std::optional<PyErr> unexpected(PyObject* name) {
    return type_error(signature_.full_name() + " got an unexpected keyword argument '" + display_object(name) + "'");
  }

  const CallSignature& signature_;
  std::span<PyObject*> slots_;
  std::vector<std::string> positional_only_given_;  // allocates only when a name is added
};

// Steps shared by both conventions before any keyword is looked at.
std::optional<PyErr> bind_positional(const CallSignature& signature, PyObject* const* args, std::size_t given,
                                     std::span<PyObject*> slots) {
  const std::size_t accepted = signature.positional_names.size();
  for (std::size_t i = 0; i < given && i < accepted; ++i) slots[i] = args[i];
  if (given <= accepted) return std::nullopt;
  std::string message = signature.full_name() + " takes ";
  if (signature.required_positional_count == accepted) {
    message += std::to_string(accepted);
  } else {
    message += "from " + std::to_string(signature.required_positional_count) + " to " + std::to_string(accepted);
  }
  message += " positional arguments but " + std::to_string(given) + " " + plural(given, "was", "were") + " given";
  return type_error(std::move(message));
}

std::optional<PyErr> missing(const CallSignature& signature, std::string_view kind, std::vector<std::string> names) {
  return type_error(signature.full_name() + " missing " + std::to_string(names.size()) + " required " +
                    std::string(kind) + " " + plural(names.size(), "argument", "arguments") + ": " +
                    quoted_name_list(names));
}

// Steps shared by both conventions after the keywords.
Status check_required(const CallSignature& signature, std::size_t given, std::span<PyObject* const> slots) {
  const std::size_t required = signature.required_positional_count;
  if (required > given) {
    bool any_empty = false;
    for (std::size_t i = given; i < required; ++i) any_empty = any_empty || slots[i] == nullptr;
    if (any_empty) {
      std::vector<std::string> names;
      for (std::size_t i = 0; i < required; ++i) {
        if (slots[i] == nullptr) names.emplace_back(signature.positional_names[i]);
      }
      return *missing(signature, "positional", std::move(names));
    }
  }
  std::vector<std::string> names;
  const std::size_t positional = signature.positional_names.size();
  for (std::size_t j = 0; j < signature.keyword_only.size(); ++j) {
    if (signature.keyword_only[j].required && slots[positional + j] == nullptr) {
      names.emplace_back(signature.keyword_only[j].name);
    }
  }
  if (!names.empty()) return *missing(signature, "keyword", std::move(names));
  return ok();
}

}  // namespace

std::string CallSignature::full_name() const {
  std::string name;
  if (!class_name.empty()) {
    name += class_name;
    name += '.';
  }
  name += function_name;
  name += "()";
  return name;
}

std::string quoted_name_list(std::span<const std::string> names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) text += ',';
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

Status bind_fastcall_general(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, std::span<PyObject*> slots) {
  const auto given = static_cast<std::size_t>(nargs);
  if (std::optional<PyErr> error = bind_positional(signature, args, given, slots)) return std::move(*error);
  if (kwnames != nullptr) {
    KeywordMatcher matcher(signature, slots);
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (auto error = matcher.accept(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return std::move(*error);
    }
    if (auto error = matcher.finish()) return std::move(*error);
  }
  return check_required(signature, given, slots);
}

Status bind_tuple_dict(const CallSignature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
  const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (std::optional<PyErr> error = bind_positional(signature, PySequence_Fast_ITEMS(args), given, slots)) {
    return std::move(*error);
  }
  if (kwargs != nullptr) {
    KeywordMatcher matcher(signature, slots);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (auto error = matcher.accept(key, value)) return std::move(*error);
    }
    if (auto error = matcher.finish()) return std::move(*error);
  }
  return check_required(signature, given, slots);
}

Result<std::uint64_t> extract_unsigned(PyObject* object) {
  unsigned long long value = 0;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return fetch_required();
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1)) {
    // All bits set is also a real value; only a pending error says otherwise.
    if (std::optional<PyErr> error = fetch()) return std::move(*error);
  }
  return static_cast<std::uint64_t>(value);
}

Result<std::string_view> extract_text(PyObject* object) {
  if (!PyUnicode_Check(object)) return PyErr::conversion(object, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return fetch_required();
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

Result<char32_t> extract_char(PyObject* object) {
  if (!PyUnicode_Check(object)) return PyErr::conversion(object, "PyString");
  // One character that is not a surrogate is the whole answer; reading it
  // directly spares the string a cached UTF-8 copy.
  if (const std::optional<char32_t> ch = only_character(object); ch && core::is_scalar_value(*ch)) return *ch;
  Result<std::string_view> text = extract_text(object);
  if (!text) return std::move(text).error();
  std::size_t at = 0;
  const char32_t first = text->empty() ? core::INVALID_UTF8 : core::decode_utf8(*text, at);
  if (first == core::INVALID_UTF8 || at != text->size()) {
    return PyErr::new_message(PyExc_ValueError, "expected a string of length 1");
  }
  return first;
}

PyErr wrap_argument_error(std::string_view parameter, PyErr error) {
  if (exception_type(error) != PyExc_TypeError) return error;
  std::string message = "argument '";
  message += parameter;
  message += "': ";
  message += display_object(exception_value(error));
  PyErr wrapped = PyErr::new_message(PyExc_TypeError, std::move(message));
  normalize(wrapped);
  set_cause(wrapped, cause(error));
  return wrapped;
}

}  // namespace vostral::py
