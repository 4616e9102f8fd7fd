// Argument parsing, conversion and raising shared by every function and method.
#include "lib/frame_py.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace quorvex::py {

namespace {

std::string type_qualname(PyObject* o) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(o)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
  }
  const char* text = PyUnicode_AsUTF8(name.get());
  if (text == nullptr) {
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
  }
  return text;
}

void set_type_error(const std::string& text) { PyErr_SetString(PyExc_TypeError, text.c_str()); }

// "argument 'x': 'T' object cannot be cast as 'E'"
bool wrong_type(PyObject* o, const char* arg, const char* expected) {
  set_type_error(std::string("argument '") + arg + "': '" + type_qualname(o) +
                 "' object cannot be cast as '" + expected + "'");
  return false;
}

// Re-raises the pending TypeError with the "argument 'x': " prefix; other exceptions
// pass through unchanged.
bool prefix_type_error(const char* arg) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject* exc = PyErr_GetRaisedException();
  PyRef owned = PyRef::steal(exc);
  PyRef text = PyRef::steal(PyObject_Str(exc));
  if (!text) return false;
  const char* utf8 = PyUnicode_AsUTF8(text.get());
  if (utf8 == nullptr) return false;
  set_type_error(std::string("argument '") + arg + "': " + utf8);
  return false;
}

bool out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

// An integer (through __index__) as unsigned 64-bit; the interpreter's own messages for
// negative and oversized values.
bool index_u64(PyObject* o, const char* arg, unsigned long long& out) {
  PyRef index = PyRef::steal(PyNumber_Index(o));
  if (!index) return prefix_type_error(arg);
  out = PyLong_AsUnsignedLongLong(index.get());
  return !(out == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

// Any value above the 32-bit range, however large, reads "out of range integral type
// conversion attempted"; negative values keep the interpreter's own message.
bool index_u32(PyObject* o, const char* arg, std::uint32_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(o));
  if (!index) return prefix_type_error(arg);
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && overflow == 0 && PyErr_Occurred()) return false;
  if (overflow > 0 || value > 0xFFFFFFFFll) return out_of_range();
  if (overflow < 0 || value < 0) {
    PyLong_AsUnsignedLongLong(index.get());  // sets the interpreter's negative-value error
    return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

std::string join_missing(const char* const* names, const std::vector<std::size_t>& missing) {
  std::string out;
  for (std::size_t k = 0; k < missing.size(); ++k) {
    if (k > 0) out += missing.size() == 2 ? " and " : (k + 1 == missing.size() ? ", and " : ", ");
    out += '\'';
    out += names[missing[k]];
    out += '\'';
  }
  return out;
}

// Common tail of both parsers: every slot filled, or the missing-arguments TypeError.
bool check_missing(const Signature& sig, PyObject** out) {
  std::vector<std::size_t> missing;
  for (std::size_t k = 0; k < std::min(sig.count, sig.required); ++k) {
    if (out[k] == nullptr) missing.push_back(k);
  }
  if (missing.empty()) return true;
  set_type_error(std::string(sig.qualname) + "() missing " + std::to_string(missing.size()) +
                 " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                 join_missing(sig.names, missing));
  return false;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  set_type_error(std::string(sig.qualname) + "() takes " + std::to_string(sig.count) +
                 " positional arguments but " + std::to_string(given) + " " + (given == 1 ? "was" : "were") +
                 " given");
  return false;
}

// Places one keyword argument; interned names match by pointer first.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
  std::size_t slot = sig.count;
  // A name that is not UTF-8 text (a lone surrogate) matches no argument.
  const char* name = PyUnicode_AsUTF8(key);
  if (name == nullptr) PyErr_Clear();
  for (std::size_t k = 0; name != nullptr && k < sig.count && slot == sig.count; ++k) {
    if (std::strcmp(name, sig.names[k]) == 0) slot = k;
  }
  if (slot == sig.count) {
    PyRef text =
        PyRef::steal(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'", sig.qualname, key));
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    return false;
  }
  if (out[slot] != nullptr) {
    set_type_error(std::string(sig.qualname) + "() got multiple values for argument '" + sig.names[slot] +
                   "'");
    return false;
  }
  out[slot] = value;
  return true;
}

}  // namespace

bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  for (std::size_t k = 0; k < sig.count; ++k) out[k] = nullptr;
  if (static_cast<std::size_t>(nargs) > sig.count) return too_many_positional(sig, nargs);
  for (Py_ssize_t k = 0; k < nargs; ++k) out[k] = args[k];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_missing(sig, out);
}

bool parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  for (std::size_t k = 0; k < sig.count; ++k) out[k] = nullptr;
  if (static_cast<std::size_t>(nargs) > sig.count) return too_many_positional(sig, nargs);
  for (Py_ssize_t k = 0; k < nargs; ++k) out[k] = PyTuple_GET_ITEM(args, k);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, out)) return false;
    }
  }
  return check_missing(sig, out);
}

