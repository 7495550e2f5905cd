#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <optional>
#include <string_view>

#include "module/py_ref.hpp"

// Each of these sits on some call's hot path, hence inline. The interpreter's
// string accessors are macros with C casts: the casts are its, not ours.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#endif

namespace vostral::py {

// The UTF-8 form of a str, as a view into the object's own cached copy: valid
// while the object lives. Nothing, with the interpreter's error pending
// (UnicodeEncodeError for lone surrogates), when it has none.
// REQUIRES: `text` is a str (or subclass).
inline std::optional<std::string_view> utf8_view(PyObject* text) noexcept {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return std::nullopt;
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

// A new str from UTF-8 text; null with the error pending when it cannot be made.
inline PyRef new_text(std::string_view utf8) noexcept {
  return PyRef::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

// A new str from text known to be ASCII, copied in without decoding.
inline PyRef new_ascii_text(std::string_view ascii) noexcept {
  PyRef text = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127));
  if (text) std::copy(ascii.begin(), ascii.end(), static_cast<char*>(PyUnicode_DATA(text.get())));
  return text;
}

// The text of a str that is stored as compact ASCII (as identifiers nearly
// always are), read in place; nothing for any other object. Never fails.
inline std::optional<std::string_view> compact_ascii_view(PyObject* object) noexcept {
  if (!PyUnicode_Check(object) || !PyUnicode_IS_COMPACT_ASCII(object)) return std::nullopt;
  return std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
}

// The one code point of a str of length 1; nothing for any other length.
// Never fails. REQUIRES: `text` is a str (or subclass).
inline std::optional<char32_t> only_code_point(PyObject* text) noexcept {
  if (!PyUnicode_IS_READY(text) || PyUnicode_GET_LENGTH(text) != 1) return std::nullopt;
  return static_cast<char32_t>(PyUnicode_READ_CHAR(text, 0));
}

}  // namespace vostral::py

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
