// The module functions that parse messages: parse_bytes, parse_file, parse_all_bytes,
// parse_all_file.
#include <string>
#include <utility>
#include <vector>

#include "lib/file_system.hpp"
#include "message/message_py.hpp"

namespace quorvex::py {

namespace {

constexpr const char* kDataNames[] = {"data"};
constexpr const char* kPathNames[] = {"path"};

// The octets of the one `data` argument, or false with the exception set.
bool data_argument(const char* qualname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Bytes& data) {
  const Signature sig{qualname, kDataNames, 1};
  PyObject* argv[1];
  return parse_args(sig, args, nargs, kwnames, argv) && to_bytes(argv[0], "data", data);
}

// The file named by the one `path` argument, read whole; nullopt-like false with the
// exception set (TypeError for the argument, OSError for the read).
bool file_argument(const char* qualname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::string& content) {
  const Signature sig{qualname, kPathNames, 1};
  PyObject* argv[1];
  std::string path;
  if (!parse_args(sig, args, nargs, kwnames, argv) || !to_path(argv[0], "path", path)) return false;
  auto read = read_file(path);
  if (!read) {
    raise_os_error(read.error());
    return false;
  }
  content = std::move(*read);
  return true;
}

PyObject* one_message(Bytes octets) {
  auto parsed = parse_message(octets);
  if (!parsed) return raise(parsed.error());
  return new_bufr_message(std::move(*parsed));
}

PyObject* all_messages(Bytes octets) {
  auto parsed = parse_all_messages(octets);
  if (!parsed) return raise(parsed.error());
  return new_bufr_message_list(std::move(*parsed));
}

Bytes bytes_of(const std::string& s) {
  return Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

PyObject* parse_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bytes data;
    if (!data_argument("parse_bytes", args, nargs, kwnames, data)) return nullptr;
    return one_message(data);
  });
}

PyObject* parse_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string content;
    if (!file_argument("parse_file", args, nargs, kwnames, content)) return nullptr;
    return one_message(bytes_of(content));
  });
}

PyObject* parse_all_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bytes data;
    if (!data_argument("parse_all_bytes", args, nargs, kwnames, data)) return nullptr;
    return all_messages(data);
  });
}

PyObject* parse_all_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string content;
    if (!file_argument("parse_all_file", args, nargs, kwnames, content)) return nullptr;
    return all_messages(bytes_of(content));
  });
}

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyMethodDef fastcall(const char* name, FastcallFunction function, const char* doc) {
  return {name,
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_FASTCALL | METH_KEYWORDS,
          doc};
}

PyMethodDef message_functions[] = {
    fastcall("parse_bytes", parse_bytes, "parse_bytes(data)\n--\n\n"),
    fastcall("parse_file", parse_file, "parse_file(path)\n--\n\n"),
    fastcall("parse_all_bytes", parse_all_bytes, "parse_all_bytes(data)\n--\n\n"),
    fastcall("parse_all_file", parse_all_file, "parse_all_file(path)\n--\n\n"),
};

}  // namespace

bool register_message_functions(PyObject* m) {
  for (PyMethodDef& def : message_functions) {
    if (!add_function(m, &def)) return false;
  }
  return true;
}

}  // namespace quorvex::py
