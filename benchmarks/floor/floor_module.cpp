// The interpreter's floor for each call shape the game module uses: methods
// that do the least a method of that shape can do (take the arguments, make
// the same kind of result), built only for the benchmarks. Their cost is
// what any native call of that shape pays, so a game method's cost divided by
// it says how much the game itself adds.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "plain_game.hpp"

namespace {

struct FloorObject {
  PyObject ob_base;
  std::int32_t* board;
  std::int32_t* goal;
  std::size_t side;
  std::string text;  // 1000 letters, as a fresh game's log
};

std::size_t side_of(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t given = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
  if (given != 1) return 0;
  const unsigned long long value = PyLong_AsUnsignedLongLong(args[0]);
  return value == static_cast<unsigned long long>(-1) ? 0 : static_cast<std::size_t>(value);
}

// Allocates and fills two n x n arrays, as creating a game's boards does.
PyObject* floor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* mode = nullptr;
  static const char* names[] = {"mode", nullptr};
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char**>(names), &mode) == 0) return nullptr;
  const unsigned long long side = PyLong_AsUnsignedLongLong(mode);
  if (side == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return nullptr;
  const std::size_t cells = static_cast<std::size_t>(side * side);
  auto* board = new (std::nothrow) std::int32_t[cells];
  auto* goal = new (std::nothrow) std::int32_t[cells];
  if (board == nullptr || goal == nullptr) {
    delete[] board;
    delete[] goal;
    return PyErr_NoMemory();
  }
  for (std::size_t i = 0; i < cells; ++i) goal[i] = static_cast<std::int32_t>(i + 1);
  goal[cells - 1] = 0;
  std::memcpy(board, goal, cells * sizeof *goal);
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) {
    delete[] board;
    delete[] goal;
    return nullptr;
  }
  auto* record = reinterpret_cast<FloorObject*>(object);
  record->board = board;
  record->goal = goal;
  record->side = static_cast<std::size_t>(side);
  new (&record->text) std::string(1000, 'U');
  return object;
}

void floor_dealloc(PyObject* self) {
  auto* record = reinterpret_cast<FloorObject*>(self);
  delete[] record->board;
  delete[] record->goal;
  record->text.~basic_string();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* floor_no_arguments(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyObject* floor_one_argument(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (side_of(args, nargs, kwnames) == 0 && PyErr_Occurred() != nullptr) PyErr_Clear();
  Py_RETURN_NONE;
}

PyObject* floor_one_letter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t given = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
  if (given != 1) Py_RETURN_NONE;
  // Read the one character and make a one-letter str, as a move does.
  const Py_UCS4 letter = PyUnicode_ReadChar(args[0], 0);
  const char byte = static_cast<char>(letter);
  return PyUnicode_FromStringAndSize(&byte, 1);
}

PyObject* floor_read_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t given = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
  if (given != 1) Py_RETURN_NONE;
  Py_ssize_t size = 0;
  if (PyUnicode_AsUTF8AndSize(args[0], &size) == nullptr) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* floor_lists(PyObject* self, PyObject*) {
  auto* record = reinterpret_cast<FloorObject*>(self);
  const auto side = static_cast<Py_ssize_t>(record->side);
  PyObject* rows = PyList_New(side);
  if (rows == nullptr) return nullptr;
  const std::int32_t* cell = record->board;
  for (Py_ssize_t r = 0; r < side; ++r) {
    PyObject* row = PyList_New(side);
    if (row == nullptr) {
      Py_DECREF(rows);
      return nullptr;
    }
    for (Py_ssize_t c = 0; c < side; ++c, ++cell) {
      PyObject* value = PyLong_FromLong(*cell);
      if (value == nullptr) {
        Py_DECREF(row);
        Py_DECREF(rows);
        return nullptr;
      }
      PyList_SET_ITEM(row, c, value);
    }
    PyList_SET_ITEM(rows, r, row);
  }
  return rows;
}

PyObject* floor_text(PyObject* self, PyObject*) {
  const std::string& text = reinterpret_cast<FloorObject*>(self)->text;
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* floor_short_text(PyObject*, PyObject*) { return PyUnicode_FromStringAndSize("0:0:0", 5); }

PyObject* floor_int(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<FloorObject*>(self)->side);
}

// The floor of creating a game: a Python object holding what the plain loop
// of plain_game.hpp makes, the branch-free form of it.
struct GameObject {
  PyObject ob_base;
  vostral::bench::PlainGame game;
};

PyObject* game_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* mode = nullptr;
  static const char* names[] = {"mode", nullptr};
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char**>(names), &mode) == 0) return nullptr;
  const unsigned long long side = PyLong_AsUnsignedLongLong(mode);
  if (side == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return nullptr;
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  auto* record = reinterpret_cast<GameObject*>(object);
  new (&record->game) vostral::bench::PlainGame();
  try {
    vostral::bench::plain_create<true>(record->game, static_cast<std::size_t>(side));
  } catch (const std::bad_alloc&) {
    Py_DECREF(object);
    return PyErr_NoMemory();
  }
  return object;
}

void game_dealloc(PyObject* self) {
  reinterpret_cast<GameObject*>(self)->game.~PlainGame();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot GAME_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(game_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(game_dealloc)},
    {0, nullptr},
};

PyType_Spec GAME_SPEC = {"vostral_floor.Game", sizeof(GameObject), 0, Py_TPFLAGS_DEFAULT, GAME_SLOTS};

template <class Function>
PyCFunction as_method(Function function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef FLOOR_METHODS[] = {
    {"no_arguments", as_method(floor_no_arguments), METH_NOARGS, nullptr},
    {"one_argument", as_method(floor_one_argument), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"one_letter", as_method(floor_one_letter), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"read_text", as_method(floor_read_text), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"lists", as_method(floor_lists), METH_NOARGS, nullptr},
    {"text", as_method(floor_text), METH_NOARGS, nullptr},
    {"short_text", as_method(floor_short_text), METH_NOARGS, nullptr},
    {"int", as_method(floor_int), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot FLOOR_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(floor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(floor_dealloc)},
    {Py_tp_methods, FLOOR_METHODS},
    {0, nullptr},
};

PyType_Spec FLOOR_SPEC = {"vostral_floor.Floor", sizeof(FloorObject), 0, Py_TPFLAGS_DEFAULT, FLOOR_SLOTS};

PyModuleDef FLOOR_MODULE = {
    PyModuleDef_HEAD_INIT, "vostral_floor", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_vostral_floor() {
  PyObject* module = PyModule_Create(&FLOOR_MODULE);
  if (module == nullptr) return nullptr;
#ifdef Py_GIL_DISABLED
  // The floor of a call on a free-threaded interpreter is measured as the
  // module's calls run there: without the GIL (the benchmarks use it from
  // one thread at a time).
  if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) != 0) {
    Py_DECREF(module);
    return nullptr;
  }
#endif
  for (auto [spec, name] : {std::pair{&FLOOR_SPEC, "Floor"}, std::pair{&GAME_SPEC, "Game"}}) {
    PyObject* type = PyType_FromSpec(spec);
    if (type == nullptr || PyModule_AddObject(module, name, type) != 0) {
      Py_XDECREF(type);
      Py_DECREF(module);
      return nullptr;
    }
  }
  return module;
}