bool to_path(PyObject* o, const char* arg, std::string& out) {
  if (!PyUnicode_Check(o)) return wrong_type(o, arg, "str");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(o, &size);
  if (text == nullptr) return false;
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool to_bytes(PyObject* o, const char* arg, Bytes& out) {
  if (!PyBytes_Check(o)) return wrong_type(o, arg, "bytes");
  out = Bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(o)),
              static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
  return true;
}

bool to_codes(PyObject* o, const char* arg, std::vector<std::uint32_t>& out) {
  if (PyUnicode_Check(o)) {
    set_type_error(std::string("argument '") + arg + "': Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(o)) return wrong_type(o, arg, "Sequence");
  out.clear();
  // The length is only a hint: a sequence may report one it does not hold.
  const Py_ssize_t hint = PySequence_Size(o);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 1 << 16)));
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(o));
  if (!iter) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    std::uint32_t value = 0;
    if (!index_u32(item.get(), arg, value)) return false;
    out.push_back(value);
  }
  return !PyErr_Occurred();
}

bool to_u8(PyObject* o, const char* arg, std::uint8_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(o));
  if (!index) return prefix_type_error(arg);
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 255) return out_of_range();
  out = static_cast<std::uint8_t>(value);
  return true;
}

bool to_u32(PyObject* o, const char* arg, std::uint32_t& out) { return index_u32(o, arg, out); }

bool to_u64(PyObject* o, const char* arg, std::uint64_t& out) {
  unsigned long long value = 0;
  if (!index_u64(o, arg, value)) return false;
  out = value;
  return true;
}

bool check_instance(PyObject* o, PyTypeObject* type, const char* arg, const char* expected) {
  if (type != nullptr && PyObject_TypeCheck(o, type)) return true;
  return wrong_type(o, arg, expected);
}

PyObject* raise(const BufrError& e) {
  const std::string text = e.message();
  PyRef value =
      PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (value) PyErr_SetObject(PyExc_ValueError, value.get());
  return nullptr;
}

PyObject* raise_os_error(const BufrError& e) {
  const std::string& text = e.text();
  PyRef value =
      PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!value) return nullptr;
  PyRef args = PyRef::steal(PyTuple_Pack(1, value.get()));
  if (args) PyErr_SetObject(PyExc_OSError, args.get());
  return nullptr;
}

PyObject* new_str(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* new_code_list(const std::vector<std::uint32_t>& codes) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(codes.size())));
  if (!list) return nullptr;
  for (std::size_t k = 0; k < codes.size(); ++k) {
    PyObject* item = PyLong_FromUnsignedLong(codes[k]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
  }
  return list.release();
}

bool add_to_module(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::borrow(PyDict_GetItemString(PyModule_GetDict(module), "__all__"));
  if (!all) {
    all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text) return false;
  if (PyModule_AddObjectRef(module, name, value) < 0) return false;
  return PyList_Append(all.get(), text.get()) == 0;
}

bool add_type(PyObject* module, PyTypeObject* type, const char* name) {
  if (type == nullptr) return false;
  return add_to_module(module, name, reinterpret_cast<PyObject*>(type));
}

bool add_function(PyObject* module, PyMethodDef* def) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  PyRef function = PyRef::steal(PyCFunction_NewEx(def, nullptr, module_name.get()));
  if (!function) return false;
  return add_to_module(module, def->ml_name, function.get());
}

PyTypeObject* make_type(PyType_Spec* type_spec) {
  bool has_new = false;
  for (PyType_Slot* slot = type_spec->slots; slot->slot != 0; ++slot) {
    if (slot->slot == Py_tp_new) has_new = true;
  }
  if (!has_new) type_spec->flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(type_spec));
}

}  // namespace quorvex::py
