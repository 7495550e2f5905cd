#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>

#include "module/py_ref.hpp"

// Small steps over the interpreter's API that the module takes on its hot
// paths, hence inline. Where the interpreter offers a fast form tied to one
// version's object layout (its inline macros), the version-specific build
// uses it; the stable-ABI build (Py_LIMITED_API), one binary for every
// CPython from 3.10 on, uses the exported function that every such version
// has. The macros' C casts are the interpreter's, not ours.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#endif

namespace vostral::py {

// ---- Text ---------------------------------------------------------------------

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

// A new str from text known to be ASCII, copied in without decoding where
// the layout is known.
inline PyRef new_ascii_text(std::string_view ascii) noexcept {
#ifdef Py_LIMITED_API
  // ASCII is Latin-1 too, and that decoder copies bytes without validating.
  return PyRef::steal(PyUnicode_DecodeLatin1(ascii.data(), static_cast<Py_ssize_t>(ascii.size()), nullptr));
#else
  PyRef text = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127));
  if (text) std::copy(ascii.begin(), ascii.end(), static_cast<char*>(PyUnicode_DATA(text.get())));
  return text;
#endif
}

// The text of a keyword's name, for the binder's quick match: read in place
// when the str is stored as compact ASCII (as identifiers nearly always
// are). Nothing for anything else; the binder's general path then decides.
// Never fails and leaves no error pending.
inline std::optional<std::string_view> quick_name_view(PyObject* object) noexcept {
  if (!PyUnicode_Check(object)) return std::nullopt;
#ifdef Py_LIMITED_API
  // Cached by the interpreter, so a name is encoded once in its life.
  std::optional<std::string_view> name = utf8_view(object);
  if (!name) PyErr_Clear();
  return name;
#else
  if (!PyUnicode_IS_COMPACT_ASCII(object)) return std::nullopt;
  return std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
#endif
}

// The one code point of a str of length 1; nothing for any other length.
// Never fails. REQUIRES: `text` is a str (or subclass).
inline std::optional<char32_t> only_code_point(PyObject* text) noexcept {
#ifdef Py_LIMITED_API
  if (PyUnicode_GetLength(text) != 1) return std::nullopt;
  return static_cast<char32_t>(PyUnicode_ReadChar(text, 0));
#else
  if (!PyUnicode_IS_READY(text) || PyUnicode_GET_LENGTH(text) != 1) return std::nullopt;
  return static_cast<char32_t>(PyUnicode_READ_CHAR(text, 0));
#endif
}

// ---- Tuples, lists, types -------------------------------------------------------

// REQUIRES: `tuple` is a tuple.
inline Py_ssize_t tuple_size(PyObject* tuple) noexcept {
#ifdef Py_LIMITED_API
  return PyTuple_Size(tuple);
#else
  return PyTuple_GET_SIZE(tuple);
#endif
}

// Borrowed. REQUIRES: `tuple` is a tuple and `index` lies within it.
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t index) noexcept {
#ifdef Py_LIMITED_API
  return PyTuple_GetItem(tuple, index);
#else
  return PyTuple_GET_ITEM(tuple, index);
#endif
}

// Fills slot `index` of a new list with `item`, whose reference it takes.
// REQUIRES: the slot is empty and within the list.
inline void list_fill(PyObject* list, Py_ssize_t index, PyRef item) noexcept {
#ifdef Py_LIMITED_API
  PyList_SetItem(list, index, item.release());
#else
  PyList_SET_ITEM(list, index, item.release());
#endif
}

// The type's allocation and release functions (null where the slot is empty).
inline allocfunc type_alloc(PyTypeObject* type) noexcept {
#ifdef Py_LIMITED_API
  return reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
#else
  return type->tp_alloc;
#endif
}

inline freefunc type_free(PyTypeObject* type) noexcept {
#ifdef Py_LIMITED_API
  return reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
#else
  return type->tp_free;
#endif
}

}  // namespace vostral::py

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
