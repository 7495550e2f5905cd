#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "module/py_err.hpp"
#include "module/py_api.hpp"
#include "module/result.hpp"

namespace vostral::py {

struct KeywordOnlyParameter {
  std::string_view name;
  bool required;
};

// The fixed description of one callable's parameters, which drives binding
// and words its errors.
struct CallSignature {
  std::string_view function_name;
  std::string_view class_name;  // empty for a free function
  std::span<const std::string_view> positional_names;
  std::size_t positional_only_count;
  std::size_t required_positional_count;
  std::span<const KeywordOnlyParameter> keyword_only;
  // Interned str objects of the names, one per slot, filled by
  // intern_parameter_names(); a keyword that is one of them matches without
  // a look at its text. Null where not (yet) interned.
  PyObject** interned_names = nullptr;

  constexpr std::size_t slot_count() const noexcept { return positional_names.size() + keyword_only.size(); }
  // "TarnelCore.move_tile()" or "function()".
  std::string full_name() const;
};

// The vector calling convention: `args` holds `nargs` positional arguments
// and then one value per name in `kwnames` (a tuple of str, or null).
// Fills `slots` (one per positional, then one per keyword-only parameter)
// with borrowed references; takes no reference, copies nothing, allocates
// nothing on success. REQUIRES: slots.size() == signature.slot_count(), all null.
Status bind_fastcall_general(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             std::span<PyObject*> slots);

inline Status bind_fastcall(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            std::span<PyObject*> slots) {
  // The common calls bind here without the general binder: every positional
  // parameter given, the first ones by position and the rest by keyword in
  // declaration order. Anything else, errors included, takes the general way.
  const std::size_t positional = signature.positional_names.size();
  const auto given = static_cast<std::size_t>(nargs);
  const std::size_t keywords = kwnames != nullptr ? static_cast<std::size_t>(tuple_size(kwnames)) : 0;
  if (given + keywords == positional && signature.keyword_only.empty() &&
      (keywords == 0 || given >= signature.positional_only_count)) {
    bool in_order = true;
    for (std::size_t i = 0; i < keywords && in_order; ++i) {
      PyObject* const keyword = tuple_item(kwnames, static_cast<Py_ssize_t>(i));
      if (signature.interned_names != nullptr && keyword == signature.interned_names[given + i]) continue;
      const std::optional<std::string_view> name = quick_name_view(keyword);
      in_order = name && *name == signature.positional_names[given + i];
    }
    if (in_order) {
      for (std::size_t i = 0; i < positional; ++i) slots[i] = args[i];
      return ok();
    }
  }
  return bind_fastcall_general(signature, args, nargs, kwnames, slots);
}

// Interns the signature's parameter names for the binder's identity test:
// keyword names at call sites are interned, so the common keyword call is a
// pointer comparison. A name that cannot be interned is simply left out.
void intern_parameter_names(const CallSignature& signature) noexcept;

// The tuple-and-dict calling convention: `args` a tuple, `kwargs` a dict or null.
Status bind_tuple_dict(const CallSignature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);

// An int (or subclass) directly, anything else through __index__, as an
// unsigned 64-bit value. Negative or too large: the interpreter's OverflowError.
Result<std::uint64_t> extract_unsigned(PyObject* object);

// A str (or subclass) as its UTF-8 text; a view into the string's own UTF-8
// form, valid while the object lives. Lone surrogates: UnicodeEncodeError.
Result<std::string_view> extract_text(PyObject* object);

// A str (or subclass) of exactly one character, as that scalar value;
// ValueError "expected a string of length 1" for any other length.
Result<char32_t> extract_char(PyObject* object);

// A converter's TypeError (exactly TypeError) becomes a TypeError prefixed
// "argument '{parameter}': " with the same cause; any other error passes.
PyErr wrap_argument_error(std::string_view parameter, PyErr error);

// The argument bound to positional parameter `slot`, converted by `extract`,
// with a converter's error worded as wrap_argument_error words it.
template <class T>
Result<T> convert_argument(const CallSignature& signature, std::size_t slot, PyObject* argument,
                           Result<T> (*extract)(PyObject*)) {
  Result<T> converted = extract(argument);
  if (!converted) return wrap_argument_error(signature.positional_names[slot], std::move(converted).error());
  return converted;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_name_list(std::span<const std::string> names);

}  // namespace vostral::py
