#include "module/class_binding.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "module/arg_binding.hpp"
#include "module/borrow_access.hpp"
#include "module/entry_guard.hpp"
#include "module/py_err.hpp"
#include "module/py_ref.hpp"
#include "module/py_api.hpp"
#include "runtime/fault.hpp"

namespace vostral::py {
namespace {

using core::Cell;
using runtime::raise_fault;

// ---- Signatures -------------------------------------------------------------

constexpr std::string_view MODE_NAMES[] = {"mode"};
constexpr std::string_view SEQUENCE_NAMES[] = {"sequence"};
constexpr std::string_view DIRECTION_NAMES[] = {"direction"};

// Filled once by intern_parameter_names(); never freed.
PyObject* MODE_INTERNED[1] = {};
PyObject* SEQUENCE_INTERNED[1] = {};
PyObject* DIRECTION_INTERNED[1] = {};

// Each callable takes one required parameter, by position or by keyword.
constexpr CallSignature one_parameter(std::string_view function_name, std::span<const std::string_view> names,
                                      PyObject** interned) {
  return {
      .function_name = function_name,
      .class_name = "TarnelCore",
      .positional_names = names,
      .positional_only_count = 0,
      .required_positional_count = 1,
      .keyword_only = {},
      .interned_names = interned,
  };
}

constexpr CallSignature NEW_SIGNATURE = one_parameter("__new__", MODE_NAMES, MODE_INTERNED);
constexpr CallSignature MOVE_SEQUENCE_SIGNATURE = one_parameter("move_sequence", SEQUENCE_NAMES, SEQUENCE_INTERNED);
constexpr CallSignature MOVE_TILE_SIGNATURE = one_parameter("move_tile", DIRECTION_NAMES, DIRECTION_INTERNED);
// The binder reads one interned name per slot.
static_assert(std::size(MODE_INTERNED) == NEW_SIGNATURE.slot_count());
static_assert(std::size(SEQUENCE_INTERNED) == MOVE_SEQUENCE_SIGNATURE.slot_count());
static_assert(std::size(DIRECTION_INTERNED) == MOVE_TILE_SIGNATURE.slot_count());

// ---- Result conversion ------------------------------------------------------

PyRef text_result(std::string_view text) { return require_object(new_text(text)); }

// A copy of the board, taken under access and converted after it is given
// back; small boards stay off the heap.
class BoardCopy {
 public:
  explicit BoardCopy(const core::TarnelCore& state) : side_(static_cast<std::size_t>(state.get_mode())) {
    const std::span<const Cell> board = state.board();
    if (board.size() > inline_.size()) heap_ = std::make_unique_for_overwrite<Cell[]>(board.size());
    std::copy(board.begin(), board.end(), cells());
  }

  // A fresh list of fresh row lists, each slot filled once, in order.
  PyRef to_lists() const {
    PyRef rows = require_object(PyList_New(static_cast<Py_ssize_t>(side_)));
    const Cell* cell = cells();
    for (std::size_t r = 0; r < side_; ++r) {
      PyRef row = require_object(PyList_New(static_cast<Py_ssize_t>(side_)));
      for (std::size_t c = 0; c < side_; ++c, ++cell) {
        list_fill(row.get(), static_cast<Py_ssize_t>(c), require_object(PyLong_FromLong(*cell)));
      }
      list_fill(rows.get(), static_cast<Py_ssize_t>(r), std::move(row));
    }
    return rows;
  }

 private:
  // Found afresh on each use: the copy moves (into its Result), and a
  // pointer into its own inline buffer would not follow it.
  Cell* cells() noexcept { return heap_ ? heap_.get() : inline_.data(); }
  const Cell* cells() const noexcept { return heap_ ? heap_.get() : inline_.data(); }

