// The module quorvex._engine: its state and initialisation, scan and read_header here,
// Tables and decode beside.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "columnar/columns.hpp"
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

bool BufferView::acquire_array(PyObject* o, const char* arg, bool writable) {
  const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
  if (PyObject_GetBuffer(o, &view_, flags) != 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "%s must be a contiguous%s buffer, not %.100s",
                 arg,
                 writable ? " writable" : "",
                 Py_TYPE(o)->tp_name);
    return false;
  }
  held_ = true;
  return true;
}

bool BufferView::int64_items() const {
  return view_.ndim == 1 && view_.itemsize == 8 && view_.format != nullptr &&
         (std::strcmp(view_.format, "l") == 0 || std::strcmp(view_.format, "q") == 0);
}

bool to_offset(PyObject* o, const char* arg, std::size_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(o));
  if (!index) return false;
  const Py_ssize_t value = PyLong_AsSsize_t(index.get());
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0) {
    PyErr_Format(PyExc_ValueError, "%s must not be negative", arg);
    return false;
  }
  out = static_cast<std::size_t>(value);
  return true;
}

bool message_argument(PyObject* const* parsed, BufrMessage& out) {
  BufferView buffer;
  std::size_t offset = 0, length = 0;
  if (!buffer.acquire(parsed[0], "buffer") || !to_offset(parsed[1], "offset", offset) ||
      !to_offset(parsed[2], "length", length)) {
    return false;
  }
  const Bytes all = buffer.bytes();
  if (offset > all.size() || length > all.size() - offset) {
    PyErr_Format(PyExc_ValueError,
                 "message at offset %zu of length %zu lies outside the buffer of %zu octets",
                 offset,
                 length,
                 all.size());
    return false;
  }
  Result<BufrMessage> parsed_message =
      parse_message(all.subspan(offset, length), ParseOptions{.older_editions = true});
  if (!parsed_message) {
    raise(parsed_message.error());
    return false;
  }
  out = std::move(*parsed_message);
  return true;
}

PyObject* new_error_data(const BufrError& e) {
  PyRef reason = PyRef::steal(new_str(e.reason()));
  if (!reason) return nullptr;
  return Py_BuildValue("(sO)", kind_name(e.kind()), reason.get());
}

namespace {

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

// The header of a whole message: sections 0, 1 and 3 of any edition, its typical date a
// real one.
Result<BufrMessage> read_whole_header(Bytes octets) {
  BufrMessage m = QV_TRY(parse_message(octets, ParseOptions{.older_editions = true}));
  QV_CHECK(check_typical_date(m));
  return m;
}

// One entry of a scan: (offset, length, error[, header]). The error is None or
// (kind, reason); with headers, a message whose header cannot be read has that error and
// a None header.
PyObject* scan_entry(Bytes octets, const FoundMessage& f, bool headers) {
  std::optional<BufrError> error;
  if (!f.ok) error = f.error();
  PyRef header = PyRef::borrow(Py_None);
  if (headers && f.ok) {
    Result<BufrMessage> parsed = read_whole_header(octets.subspan(f.offset, f.length));
    if (parsed) {
      header = PyRef::steal(header_dict(*parsed));
      if (!header) return nullptr;
    } else {
      error = parsed.error();
    }
  }
  PyRef error_data = error ? PyRef::steal(new_error_data(*error)) : PyRef::borrow(Py_None);
  if (!error_data) return nullptr;
  const auto offset = static_cast<Py_ssize_t>(f.offset), length = static_cast<Py_ssize_t>(f.length);
  if (headers) return Py_BuildValue("(nnOO)", offset, length, error_data.get(), header.get());
  return Py_BuildValue("(nnO)", offset, length, error_data.get());
}

// A scan and where it stops: the entries, where the next window starts (the end of the
// last whole message, or four octets past a damaged one; `end` when none is found), and
// the end of the octets its damaged markers need to be judged (0 when none).
struct Window {
  PyRef entries;
  std::size_t resume = 0;
  std::size_t needed = 0;
};

constexpr const char* kScanNames[] = {"buffer", "start", "end", "headers"};

// `required`: how many of the arguments must be given (the buffer alone for scan, the window
// too for scan_window).
bool scan_window_of(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* qualname,
                    std::size_t required, Window& out) {
  const Signature sig{qualname, kScanNames, 4, required};
  PyObject* parsed[4];
  if (!parse_args(sig, args, nargs, kwnames, parsed)) return false;
  BufferView buffer;
  if (!buffer.acquire(parsed[0], "buffer")) return false;
  const Bytes octets = buffer.bytes();
  std::size_t start = 0, end = octets.size();
  if (parsed[1] != nullptr && !to_offset(parsed[1], "start", start)) return false;
  if (parsed[2] != nullptr && parsed[2] != Py_None && !to_offset(parsed[2], "end", end)) return false;
  const int headers = parsed[3] == nullptr ? 0 : PyObject_IsTrue(parsed[3]);
  if (headers < 0) return false;
  std::vector<FoundMessage> found;
  Py_BEGIN_ALLOW_THREADS found = scan_resync(octets, start, end);
  Py_END_ALLOW_THREADS;
  out.entries = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (!out.entries) return false;
  out.resume = std::max(start, std::min(end, octets.size()));
  for (std::size_t i = 0; i < found.size(); ++i) {
    PyObject* item = scan_entry(octets, found[i], headers != 0);
    if (item == nullptr) return false;
    PyList_SET_ITEM(out.entries.get(), static_cast<Py_ssize_t>(i), item);
    if (!found[i].ok) out.needed = std::max(out.needed, found[i].needed());
  }
  if (!found.empty()) out.resume = std::max(out.resume, found.back().resume());
  return true;
}

PyObject* scan(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Window window;
    if (!scan_window_of(args, nargs, kwnames, "scan", 1, window)) return nullptr;
    return window.entries.release();
  });
}

