// quorvex._engine's header keys: the names and types of the header-key table, and their
// values in one message.
#include <string>

#include "engine/engine.hpp"
#include "message/header_keys.hpp"

namespace quorvex::py {

namespace {

const char* type_name(HeaderType type) {
  switch (type) {
    case HeaderType::Long:
      return "long";
    case HeaderType::Double:
      return "double";
    case HeaderType::String:
      return "string";
  }
  return "long";
}

PyObject* header_value(const HeaderValue& v) {
  switch (v.kind) {
    case HeaderValue::Kind::Long:
      return PyLong_FromLongLong(v.number);
    case HeaderValue::Kind::Double:
      return PyFloat_FromDouble(v.real);
    case HeaderValue::Kind::String:
      return new_str(v.text);
    case HeaderValue::Kind::None:
      break;
  }
  return Py_NewRef(Py_None);
}

PyObject* header_keys(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    const auto keys = quorvex::header_keys();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(keys.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      PyObject* item = Py_BuildValue("(s#s)",
                                     keys[i].name.data(),
                                     static_cast<Py_ssize_t>(keys[i].name.size()),
                                     type_name(keys[i].type));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* read_header_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* parsed[3];
    if (!parse_args({"read_header_keys", kMessageNames, 3}, args, nargs, kwnames, parsed)) return nullptr;
    BufrMessage message;
    if (!message_argument(parsed, message)) return nullptr;
    // message_argument checked the slice and parsed the octets; they are read again for section 2.
    BufferView buffer;
    std::size_t offset = 0, length = 0;
    if (!buffer.acquire(parsed[0], "buffer") || !to_offset(parsed[1], "offset", offset) ||
        !to_offset(parsed[2], "length", length)) {
      return nullptr;
    }
    const Bytes octets = buffer.bytes().subspan(offset, length);
    Result<std::vector<HeaderValue>> values = read_header_values(octets, message);
    if (!values) {
      raise(values.error());
      return nullptr;
    }
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return nullptr;
    const auto keys = quorvex::header_keys();
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if ((*values)[i].kind == HeaderValue::Kind::None) continue;
      PyRef value = PyRef::steal(header_value((*values)[i]));
      PyRef name = PyRef::steal(
          PyUnicode_FromStringAndSize(keys[i].name.data(), static_cast<Py_ssize_t>(keys[i].name.size())));
      if (!value || !name || PyDict_SetItem(d.get(), name.get(), value.get()) != 0) return nullptr;
    }
    return d.release();
  });
}

PyMethodDef header_functions[] = {
    {"header_keys",
     header_keys,
     METH_NOARGS,
     "header_keys()\n--\n\n"
     "Every header key as (name, type), type \"long\", \"double\" or \"string\", in ecCodes's order."},
    fastcall(
        "read_header_keys", read_header_keys,
        "read_header_keys(buffer, offset, length)\n--\n\n"
        "The header keys of the message at buffer[offset:offset+length] (editions 2, 3 and 4) as a dict,\n"
        "the keys the message does not carry left out; ValueError on a bad header or typical date."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_engine_headers(PyObject* m) { return PyModule_AddFunctions(m, header_functions) == 0; }

}  // namespace quorvex::py