  std::size_t side_;
  std::array<Cell, 64> inline_;
  std::unique_ptr<Cell[]> heap_;
};

// ---- Construction and release -------------------------------------------------

PyObject* tarnel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return entry_guard([&]() -> Result<PyRef> {
    PyObject* slots[1] = {};
    if (Status bound = bind_tuple_dict(NEW_SIGNATURE, args, kwargs, slots); !bound) return std::move(bound).error();
    Result<std::uint64_t> mode = convert_argument(NEW_SIGNATURE, 0, slots[0], extract_unsigned);
    if (!mode) return std::move(mode).error();

    // The game is complete, scrambled and timed before any object exists, so
    // no object is ever seen half-built.
    core::TarnelCore state = core::TarnelCore::create(*mode);

    const allocfunc alloc = type_alloc(type) != nullptr ? type_alloc(type) : PyType_GenericAlloc;
    PyRef object = PyRef::steal(alloc(type, 0));
    if (!object) return fetch_required();
    TarnelObject* record = tarnel_record(object.get(), type);
    std::construct_at(&record->state, std::move(state));
    record->access = ACCESS_FREE;
    return object;
  });
}

void tarnel_dealloc(PyObject* self) noexcept {
  entry_guard_unraisable([&]() -> Status {
    PyTypeObject* type = Py_TYPE(self);
    TarnelObject* record = tarnel_record(self, type);
    if (detail::load_access(record) != ACCESS_UNBUILT) std::destroy_at(&record->state);
    const freefunc free = type_free(type);
    if (free == nullptr) raise_fault("PyBaseObject_Type should have tp_free");
    free(self);
    // Heap-type instances own a reference to their type; the memory goes first.
    Py_DECREF(type);
    return ok();
  });
}

// ---- Methods ----------------------------------------------------------------------

// The bridges bind and convert the argument first, take access only around
// the core call (read_state, write_state), and make the Python result after
// giving it back.

PyObject* tarnel_move_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return entry_guard([&]() -> Result<PyRef> {
    PyObject* slots[1] = {};
    if (Status bound = bind_fastcall(MOVE_SEQUENCE_SIGNATURE, args, nargs, kwnames, slots); !bound) {
      return std::move(bound).error();
    }
    Result<std::string_view> sequence = convert_argument(MOVE_SEQUENCE_SIGNATURE, 0, slots[0], extract_text);
    if (!sequence) return std::move(sequence).error();
    Result<bool> solved = write_state(self, [&](core::TarnelCore& state) { return state.move_sequence(*sequence); });
    if (!solved) return std::move(solved).error();
    return PyRef::borrow(*solved ? Py_True : Py_False);
  });
}

PyObject* tarnel_move_tile(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return entry_guard([&]() -> Result<PyRef> {
    PyObject* slots[1] = {};
    if (Status bound = bind_fastcall(MOVE_TILE_SIGNATURE, args, nargs, kwnames, slots); !bound) {
      return std::move(bound).error();
    }
    Result<char32_t> direction = convert_argument(MOVE_TILE_SIGNATURE, 0, slots[0], extract_char);
    if (!direction) return std::move(direction).error();
    Result<std::optional<char32_t>> moved =
        write_state(self, [&](core::TarnelCore& state) { return state.move_tile(*direction); });
    if (!moved) return std::move(moved).error();
    if (!*moved) return PyRef::borrow(Py_None);
#if !defined(Py_LIMITED_API) || defined(Py_TARGET_ABI3T)
    // A move hands back its letter, which an exact str argument already is
    // (the caller holds it for the call); a subclass gets a plain str. Not in
    // the stable-ABI build for 3.10: its reference counting, built for
    // interpreters without immortal objects, would raise the count of an
    // immortal letter that the interpreter then never lowers. (The one for
    // both builds counts by calls into the running interpreter.)
    if (PyUnicode_CheckExact(slots[0])) return PyRef::borrow(slots[0]);
#endif
    // Only the four letters ever move a tile.
    const char letter = static_cast<char>(**moved);
    return text_result(std::string_view(&letter, 1));
  });
}

PyObject* tarnel_get_tarnel(PyObject* self, PyObject*) noexcept {
  return entry_guard([&]() -> Result<PyRef> {
    Result<BoardCopy> board = read_state(self, [](const core::TarnelCore& state) { return BoardCopy(state); });
    if (!board) return std::move(board).error();
    return board->to_lists();
  });
}

PyObject* tarnel_duration(PyObject* self, PyObject*) noexcept {
  return entry_guard([&]() -> Result<PyRef> {
    Result<core::ElapsedText> text = read_state(self, [](const core::TarnelCore& state) { return state.duration(); });
    if (!text) return std::move(text).error();
    return require_object(new_ascii_text(text->view()));
  });
}

PyObject* tarnel_get_cmds_str(PyObject* self, PyObject*) noexcept {
  return entry_guard([&]() -> Result<PyRef> {
    // A str is not tracked by the cycle collector, so it can be made from the
    // log in place, under access, without a copy. A failure is reported after
    // access is given back: reporting it prints, which can run Python code.
    Result<PyRef> text = read_state(self, [](const core::TarnelCore& state) { return new_text(state.cmds()); });
    if (!text) return std::move(text).error();
    return require_object(text->release());
  });
}

PyObject* tarnel_get_mode(PyObject* self, PyObject*) noexcept {
  return entry_guard([&]() -> Result<PyRef> {
    Result<std::uint64_t> mode = read_state(self, [](const core::TarnelCore& state) { return state.get_mode(); });
    if (!mode) return std::move(mode).error();
    return require_object(PyLong_FromUnsignedLongLong(*mode));
  });
}

// ---- The type ---------------------------------------------------------------------

