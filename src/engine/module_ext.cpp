// The module quorvex._engine: scan and read_header here, Tables and decode beside.
#include <string>

#include "engine/engine.hpp"
#include "lib/mapping_guard.hpp"
#include "message/message.hpp"

namespace quorvex::py {

bool BufferView::acquire(PyObject* o, const char* arg) {
  if (PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) != 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "%s must support the buffer protocol (bytes, bytearray, memoryview, mmap), not %.100s",
                 arg,
                 Py_TYPE(o)->tp_name);
    return false;
  }
  held_ = true;
  return true;
}

bool message_argument(PyObject* args, PyObject* kwargs, const char* format, BufrMessage& out) {
  static const char* names[] = {"buffer", "offset", "length", nullptr};
  PyObject* source = nullptr;
  Py_ssize_t offset = 0, length = 0;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, format, const_cast<char**>(names), &source, &offset, &length)) {
    return false;
  }
  BufferView buffer;
  if (!buffer.acquire(source, "buffer")) return false;
  const Bytes all = buffer.bytes();
  if (offset < 0 || length < 0 || static_cast<std::size_t>(offset) > all.size() ||
      static_cast<std::size_t>(length) > all.size() - static_cast<std::size_t>(offset)) {
    PyErr_Format(PyExc_ValueError,
                 "message at offset %zd of length %zd lies outside the buffer of %zu octets",
                 offset,
                 length,
                 all.size());
    return false;
  }
  Result<BufrMessage> parsed =
      parse_message(all.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length)),
                    ParseOptions{.older_editions = true});
  if (!parsed) {
    raise(parsed.error());
    return false;
  }
  out = std::move(*parsed);
  return true;
}

namespace {

PyObject* scan(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"buffer", "start", "end", nullptr};
    PyObject* source = nullptr;
    Py_ssize_t start = 0;
    PyObject* end_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "O|nO:scan", const_cast<char**>(names), &source, &start, &end_arg)) {
      return nullptr;
    }
    BufferView buffer;
    if (!buffer.acquire(source, "buffer")) return nullptr;
    const Bytes octets = buffer.bytes();
    std::size_t end = octets.size();
    if (end_arg != Py_None) {
      const Py_ssize_t e = PyNumber_AsSsize_t(end_arg, PyExc_OverflowError);
      if (e == -1 && PyErr_Occurred()) return nullptr;
      end = e < 0 ? 0 : static_cast<std::size_t>(e);
    }
    if (start < 0) {
      PyErr_SetString(PyExc_ValueError, "start must not be negative");
      return nullptr;
    }
    std::vector<FoundMessage> found;
    {
      Py_BEGIN_ALLOW_THREADS found = scan_resync(octets, static_cast<std::size_t>(start), end);
      Py_END_ALLOW_THREADS
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < found.size(); ++i) {
      const FoundMessage& f = found[i];
      PyRef error = f.ok ? PyRef::borrow(Py_None) : PyRef::steal(new_str(f.error().message()));
      if (!error) return nullptr;
      PyObject* item = Py_BuildValue(
          "(nnO)", static_cast<Py_ssize_t>(f.offset), static_cast<Py_ssize_t>(f.length), error.get());
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

// Sets d[key] = value, stealing `value`.
bool set_item(PyObject* d, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(d, key, owned.get()) == 0;
}

PyObject* header_dict(const BufrMessage& m) {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) return nullptr;
  auto num = [](long v) { return PyLong_FromLong(v); };
  const bool ok = set_item(d.get(), "edition", num(m.edition)) &&
                  set_item(d.get(), "master_table_number", num(m.master_table_number)) &&
                  set_item(d.get(), "centre", num(m.originating_centre)) &&
                  set_item(d.get(), "sub_centre", num(m.originating_subcentre)) &&
                  set_item(d.get(), "update_sequence_number", num(m.update_sequence_number)) &&
                  set_item(d.get(), "data_category", num(m.data_category)) &&
                  set_item(d.get(),
                           "international_sub_category",
                           m.edition >= 4 ? num(m.international_data_subcategory) : Py_NewRef(Py_None)) &&
                  set_item(d.get(), "local_sub_category", num(m.local_data_subcategory)) &&
                  set_item(d.get(), "master_table_version", num(m.master_tables_version_number)) &&
                  set_item(d.get(), "local_table_version", num(m.local_tables_version_number)) &&
                  set_item(d.get(), "typical_year", num(m.typical_year)) &&
                  set_item(d.get(), "typical_month", num(m.typical_month)) &&
                  set_item(d.get(), "typical_day", num(m.typical_day)) &&
                  set_item(d.get(), "typical_hour", num(m.typical_hour)) &&
                  set_item(d.get(), "typical_minute", num(m.typical_minute)) &&
                  set_item(d.get(), "typical_second", num(m.typical_second)) &&
                  set_item(d.get(), "number_of_subsets", num(m.number_of_subsets)) &&
                  set_item(d.get(), "observed", PyBool_FromLong(m.observed_data)) &&
                  set_item(d.get(), "compressed", PyBool_FromLong(m.compressed_data)) &&
                  set_item(d.get(), "descriptors", new_code_list(m.unexpanded_descriptors)) &&
                  set_item(d.get(), "section2_present", PyBool_FromLong(m.local_section_present));
  return ok ? d.release() : nullptr;
}