PyObject* scan_window(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Window window;
    if (!scan_window_of(args, nargs, kwnames, "scan_window", 3, window)) return nullptr;
    return Py_BuildValue("(Onn)",
                         window.entries.get(),
                         static_cast<Py_ssize_t>(window.resume),
                         static_cast<Py_ssize_t>(window.needed));
  });
}

constexpr const char* kScanIndexNames[] = {"buffer", "start", "end", "position", "first"};

// The scan of one window as arrays: the whole messages as rows (position, index, offset,
// length) of int64 in a bytes object (what numpy reads in place), and the damaged markers as
// bad messages. The index counts every marker from `first`.
PyObject* scan_index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* parsed[5];
    if (!parse_args({"scan_index", kScanIndexNames, 5, 3}, args, nargs, kwnames, parsed)) return nullptr;
    BufferView buffer;
    if (!buffer.acquire(parsed[0], "buffer")) return nullptr;
    const Bytes octets = buffer.bytes();
    std::size_t start = 0, end = 0, position = 0, first = 0;
    if (!to_offset(parsed[1], "start", start) || !to_offset(parsed[2], "end", end)) return nullptr;
    if (parsed[3] != nullptr && !to_offset(parsed[3], "position", position)) return nullptr;
    if (parsed[4] != nullptr && !to_offset(parsed[4], "first", first)) return nullptr;
    std::vector<FoundMessage> found;
    Py_BEGIN_ALLOW_THREADS found = scan_resync(octets, start, end);
    Py_END_ALLOW_THREADS;
    std::vector<std::int64_t> rows;
    std::vector<BadMessage> bad;
    rows.reserve(4 * found.size());
    std::size_t needed = 0;
    for (std::size_t i = 0; i < found.size(); ++i) {
      const FoundMessage& f = found[i];
      const auto index = static_cast<std::int64_t>(first + i);
      if (f.ok) {
        rows.insert(rows.end(),
                    {static_cast<std::int64_t>(position),
                     index,
                     static_cast<std::int64_t>(f.offset),
                     static_cast<std::int64_t>(f.length)});
      } else {
        bad.push_back(BadMessage{index, f.offset, f.error(), static_cast<std::uint32_t>(position)});
        needed = std::max(needed, f.needed());
      }
    }
    std::size_t resume = std::max(start, std::min(end, octets.size()));
    if (!found.empty()) resume = std::max(resume, found.back().resume());
    PyRef messages = PyRef::steal(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows.size() * sizeof(std::int64_t))));
    if (!messages) return nullptr;
    if (!rows.empty())
      std::memcpy(PyBytes_AS_STRING(messages.get()), rows.data(), rows.size() * sizeof(std::int64_t));
    PyRef bad_entries = PyRef::steal(bad_messages(bad));
    if (!bad_entries) return nullptr;
    return Py_BuildValue("(OOnnn)",
                         messages.get(),
                         bad_entries.get(),
                         static_cast<Py_ssize_t>(resume),
                         static_cast<Py_ssize_t>(needed),
                         static_cast<Py_ssize_t>(found.size()));
  });
}

