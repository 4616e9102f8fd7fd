// The Python-facing frame shared by every module function and method: owned references,
// argument parsing and conversion, result conversion, and raising.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "lib/error.hpp"
#include "message/message.hpp"
#include "tables/table_set.hpp"

namespace quorvex::py {

// Owns one reference. Move-only; no implicit conversion to PyObject*.
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* o) { return PyRef(o); }
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(o_, std::exchange(other.o_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(o_); }

  PyObject* get() const { return o_; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(o_, nullptr); }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) : o_(o) {}
  PyObject* o_ = nullptr;
};

// The argument names of one function, in signature order. `qualname` is the name used in
// the TypeError texts: "parse_bytes", "Descriptor.__new__", "TableSet.get_element".
struct Signature {
  const char* qualname;
  const char* const* names;
  std::size_t count;
  // The first `required` arguments must be given; the others are optional and left null
  // when absent. Every argument is required unless said otherwise.
  std::size_t required = static_cast<std::size_t>(-1);
};

// Fills out[0..sig.count) with borrowed references to the arguments given by position or
// keyword (null for an optional argument not given). Returns false with the frame's
// TypeError set.
[[nodiscard]] bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, PyObject** out);

// Same for tp_new/tp_init style calls (a tuple and a dict).
[[nodiscard]] bool parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Converters. Each returns false with the exception set; `arg` names the argument.
// str or a subclass -> its UTF-8 text.
[[nodiscard]] bool to_path(PyObject* o, const char* arg, std::string& out);
// bytes or a subclass -> a view of its octets (valid while `o` is alive).
[[nodiscard]] bool to_bytes(PyObject* o, const char* arg, Bytes& out);
// A sequence of integers (not str) -> codes 0..4294967295.
[[nodiscard]] bool to_codes(PyObject* o, const char* arg, std::vector<std::uint32_t>& out);
// Integers through __index__, range-checked.
[[nodiscard]] bool to_u8(PyObject* o, const char* arg, std::uint8_t& out);
[[nodiscard]] bool to_u32(PyObject* o, const char* arg, std::uint32_t& out);
[[nodiscard]] bool to_u64(PyObject* o, const char* arg, std::uint64_t& out);
// An instance of `type` (or a subclass); otherwise the frame's wrong-type TypeError with
// `expected` as the expected type's name.
[[nodiscard]] bool check_instance(PyObject* o, PyTypeObject* type, const char* arg, const char* expected);

// Sets ValueError(message) for a core error. Always returns nullptr.
PyObject* raise(const BufrError& e);
// Sets OSError("<description> (os error N)") for a failed file read. Returns nullptr.
PyObject* raise_os_error(const BufrError& e);

// The table entry of a METH_FASTCALL | METH_KEYWORDS function or method; `flags` adds
// METH_STATIC and the like. Every function of the module is declared through it.
using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyMethodDef fastcall(const char* name, FastcallFunction function, const char* doc, int flags = 0) {
  return {name,
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_FASTCALL | METH_KEYWORDS | flags,
          doc};
}

// Results.
PyObject* new_str(const std::string& s);  // UTF-8; invalid octets replaced
PyObject* new_code_list(const std::vector<std::uint32_t>& codes);

// Runs `body` (returning PyObject*) with C++ exceptions turned into Python ones:
// std::bad_alloc -> MemoryError, anything else -> RuntimeError. Never lets one escape.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error");
    return nullptr;
  }
}

// Module assembly: set the attribute and append the name to __all__.
[[nodiscard]] bool add_to_module(PyObject* module, const char* name, PyObject* value);
[[nodiscard]] bool add_type(PyObject* module, PyTypeObject* type, const char* name);
[[nodiscard]] bool add_function(PyObject* module, PyMethodDef* def);

// A type made from a slot table whose name is "builtins.<Name>"; no constructor when
// tp_new is absent from the slots (calling it raises TypeError).
PyTypeObject* make_type(PyType_Spec* type_spec);

}  // namespace quorvex::py

// The registration steps of the module, run in this order by PyInit__quorvex. Each adds
// its classes or functions with add_type/add_function and returns false on failure.
namespace quorvex::py {
bool register_bufr_message(PyObject* m);       // class BufrMessage
bool register_decoded_value(PyObject* m);      // class DecodedValue
bool register_descriptor(PyObject* m);         // class Descriptor
bool register_table_classes(PyObject* m);      // ElementDefinition, SequenceDefinition, TableSet
bool register_message_functions(PyObject* m);  // parse_bytes, parse_file, parse_all_bytes, parse_all_file
bool register_expand_function(PyObject* m);    // expand_descriptors
bool register_decode_functions(PyObject* m);   // decode_values, decode_values_with_tables,
                                               // decode_values_with_definitions
// Cross-area access (defined by the owning binding file).
PyTypeObject* bufr_message_type();
const BufrMessage& bufr_message_record(PyObject* o);  // o must be a BufrMessage
PyTypeObject* table_set_type();
const TableSet& table_set_record(PyObject* o);  // o must be a TableSet
class StrTable;
const StrTable& table_set_names(PyObject* o);  // the strs of its element names; o a TableSet
}  // namespace quorvex::py