PyObject* read_header(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    BufrMessage message;
    if (!message_argument(args, kwargs, "Onn:read_header", message)) return nullptr;
    return header_dict(message);
  });
}

// watch(buffer) -> slot: the range of a mapped file's buffer, watched for pages that fault
// because the file shrank. The buffer is not held, so the mapping can still be closed.
PyObject* watch(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) != 0) return nullptr;
    const int slot = watch_mapping(view.buf, static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    return PyLong_FromLong(slot);
  });
}

int slot_argument(PyObject* arg) {
  const long slot = PyLong_AsLong(arg);
  return slot == -1 && PyErr_Occurred() ? -2 : static_cast<int>(slot);
}

PyObject* faulted(PyObject*, PyObject* arg) {
  const int slot = slot_argument(arg);
  return slot == -2 ? nullptr : PyBool_FromLong(mapping_faulted(slot));
}

PyObject* unwatch(PyObject*, PyObject* arg) {
  const int slot = slot_argument(arg);
  return slot == -2 ? nullptr : PyBool_FromLong(unwatch_mapping(slot));
}

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef engine_functions[] = {
    {"scan",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan)),
     kArgs,
     "scan(buffer, start=0, end=None)\n--\n\n"
     "Every BUFR marker starting in [start, end) as (offset, length, error); error is None for a\n"
     "whole message, else why its declared extent holds none (the search then resumes 4 octets on)."},
    {"read_header",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_header)),
     kArgs,
     "read_header(buffer, offset, length)\n--\n\n"
     "Sections 0, 1 and 3 of the message at buffer[offset:offset+length] (editions 2, 3 and 4) as a dict."},
    {"watch",
     watch,
     METH_O,
     "watch(buffer)\n--\n\n"
     "Watches the range of a memory-mapped file: a page that faults because the file shrank reads as\n"
     "zeros instead of killing the process, and is recorded. Returns the slot (-1: none free)."},
    {"faulted", faulted, METH_O, "faulted(slot)\n--\n\nWhether a page of the watched range faulted."},
    {"unwatch",
     unwatch,
     METH_O,
     "unwatch(slot)\n--\n\nStops watching (call before closing the mapping); whether a page faulted."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef engine_module = {
    PyModuleDef_HEAD_INIT,
    "quorvex._engine",
    "Columnar decoding of BUFR messages into Arrow.",
    -1,
    engine_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quorvex::py

PyMODINIT_FUNC PyInit__engine() {
  using namespace quorvex::py;
  PyRef m = PyRef::steal(PyModule_Create(&engine_module));
  if (!m || !register_engine_tables(m.get()) || !register_engine_batch(m.get()) ||
      !register_engine_headers(m.get()))
    return nullptr;
  return m.release();
}