PyObject* read_header(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* parsed[3];
    if (!parse_args({"read_header", kMessageNames, 3}, args, nargs, kwnames, parsed)) return nullptr;
    BufrMessage message;
    if (!message_argument(parsed, message)) return nullptr;
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

PyMethodDef engine_functions[] = {
    fastcall("scan", scan,
             "scan(buffer, start=0, end=None, headers=False)\n--\n\n"
             "Every BUFR marker starting in [start, end) as (offset, length, error); error is None for a\n"
             "whole message, else (kind, reason) of why its declared extent holds none (the search then\n"
             "resumes 4 octets on). With headers, (offset, length, error, header): the header dict of a\n"
             "whole message, or None with the error of its sections 0, 1 and 3."),
    fastcall("scan_window", scan_window,
             "scan_window(buffer, start, end, headers=False)\n--\n\n"
             "(entries, resume, needed): the entries of scan(), where the scan of the next window starts,\n"
             "and the end of the octets its damaged markers need to be judged (0 when there are none)."),
    fastcall("scan_index", scan_index,
             "scan_index(buffer, start, end, position=0, first=0)\n--\n\n"
             "The scan of scan_window() as arrays: (messages, bad, resume, needed, found). messages holds\n"
             "one row of four native int64 (position, message index, offset, length) per whole message, as\n"
             "bytes (numpy.frombuffer(messages, numpy.int64).reshape(-1, 4)); bad lists the damaged markers\n"
             "as decode() lists bad messages; found counts both. Indices count every marker from `first`."),
    fastcall("read_header", read_header,
             "read_header(buffer, offset, length)\n--\n\n"
             "Sections 0, 1 and 3 of the message at buffer[offset:offset+length] (editions 2, 3 and 4) as a "
             "dict."),
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

int engine_exec(PyObject* m) {
  EngineState& state = engine_state(m);
  return register_engine_tables(m, state) && register_engine_table_set(m, state) &&
                 register_engine_batch(m, state) && register_engine_headers(m) && register_engine_tree(m) &&
                 register_engine_encode(m) && register_engine_computed(m)
             ? 0
             : -1;
}

int engine_traverse(PyObject* m, visitproc visit, void* arg) {
  EngineState* state = static_cast<EngineState*>(PyModule_GetState(m));
  if (state != nullptr) {
    Py_VISIT(state->tables_type);
    Py_VISIT(state->batch_type);
    Py_VISIT(state->table_set_type);
    Py_VISIT(state->table_element_type);
    Py_VISIT(state->table_sequence_type);
  }
  return 0;
}

int engine_clear(PyObject* m) {
  EngineState* state = static_cast<EngineState*>(PyModule_GetState(m));
  if (state != nullptr) {
    Py_CLEAR(state->tables_type);
    Py_CLEAR(state->batch_type);
    Py_CLEAR(state->table_set_type);
    Py_CLEAR(state->table_element_type);
    Py_CLEAR(state->table_sequence_type);
  }
  return 0;
}

void engine_free(void* m) { engine_clear(static_cast<PyObject*>(m)); }

PyModuleDef_Slot engine_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(engine_exec)},
    // The state is the module's own, but the core's caches are shared by the process: one
    // GIL for every interpreter that imports it.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
    {0, nullptr},
};

PyModuleDef engine_module = {
    PyModuleDef_HEAD_INIT,
    "quorvex._engine",
    "Columnar decoding of BUFR messages into Arrow.",
    sizeof(EngineState),
    engine_functions,
    engine_slots,
    engine_traverse,
    engine_clear,
    engine_free,
};

}  // namespace

EngineState& engine_state(PyObject* module) { return *static_cast<EngineState*>(PyModule_GetState(module)); }

EngineState& engine_state_of(PyTypeObject* type) {
  return engine_state(PyType_GetModuleByDef(type, &engine_module));
}

}  // namespace quorvex::py

PyMODINIT_FUNC PyInit__engine() { return PyModuleDef_Init(&quorvex::py::engine_module); }