// The table is data fixed at link time, with no initializer to run: if a
// load of this library fails late and the loader cannot undo it, a later
// load can skip the library's initializers, and the methods must still be
// there. The no-argument methods have the table's own type; the fast-call
// ones go through the generic pointer type (the interpreter casts them back
// by their flags), written as casts in place, which the compiler folds into
// the data where a helper function's result would be computed at load time.

// Read by the interpreter for as long as the type lives: never freed.
PyMethodDef TARNEL_METHODS[] = {
    {"move_sequence", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tarnel_move_sequence)),
     METH_FASTCALL | METH_KEYWORDS, "move_sequence($self, sequence)\n--\n\n"},
    {"get_tarnel", tarnel_get_tarnel, METH_NOARGS, "get_tarnel($self)\n--\n\n"},
    {"move_tile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tarnel_move_tile)),
     METH_FASTCALL | METH_KEYWORDS, "move_tile($self, direction)\n--\n\n"},
    {"duration", tarnel_duration, METH_NOARGS, "duration($self)\n--\n\n"},
    {"get_cmds_str", tarnel_get_cmds_str, METH_NOARGS, "get_cmds_str($self)\n--\n\n"},
    {"get_mode", tarnel_get_mode, METH_NOARGS, "get_mode($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr std::string_view CLASS_NAME = "TarnelCore";
constexpr std::string_view CLASS_MODULE = "builtins";

// Class name + text signature + "\n--\n\n" + (empty) description. Built once,
// kept for the life of the process.
const std::string& class_doc() {
  static const std::string doc = std::string(CLASS_NAME) + "(mode)" + "\n--\n\n";
  return doc;
}

Result<PyRef> build_type() {
  const std::string& doc = class_doc();
  if (doc.find('\0') != std::string::npos) {
    return PyErr::new_message(PyExc_ValueError, "class doc cannot contain nul bytes");
  }
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc.c_str())},
      {Py_tp_new, reinterpret_cast<void*>(tarnel_new)},
      {Py_tp_methods, TARNEL_METHODS},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(tarnel_dealloc)},
      {0, nullptr},
  };
  // The interpreter keeps pointing at the name for the life of the type.
  static const std::string name = std::string(CLASS_MODULE) + "." + std::string(CLASS_NAME);
  // The stable ABI of both builds does not know the header's size: a
  // negative size asks for the record after whatever header the running
  // interpreter has.
#ifdef Py_TARGET_ABI3T
  static_assert(alignof(TarnelObject) <= alignof(std::max_align_t));
  constexpr int basicsize = -static_cast<int>(sizeof(TarnelObject));
#else
  constexpr int basicsize = static_cast<int>(sizeof(TarnelObject));
#endif
  PyType_Spec spec{
      .name = name.c_str(),
      .basicsize = basicsize,
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots,
  };
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return fetch_required();
  return PyRef::steal(type);
}

// ---- The module -------------------------------------------------------------------

#ifdef Py_TARGET_ABI3T
// A new, empty module named as the import asks (the spec's name, which is
// "vostral"), its doc empty, as the definition elsewhere gives it. Whether it
// may use the GIL is said by the slots below.
Result<PyRef> new_module(PyObject* spec) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return fetch_required();
  PyRef module = PyRef::steal(PyModule_NewObject(name.get()));
  if (!module) return fetch_required();
  if (PyModule_SetDocString(module.get(), "") != 0) return fetch_required();
  return module;
}
#else
PyModuleDef MODULE_DEF = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vostral",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The stable ABI has its own version number, which every interpreter accepts.
#ifdef Py_LIMITED_API
constexpr int MODULE_API_VERSION = PYTHON_ABI_VERSION;
#else
constexpr int MODULE_API_VERSION = 1013;
#endif

Result<PyRef> new_module(PyObject*) {
  PyRef module = PyRef::steal(PyModule_Create2(&MODULE_DEF, MODULE_API_VERSION));
  if (!module) return fetch_required();
#ifdef Py_GIL_DISABLED
  // Every value the module shares between threads is atomic or set once,
  // and calls on one object take turns (borrow_access.hpp): the interpreter
  // need not bring its lock back for this module.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) != 0) return fetch_required();
#endif
  return module;
}
#endif

std::atomic<std::int64_t> recorded_interpreter{-1};
// Never dropped: a second import returns it.
std::atomic<PyObject*> module_cell{nullptr};

// `__all__` of the module, created empty when the module has none.
Result<PyRef> module_all(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr error = fetch_required();
    if (PyErr_GivenExceptionMatches(exception_type(error), PyExc_AttributeError) == 0) return error;
    all = require_object(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) return fetch_required();
    return all;
  }
  if (!PyList_Check(all.get())) return PyErr::conversion(all.get(), "PyList");
  return all;
}

