#include "module/arg_binding.hpp"

#include <atomic>
#include <optional>
#include <utility>
#include <vector>

#include "core/utf8.hpp"
#include "module/attributes.hpp"
#include "module/py_ref.hpp"

namespace vostral::py {
namespace {

PyErr type_error(std::string message) { return PyErr::new_message(PyExc_TypeError, std::move(message)); }

std::string plural(std::size_t count, std::string_view one, std::string_view many) {
  return std::string(count == 1 ? one : many);
}

// A keyword's name as UTF-8 text; nothing when it is not a str or cannot be
// encoded (the interpreter's error is discarded: the caller reports the
// keyword as unexpected).
std::optional<std::string_view> keyword_text(PyObject* name) noexcept {
  if (!PyUnicode_Check(name)) return std::nullopt;
  if (const std::optional<std::string_view> ascii = quick_name_view(name)) return ascii;
  const std::optional<std::string_view> utf8 = utf8_view(name);
  if (!utf8) PyErr_Clear();
  return utf8;
}

constexpr std::ptrdiff_t UNEXPECTED = -1;
constexpr std::ptrdiff_t POSITIONAL_ONLY = -2;

// The slot a keyword binds to, UNEXPECTED, or POSITIONAL_ONLY.
std::ptrdiff_t keyword_slot(const CallSignature& signature, std::string_view text) noexcept {
  const std::size_t positional = signature.positional_names.size();
  for (std::size_t j = 0; j < signature.keyword_only.size(); ++j) {
    if (signature.keyword_only[j].name == text) return static_cast<std::ptrdiff_t>(positional + j);
  }
  for (std::size_t j = 0; j < positional; ++j) {
    if (signature.positional_names[j] != text) continue;
    return j < signature.positional_only_count ? POSITIONAL_ONLY : static_cast<std::ptrdiff_t>(j);
  }
  return UNEXPECTED;
}

// ---- Messages: built only when binding fails ------------------------------------

VOSTRAL_COLD PyErr too_many_error(const CallSignature& signature, std::size_t given) {
  const std::size_t accepted = signature.positional_names.size();
  std::string message = signature.full_name() + " takes ";
  if (signature.required_positional_count == accepted) {
    message += std::to_string(accepted);
  } else {
    message += "from " + std::to_string(signature.required_positional_count) + " to " + std::to_string(accepted);
  }
  message += " positional arguments but " + std::to_string(given) + " " + plural(given, "was", "were") + " given";
  return type_error(std::move(message));
}

VOSTRAL_COLD PyErr multiple_values_error(const CallSignature& signature, std::string_view name) {
  return type_error(signature.full_name() + " got multiple values for argument '" + std::string(name) + "'");
}

VOSTRAL_COLD PyErr unexpected_error(const CallSignature& signature, PyObject* name) {
  return type_error(signature.full_name() + " got an unexpected keyword argument '" + display_object(name) + "'");
}

VOSTRAL_COLD PyErr positional_only_error(const CallSignature& signature, std::vector<std::string> names) {
  return type_error(signature.full_name() +
                    " got some positional-only arguments passed as keyword arguments: " + quoted_name_list(names));
}

VOSTRAL_COLD PyErr missing_error(const CallSignature& signature, std::string_view kind,
                                 const std::vector<std::string>& names) {
  return type_error(signature.full_name() + " missing " + std::to_string(names.size()) + " required " +
                    std::string(kind) + " " + plural(names.size(), "argument", "arguments") + ": " +
                    quoted_name_list(names));
}

VOSTRAL_COLD PyErr missing_required_error(const CallSignature& signature, std::size_t given,
                                          std::span<PyObject* const> slots) {
  std::vector<std::string> names;
  const std::size_t required = signature.required_positional_count;
  bool positional_missing = false;
  for (std::size_t i = given; i < required; ++i) positional_missing = positional_missing || slots[i] == nullptr;
  if (positional_missing) {
    for (std::size_t i = 0; i < required; ++i) {
      if (slots[i] == nullptr) names.emplace_back(signature.positional_names[i]);
    }
    return missing_error(signature, "positional", names);
  }
  const std::size_t positional = signature.positional_names.size();
  for (std::size_t j = 0; j < signature.keyword_only.size(); ++j) {
    if (signature.keyword_only[j].required && slots[positional + j] == nullptr) {
      names.emplace_back(signature.keyword_only[j].name);
    }
  }
  return missing_error(signature, "keyword", names);
}

// ---- The binder, shared by both conventions ---------------------------------------

// `positional(i)` is the i-th of the `given` positional arguments;
// `for_each_keyword(visit)` calls visit(name, value) for each keyword in call
// order until visit returns false.
template <class Positional, class ForEachKeyword>
Status bind(const CallSignature& signature, Positional&& positional, std::size_t given,
            ForEachKeyword&& for_each_keyword, std::span<PyObject*> slots) {
  const std::size_t accepted = signature.positional_names.size();
  for (std::size_t i = 0; i < given && i < accepted; ++i) slots[i] = positional(i);
  // The count is checked before any keyword is looked at.
  if (given > accepted) return too_many_error(signature, given);

  std::optional<PyErr> failure;
  bool positional_only_given = false;
  for_each_keyword([&](PyObject* name, PyObject* value) {
    const std::optional<std::string_view> text = keyword_text(name);
    const std::ptrdiff_t slot = text ? keyword_slot(signature, *text) : UNEXPECTED;
    if (slot == UNEXPECTED) {
      failure.emplace(unexpected_error(signature, name));
      return false;
    }
    if (slot == POSITIONAL_ONLY) {
      positional_only_given = true;
      return true;
    }
    PyObject*& held = slots[static_cast<std::size_t>(slot)];
    if (held != nullptr) {
      failure.emplace(multiple_values_error(signature, *text));
      return false;
    }
    held = value;
    return true;
  });
  if (failure) return std::move(*failure);

  if (positional_only_given) {
    // Only now are the names wanted, in the order they were met.
    std::vector<std::string> names;
    for_each_keyword([&](PyObject* name, PyObject*) {
      if (const auto text = keyword_text(name); text && keyword_slot(signature, *text) == POSITIONAL_ONLY) {
        names.emplace_back(*text);
      }
      return true;
    });
    return positional_only_error(signature, std::move(names));
  }

  for (std::size_t i = given; i < signature.required_positional_count; ++i) {
    if (slots[i] == nullptr) return missing_required_error(signature, given, slots);
  }
  for (std::size_t j = 0; j < signature.keyword_only.size(); ++j) {
    if (signature.keyword_only[j].required && slots[accepted + j] == nullptr) {
      return missing_required_error(signature, given, slots);
    }
  }
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

void intern_parameter_names(const CallSignature& signature) noexcept {
  if (signature.interned_names == nullptr) return;
  const auto intern = [&](std::size_t slot, std::string_view name) {
    // Set once, before the class exists, so the binder reads it plainly;
    // without the GIL two imports may still intern it at the same time.
    const std::atomic_ref<PyObject*> cell(signature.interned_names[slot]);
    if (cell.load(std::memory_order_acquire) != nullptr) return;
    // Kept for the life of the process, like the signature itself.
    PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (text == nullptr) {
      PyErr_Clear();
      return;
    }
    PyUnicode_InternInPlace(&text);
    keep_first<PyObject>(cell, PyRef::steal(text));
  };
  const std::size_t positional = signature.positional_names.size();
  for (std::size_t j = 0; j < positional; ++j) intern(j, signature.positional_names[j]);
  for (std::size_t j = 0; j < signature.keyword_only.size(); ++j)
    intern(positional + j, signature.keyword_only[j].name);
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

Status bind_fastcall_general(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             std::span<PyObject*> slots) {
  const auto for_each_keyword = [&](auto&& visit) {
    if (kwnames == nullptr) return;
    const Py_ssize_t count = tuple_size(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!visit(tuple_item(kwnames, i), args[nargs + i])) return;
    }
  };
  const auto positional = [&](std::size_t i) { return args[i]; };
  return bind(signature, positional, static_cast<std::size_t>(nargs), for_each_keyword, slots);
}

Status bind_tuple_dict(const CallSignature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
  const auto for_each_keyword = [&](auto&& visit) {
    if (kwargs == nullptr) return;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!visit(key, value)) return;
    }
  };
  const auto positional = [&](std::size_t i) { return tuple_item(args, static_cast<Py_ssize_t>(i)); };
  return bind(signature, positional, static_cast<std::size_t>(tuple_size(args)), for_each_keyword, slots);
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
  const std::optional<std::string_view> utf8 = utf8_view(object);
  if (!utf8) return fetch_required();
  return *utf8;
}

Result<char32_t> extract_char(PyObject* object) {
  if (!PyUnicode_Check(object)) return PyErr::conversion(object, "PyString");
  // One character that is not a surrogate is the whole answer; reading it
  // directly spares the string a cached UTF-8 copy.
  if (const std::optional<char32_t> ch = only_code_point(object); ch && core::is_scalar_value(*ch)) return *ch;
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