Status module_body(PyObject* module) {
  for (const CallSignature* signature : {&NEW_SIGNATURE, &MOVE_SEQUENCE_SIGNATURE, &MOVE_TILE_SIGNATURE}) {
    intern_parameter_names(*signature);
  }
  Result<PyTypeObject*> type = tarnel_type.get_checked();
  if (!type) return std::move(type).error();
  PyRef name = text_result(CLASS_NAME);
  Result<PyRef> all = module_all(module);
  if (!all) return std::move(all).error();
  if (PyList_Append(all->get(), name.get()) != 0) {
    PyErr failure = fetch_required();
    raise_fault("could not append __name__ to __all__: " + diagnostic_text(failure));
  }
  if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(*type)) != 0) return fetch_required();
  return ok();
}

// The module for this import: made and filled the first time, the same one
// after. `spec` is the import's module spec (null where the interpreter gives
// none, as to PyInit_vostral).
Result<PyRef> initialise_module(PyObject* spec) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return fetch_required();
  std::int64_t expected = -1;
  if (!recorded_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    return PyErr::new_message(PyExc_ImportError,
                              "vostral is already loaded in another interpreter of this process, and its "
                              "modules do not yet support subinterpreters");
  }
  if (PyObject* cell = module_cell.load(std::memory_order_acquire); cell != nullptr) return PyRef::borrow(cell);

  Result<PyRef> made = new_module(spec);
  if (!made) return std::move(made).error();
  PyRef module = std::move(*made);
  if (Status body = module_body(module.get()); !body) return std::move(body).error();
  // Running the body may have imported the module again from within.
  return PyRef::borrow(keep_first<PyObject>(module_cell, std::move(module)));
}

#ifdef Py_TARGET_ABI3T
// The import's create step: the whole initialisation runs here, so that a
// second import is handed the module made by the first, as a module with its
// own PyInit_vostral does. No exec step follows.
PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
  return entry_guard([&]() { return initialise_module(spec); });
}

// Which ABI the module was built for: the interpreter checks it first.
PyABIInfo_VAR(ABI_INFO);

// The module's description, read by the interpreter for the life of the
// process; fixed at link time, like the method table. Not for other
// interpreters: one that checks its extensions (an isolated one, and on a
// free-threaded build a legacy one too) refuses the module by itself; a
// legacy one with the GIL reaches the module's own refusal in
// initialise_module, as before. The module needs no GIL (see new_module's
// version-specific form).
PySlot MODULE_SLOTS[] = {
    {Py_mod_abi, PySlot_STATIC, {0}, {&ABI_INFO}},
    {Py_mod_name, PySlot_STATIC, {0}, {const_cast<char*>("vostral")}},
    {Py_mod_create, 0, {0}, {.sl_func = reinterpret_cast<_Py_funcptr_t>(module_create)}},
    {Py_mod_multiple_interpreters, 0, {0}, {Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED}},
    {Py_mod_gil, 0, {0}, {Py_MOD_GIL_NOT_USED}},
    {0, 0, {0}, {nullptr}},
};
#endif

}  // namespace

Result<PyTypeObject*> TarnelTypeCache::get_checked() {
  if (PyTypeObject* built = type_.load(std::memory_order_acquire); built != nullptr) return built;
  Result<PyRef> built = build_type();
  if (!built) {
    PyErr wrapped = PyErr::new_message(PyExc_RuntimeError, "An error occurred while initializing class TarnelCore");
    set_cause(wrapped, std::move(built).error());
    return wrapped;
  }
  // Building can run code that asked for the type too.
  return keep_first<PyTypeObject>(type_, std::move(*built));
}

PyTypeObject* TarnelTypeCache::get_or_fault() {
  Result<PyTypeObject*> type = get_checked();
  if (!type) {
    PyErr failure = std::move(type).error();
    print(failure);
    raise_fault("failed to create type object for TarnelCore");
  }
  return *type;
}

PyErr receiver_error(PyObject* object) { return PyErr::conversion(object, "TarnelCore"); }

PyErr access_refused(const TarnelObject* record, bool exclusive) {
  if (detail::load_access(record) == ACCESS_UNBUILT) {
    return PyErr::new_message(PyExc_TypeError,
                              "this TarnelCore holds no game: it was not created by TarnelCore.__new__");
  }
  return PyErr::new_message(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
}

}  // namespace vostral::py

#ifdef Py_TARGET_ABI3T
PyMODEXPORT_FUNC PyModExport_vostral() { return vostral::py::MODULE_SLOTS; }
#else
PyMODINIT_FUNC PyInit_vostral() {
  return vostral::py::entry_guard([]() { return vostral::py::initialise_module(nullptr); });
}
#endif
