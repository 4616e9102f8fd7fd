// The class Batch (decoded columns, handed to Arrow consumers through the PyCapsule
// protocol without a copy) and decode(), which makes one with the GIL released.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "columnar/arrow_export.hpp"
#include "columnar/columns.hpp"
#include "columnar/header_table.hpp"
#include "columnar/rows.hpp"
#include "engine/engine.hpp"
#include "message/header_keys.hpp"

namespace quorvex::py {

namespace {

using Batches = std::vector<std::shared_ptr<const ExportedBatch>>;

// The record batches of one decode call (at least one), in message order.
struct BatchObject {
  PyObject_HEAD
  Batches batches;
};

const Batches& batches_of(PyObject* o) { return reinterpret_cast<BatchObject*>(o)->batches; }

std::int64_t rows_of(PyObject* o) {
  std::int64_t n = 0;
  for (const auto& b : batches_of(o)) n += b->row_count();
  return n;
}

// The capsule name of each struct of the interface.
template <class Struct>
constexpr const char* capsule_name = nullptr;
template <>
constexpr const char* capsule_name<ArrowSchema> = "arrow_schema";
template <>
constexpr const char* capsule_name<ArrowArray> = "arrow_array";
template <>
constexpr const char* capsule_name<ArrowArrayStream> = "arrow_array_stream";

// Capsule destructor: releases what the consumer did not take, then frees the struct.
template <class Struct>
void capsule_free(PyObject* capsule) {
  auto* s = static_cast<Struct*>(PyCapsule_GetPointer(capsule, capsule_name<Struct>));
  if (s == nullptr) return;
  if (s->release != nullptr) s->release(s);
  delete s;
}

// A capsule owning a struct filled by `fill` (an exporter returning 0 or an errno code).
// The struct is owned at every step: by the unique_ptr until the capsule takes it.
template <class Struct, class Fill>
PyObject* export_capsule(Fill&& fill) {
  auto s = std::make_unique<Struct>();
  s->release = nullptr;
  if (fill(s.get()) != 0) return PyErr_NoMemory();
  PyObject* capsule = PyCapsule_New(s.get(), capsule_name<Struct>, capsule_free<Struct>);
  if (capsule == nullptr) {
    s->release(s.get());
    return nullptr;
  }
  s.release();
  return capsule;
}

PyObject* schema_capsule(const ExportedBatch& b) {
  return export_capsule<ArrowSchema>([&](ArrowSchema* s) { return export_schema(b, s); });
}

PyObject* array_capsule(const std::shared_ptr<const ExportedBatch>& b) {
  return export_capsule<ArrowArray>([&](ArrowArray* a) { return export_array(b, a); });
}

// The requested_schema argument is accepted and not acted on: the batch has one layout.
constexpr const char* kRequestedSchema[] = {"requested_schema"};

bool requested_schema_only(const char* qualname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* requested[1];
  return parse_args({qualname, kRequestedSchema, 1, 0}, args, nargs, kwnames, requested);
}

PyObject* arrow_c_schema(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return schema_capsule(*batches_of(self).front()); });
}

// One struct array: only when the rows are in one record batch.
PyObject* arrow_c_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!requested_schema_only("__arrow_c_array__", args, nargs, kwnames)) return nullptr;
    const Batches& batches = batches_of(self);
    if (batches.size() != 1) {
      PyErr_Format(PyExc_ValueError,
                   "the rows are in %zu record batches: read them through __arrow_c_stream__",
                   batches.size());
      return nullptr;
    }
    PyRef schema = PyRef::steal(schema_capsule(*batches.front()));
    if (!schema) return nullptr;
    PyRef array = PyRef::steal(array_capsule(batches.front()));
    if (!array) return nullptr;
    return PyTuple_Pack(2, schema.get(), array.get());
  });
}

// A stream of the record batches.
PyObject* arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!requested_schema_only("__arrow_c_stream__", args, nargs, kwnames)) return nullptr;
    const Batches& batches = batches_of(self);
    return export_capsule<ArrowArrayStream>(
        [&](ArrowArrayStream* s) { return export_stream(batches.front(), batches, s); });
  });
}

PyObject* num_rows(PyObject* self, void*) { return PyLong_FromLongLong(rows_of(self)); }

PyObject* num_batches(PyObject* self, void*) { return PyLong_FromSize_t(batches_of(self).size()); }

Py_ssize_t batch_length(PyObject* self) { return static_cast<Py_ssize_t>(rows_of(self)); }

void batch_dealloc(PyObject* self) {
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  reinterpret_cast<BatchObject*>(self)->batches.~Batches();
  Py_TYPE(self)->tp_free(self);
}

PyMethodDef batch_methods[] = {
    {"__arrow_c_schema__", arrow_c_schema, METH_NOARGS, "__arrow_c_schema__($self)\n--\n\n"},
    fastcall("__arrow_c_array__", arrow_c_array, "__arrow_c_array__($self, requested_schema=None)\n--\n\n"),
    fastcall("__arrow_c_stream__", arrow_c_stream,
             "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batch_getset[] = {
    {"num_rows", num_rows, nullptr, nullptr, nullptr},
    {"num_batches", num_batches, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Decoded columns in one or more record batches; pyarrow.table(batch) takes them without a copy.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_methods, batch_methods},
    {Py_tp_getset, batch_getset},
    {Py_mp_length, reinterpret_cast<void*>(batch_length)},
    {0, nullptr},
};

PyType_Spec batch_spec = {"quorvex._engine.Batch",
                          sizeof(BatchObject),
                          0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                          batch_slots};

template <class Batch>
PyObject* new_batch(PyTypeObject* type, std::vector<std::shared_ptr<Batch>> batches) {
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  new (&reinterpret_cast<BatchObject*>(self.get())->batches) Batches(batches.begin(), batches.end());
  return self.release();
}

// One (source position, message index, offset, length) row of the message list.
bool message_row(const std::int64_t* fields, std::size_t sources, MessageRef& out) {
  const long long source = fields[0], index = fields[1], offset = fields[2], length = fields[3];
  if (source < 0 || static_cast<unsigned long long>(source) >= sources || offset < 0 || length < 0) {
    PyErr_Format(PyExc_ValueError,
                 "message entry (%lld, %lld, %lld, %lld) is out of range",
                 source,
                 index,
                 offset,
                 length);
    return false;
  }
  out = MessageRef{static_cast<std::uint32_t>(source),
                   index,
                   static_cast<std::size_t>(offset),
                   static_cast<std::size_t>(length)};
  return true;
}

// One (source position, message index, offset, length) entry of decode's message list.
bool to_message_ref(PyObject* item, std::size_t sources, MessageRef& out) {
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 4) {
    PyErr_SetString(PyExc_TypeError,
                    "messages must hold (source position, message index, offset, length) tuples of ints");
    return false;
  }
  long long fields[4];
  for (Py_ssize_t k = 0; k < 4; ++k) {
    PyObject* field = PyTuple_GET_ITEM(item, k);
    if (!PyLong_Check(field)) {
      PyErr_SetString(PyExc_TypeError,
                      "messages must hold (source position, message index, offset, length) tuples of ints");
      return false;
    }
    fields[k] = PyLong_AsLongLong(field);
    if (fields[k] == -1 && PyErr_Occurred()) return false;
  }
  const std::int64_t row[4] = {fields[0], fields[1], fields[2], fields[3]};
  return message_row(row, sources, out);
}

// The message list given as an array of int64 of shape (n, 4), one row per message (what the
// scan gives and numpy holds): read in place, without an object per message.
bool to_message_array(PyObject* o, std::size_t sources, std::vector<MessageRef>& refs) {
  constexpr const char* kShape =
      "a message array must be C-contiguous int64 of shape (n, 4): source position, message index, offset, "
      "length";
  Py_buffer view;
  if (PyObject_GetBuffer(o, &view, PyBUF_FORMAT | PyBUF_ND | PyBUF_C_CONTIGUOUS) != 0) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, kShape);
    return false;
  }
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  const std::string_view format = view.format == nullptr ? "B" : view.format;
  const bool int64 = view.itemsize == 8 && (format == "q" || format == "l" || format == "<q" ||
                                            format == "<l" || format == "=q" || format == "=l");
  if (!int64 || view.ndim != 2 || view.shape[1] != 4) {
    PyErr_SetString(PyExc_TypeError, kShape);
    return false;
  }
  const auto* fields = static_cast<const std::int64_t*>(view.buf);
  refs.resize(static_cast<std::size_t>(view.shape[0]));
  for (std::size_t i = 0; i < refs.size(); ++i) {
    if (!message_row(fields + 4 * i, sources, refs[i])) return false;
  }
  return true;
}

// (message index, offset, kind, reason, source position) of each message the decode refused.
PyObject* bad_list(const std::vector<BadMessage>& bad) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(bad.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < bad.size(); ++i) {
    const BadMessage& m = bad[i];
    PyRef reason = PyRef::steal(new_str(m.error.reason()));
    if (!reason) return nullptr;
    PyObject* item = Py_BuildValue("(LnsOI)",
                                   static_cast<long long>(m.index),
                                   static_cast<Py_ssize_t>(m.offset),
                                   kind_name(m.error.kind()),
                                   reason.get(),
                                   static_cast<unsigned>(m.source));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// The sources and message list of a decode call: the views hold the buffers.
bool to_sources(PyObject* sources_arg, PyObject* messages_arg, std::vector<BufferView>& views,
                std::vector<Bytes>& sources, std::vector<MessageRef>& refs) {
  PyRef source_seq = PyRef::steal(PySequence_Fast(sources_arg, "sources must be a sequence of buffers"));
  if (!source_seq) return false;
  const Py_ssize_t n_sources = PySequence_Fast_GET_SIZE(source_seq.get());
  views = std::vector<BufferView>(static_cast<std::size_t>(n_sources));
  sources.resize(views.size());
  for (Py_ssize_t i = 0; i < n_sources; ++i) {
    if (!views[i].acquire(PySequence_Fast_GET_ITEM(source_seq.get(), i), "each source")) return false;
    sources[i] = views[i].bytes();
  }
  if (PyObject_CheckBuffer(messages_arg)) return to_message_array(messages_arg, sources.size(), refs);
  PyRef message_seq = PyRef::steal(PySequence_Fast(messages_arg, "messages must be a sequence of tuples"));
  if (!message_seq) return false;
  const Py_ssize_t n_messages = PySequence_Fast_GET_SIZE(message_seq.get());
  refs.resize(static_cast<std::size_t>(n_messages));
  for (Py_ssize_t i = 0; i < n_messages; ++i) {
    if (!to_message_ref(PySequence_Fast_GET_ITEM(message_seq.get(), i), sources.size(), refs[i]))
      return false;
  }
  return true;
}

// A sequence of str into `out`.
bool to_strings(PyObject* o, const char* what, std::vector<std::string>& out) {
  PyRef seq = PyRef::steal(PySequence_Fast(o, "expected a sequence of str"));
  if (!seq) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
    if (text == nullptr) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s must hold str", what);
      return false;
    }
    out.emplace_back(text, static_cast<std::size_t>(size));
  }
  return true;
}

constexpr const char* kDecodeNames[] = {
    "sources", "messages", "tables", "threads", "keys", "with_source", "max_message_rows"};

// The caller's cap on the rows of one message: a positive int, or the default when absent.
bool to_max_rows(PyObject* o, std::uint64_t& out) {
  if (o == nullptr) return true;
  const long long n = PyLong_AsLongLong(o);
  if (n == -1 && PyErr_Occurred()) return false;
  if (n < 1) {
    PyErr_SetString(PyExc_ValueError, "max_message_rows must be at least 1");
    return false;
  }
  out = static_cast<std::uint64_t>(n);
  return true;
}

PyObject* decode(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* parsed[7];
    if (!parse_args({"decode", kDecodeNames, 7, 4}, args, nargs, kwnames, parsed)) return nullptr;
    PyObject *sources_arg = parsed[0], *messages_arg = parsed[1], *tables_arg = parsed[2];
    PyObject* with_source = parsed[5] == nullptr ? Py_None : parsed[5];
    const EngineState& state = engine_state(module);
    if (!PyObject_TypeCheck(tables_arg, state.tables_type)) {
      PyErr_Format(PyExc_TypeError, "tables must be a Tables, not %.100s", Py_TYPE(tables_arg)->tp_name);
      return nullptr;
    }
    std::uint32_t threads = 0;
    if (!to_u32(parsed[3], "threads", threads)) return nullptr;
    const int keys = parsed[4] == nullptr ? 0 : PyObject_IsTrue(parsed[4]);
    if (keys < 0) return nullptr;
    if (threads < 1) {
      PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
      return nullptr;
    }
    std::vector<BufferView> views;
    std::vector<Bytes> sources;
    std::vector<MessageRef> refs;
    if (!to_sources(sources_arg, messages_arg, views, sources, refs)) return nullptr;
    const auto n_sources = static_cast<Py_ssize_t>(sources.size());
    const int source_column = with_source == Py_None ? n_sources > 1 : PyObject_IsTrue(with_source);
    if (source_column < 0) return nullptr;
    ColumnarOptions options{static_cast<unsigned>(threads), keys != 0, source_column != 0};
    if (!to_max_rows(parsed[6], options.budget.max_rows)) return nullptr;
    TableChooser& chooser = tables_chooser(tables_arg);
    ColumnarOutput out;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS try { out = decode_columns(sources, refs, chooser, options); } catch (...) {
      failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
    if (!warn_table_notes(chooser)) return nullptr;

    PyRef bad = PyRef::steal(bad_list(out.bad));
    if (!bad) return nullptr;
    PyRef batch = PyRef::steal(new_batch(state.batch_type, std::move(out.batches)));
    if (!batch) return nullptr;
    return PyTuple_Pack(2, batch.get(), bad.get());
  });
}

constexpr const char* kRowNames[] = {"sources",
                                     "messages",
                                     "tables",
                                     "threads",
                                     "keys",
                                     "flat",
                                     "required",
                                     "max_message_rows",
                                     "filters",
                                     "programs"};

// A number of a filter: an int or a float (not a bool).
bool to_filter_number(PyObject* o, double& out) {
  if (PyBool_Check(o) || !(PyLong_Check(o) || PyFloat_Check(o))) {
    PyErr_SetString(PyExc_TypeError, "filter bounds and numbers must be int or float");
    return false;
  }
  out = PyFloat_AsDouble(o);
  return !(out == -1.0 && PyErr_Occurred());
}

// One (key, values, low, high) filter of read_rows: `values` a sequence of numbers and str, or
// None for the range [low, high] (None: unbounded).
bool to_row_filter(PyObject* item, const std::vector<std::string>& keys, RowFilter& out) {
  PyObject *key = nullptr, *values = nullptr, *low = nullptr, *high = nullptr;
  if (!PyTuple_Check(item) || !PyArg_UnpackTuple(item, "filter", 4, 4, &key, &values, &low, &high)) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_TypeError, "filters must hold (key, values, low, high) tuples");
    return false;
  }
  std::vector<std::string> name;
  PyRef one = PyRef::steal(PyTuple_Pack(1, key));
  if (!one || !to_strings(one.get(), "a filter's key", name)) return false;
  const auto at = std::find(keys.begin(), keys.end(), name[0]);
  if (at == keys.end()) {
    PyErr_Format(PyExc_ValueError, "filtered key '%s' is not among the keys", name[0].c_str());
    return false;
  }
  out.key = static_cast<std::size_t>(at - keys.begin());
  if (values == Py_None) {
    out.range = true;
    return (low == Py_None || to_filter_number(low, out.low)) &&
           (high == Py_None || to_filter_number(high, out.high));
  }
  PyRef seq = PyRef::steal(PySequence_Fast(values, "a filter's values must be a sequence"));
  if (!seq) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    PyObject* v = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (PyUnicode_Check(v)) {
      PyRef text = PyRef::steal(PyTuple_Pack(1, v));
      if (!text || !to_strings(text.get(), "a filter's values", out.texts)) return false;
      continue;
    }
    double number = 0;
    if (!to_filter_number(v, number)) return false;
    out.numbers.push_back(number);
  }
  return true;
}

PyObject* read_rows(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* parsed[10];
    if (!parse_args({"read_rows", kRowNames, 10, 5}, args, nargs, kwnames, parsed)) return nullptr;
    const EngineState& state = engine_state(module);
    if (!PyObject_TypeCheck(parsed[2], state.tables_type)) {
      PyErr_Format(PyExc_TypeError, "tables must be a Tables, not %.100s", Py_TYPE(parsed[2])->tp_name);
      return nullptr;
    }
    std::uint32_t threads = 0;
    if (!to_u32(parsed[3], "threads", threads)) return nullptr;
    if (threads < 1) {
      PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
      return nullptr;
    }
    const int flat = parsed[5] == nullptr ? 0 : PyObject_IsTrue(parsed[5]);
    if (flat < 0) return nullptr;
    const int programs = parsed[9] == nullptr ? 1 : PyObject_IsTrue(parsed[9]);
    if (programs < 0) return nullptr;
    std::vector<std::string> keys, required;
    if (!to_strings(parsed[4], "keys", keys)) return nullptr;
    if (parsed[6] != nullptr && parsed[6] != Py_None && !to_strings(parsed[6], "required", required))
      return nullptr;
    RowOptions options;
    options.threads = threads;
    options.flat = flat != 0;
    options.programs = programs != 0;
    if (!to_max_rows(parsed[7], options.budget.max_rows)) return nullptr;
    for (const std::string& k : keys) options.keys.push_back(RowKey::parse(k));
    for (const std::string& k : required) {
      std::size_t r = 0;
      while (r < keys.size() && keys[r] != k) ++r;
      if (r == keys.size()) {
        PyErr_Format(PyExc_ValueError, "required key '%s' is not among the keys", k.c_str());
        return nullptr;
      }
      options.required.push_back(r);
    }
    if (parsed[8] != nullptr && parsed[8] != Py_None) {
      PyRef filters = PyRef::steal(PySequence_Fast(parsed[8], "filters must be a sequence"));
      if (!filters) return nullptr;
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(filters.get()); ++i) {
        if (!to_row_filter(PySequence_Fast_GET_ITEM(filters.get(), i), keys, options.filters.emplace_back()))
          return nullptr;
      }
    }
    std::vector<BufferView> views;
    std::vector<Bytes> sources;
    std::vector<MessageRef> refs;
    if (!to_sources(parsed[0], parsed[1], views, sources, refs)) return nullptr;
    TableChooser& chooser = tables_chooser(parsed[2]);
    RowOutput out;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS try { out = collect_rows(sources, refs, chooser, options); } catch (...) {
      failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
    if (!warn_table_notes(chooser)) return nullptr;
    if (!out.unknown.empty() && out.bad.size() < refs.size()) {
      std::string names;
      for (const std::string& k : out.unknown) names += (names.empty() ? "" : ", ") + k;
      PyErr_Format(PyExc_KeyError, "no table of the messages read defines the key(s) %s", names.c_str());
      return nullptr;
    }
    PyRef bad = PyRef::steal(bad_list(out.bad));
    if (!bad) return nullptr;
    if (!out.mixed.empty()) {
      PyErr_Format(
          PyExc_ValueError, "key %s holds text in some messages and numbers in others", out.mixed.c_str());
      return nullptr;
    }
    PyRef batch = PyRef::steal(new_batch(state.batch_type, std::move(out.batches)));
    if (!batch) return nullptr;
    if (!options.flat) return PyTuple_Pack(2, batch.get(), bad.get());
    PyRef shapes = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(out.shapes.size())));
    if (!shapes) return nullptr;
    for (std::size_t i = 0; i < out.shapes.size(); ++i) {
      PyRef shape = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(out.shapes[i].size())));
      if (!shape) return nullptr;
      for (std::size_t j = 0; j < out.shapes[i].size(); ++j) {
        PyObject* column = PyLong_FromLong(out.shapes[i][j]);
        if (column == nullptr) return nullptr;
        PyList_SET_ITEM(shape.get(), static_cast<Py_ssize_t>(j), column);
      }
      PyList_SET_ITEM(shapes.get(), static_cast<Py_ssize_t>(i), shape.release());
    }
    return PyTuple_Pack(3, batch.get(), bad.get(), shapes.get());
  });
}

constexpr const char* kHeaderTableNames[] = {"sources", "messages", "keys"};

PyObject* read_header_table(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* parsed[3];
    if (!parse_args({"read_header_table", kHeaderTableNames, 3, 2}, args, nargs, kwnames, parsed))
      return nullptr;
    std::vector<std::size_t> keys;
    if (parsed[2] == nullptr || parsed[2] == Py_None) {
      for (std::size_t k = 0; k < header_keys().size(); ++k) keys.push_back(k);
    } else {
      std::vector<std::string> names;
      if (!to_strings(parsed[2], "keys", names)) return nullptr;
      for (const std::string& name : names) {
        const int k = header_key_index(name);
        if (k < 0) {
          PyErr_Format(PyExc_KeyError, "'%s' is not a header key", name.c_str());
          return nullptr;
        }
        keys.push_back(static_cast<std::size_t>(k));
      }
    }
    std::vector<BufferView> views;
    std::vector<Bytes> sources;
    std::vector<MessageRef> refs;
    if (!to_sources(parsed[0], parsed[1], views, sources, refs)) return nullptr;
    HeaderOutput out;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS try { out = collect_headers(sources, refs, keys); } catch (...) {
      failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
    PyRef bad = PyRef::steal(bad_list(out.bad));
    if (!bad) return nullptr;
    std::vector<std::shared_ptr<HeaderBatch>> one(1);
    one[0] = std::move(out.batch);
    PyRef batch = PyRef::steal(new_batch(engine_state(module).batch_type, std::move(one)));
    if (!batch) return nullptr;
    return PyTuple_Pack(2, batch.get(), bad.get());
  });
}

PyMethodDef read_header_table_def = fastcall(
    "read_header_table", read_header_table,
    "read_header_table(sources, messages, keys=None)\n--\n\n"
    "The header keys `keys` (None: every one) of messages [(source position, message index, offset,\n"
    "length), ...] in one pass: (Batch, bad). The batch has a column message (the index) and one per key,\n"
    "typed as header_keys() says, null where a message has no such key; one row per message whose header\n"
    "reads. bad lists the others as decode() does.");

PyMethodDef read_rows_def = fastcall(
    "read_rows", read_rows,
    "read_rows(sources, messages, tables, threads, keys, flat=False, required=None, "
    "max_message_rows=4194304, filters=None, programs=True)\n--\n\n"
    "Decodes messages as decode() does and gathers the rows of `keys` (plain or numbered \"#n#key\", or an\n"
    "attribute of one, \"key->percentConfidence\", \"#n#key->substitutedValue\", in the row of its element) "
    "by the\n"
    "hierarchy of coordinates (elements of classes 01 to 09). Returns (Batch, bad) as decode() does; the\n"
    "batch's columns are message, subset and one per key, typed by its table entry. A row holds at least\n"
    "one of the keys, and every key of `required` (a missing value counts). `filters`: (key, values, low,\n"
    "high) tuples, each a condition a kept row's value of the key meets: one of `values` (numbers and str),\n"
    "or when values is None a number within [low, high] (None: unbounded); a missing value meets none.\n"
    "Texts come without the spaces and NULs that pad them. KeyError names the keys that\n"
    "no table of the decoded messages defines; ValueError a key that is text in some messages and numbers\n"
    "in others.\n"
    "flat gives one row per subset instead, every element a column \"#n#key\" numbered as ecCodes numbers\n"
    "keys (per subset in uncompressed data), columns in the order first met; `keys` then names the keys a\n"
    "message must hold (a plain key: any occurrence) to give rows. It returns (Batch, bad, shapes): the\n"
    "batch has a column shape after subset, the index in shapes of the list of the key columns (0 for the\n"
    "first after shape) that the row holds, in its message's order.\n"
    "programs=False walks each message's descriptors value by value instead of replaying its compiled\n"
    "template (and passing over what no key needs in one move): the same rows, slower.");

PyMethodDef decode_def = fastcall(
    "decode", decode,
    "decode(sources, messages, tables, threads, keys=False, with_source=None, "
    "max_message_rows=4194304)\n--\n\n"
    "Decodes messages [(source position, message index, offset, length), ...] (or those rows as an int64\n"
    "array of shape (n, 4), read in place) of the buffers `sources` on\n"
    "`threads` threads, without the GIL. Returns (Batch, [(message index, offset, kind, reason, source "
    "position), ...]).\n"
    "keys adds the key column; with_source the source column (None: when there are several sources).\n"
    "A message that gives more rows than 64 per octet plus 65536, or than max_message_rows, or more text\n"
    "than 16 octets per octet plus 1 MiB, or than 16 per row of max_message_rows, is a bad message.");

}  // namespace

PyObject* new_long_batch(PyTypeObject* type, std::vector<std::shared_ptr<ColumnBatch>> batches) {
  return new_batch(type, std::move(batches));
}

PyObject* bad_messages(const std::vector<BadMessage>& bad) { return bad_list(bad); }

bool max_rows_argument(PyObject* o, std::uint64_t& out) { return to_max_rows(o, out); }

bool register_engine_batch(PyObject* m, EngineState& state) {
  state.batch_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(m, &batch_spec, nullptr));
  if (state.batch_type == nullptr) return false;
  if (!add_type(m, state.batch_type, "Batch")) return false;
  PyRef name = PyRef::steal(PyModule_GetNameObject(m));
  if (!name) return false;
  PyRef function = PyRef::steal(PyCFunction_NewEx(&decode_def, m, name.get()));
  if (!function || !add_to_module(m, "decode", function.get())) return false;
  PyRef rows = PyRef::steal(PyCFunction_NewEx(&read_rows_def, m, name.get()));
  if (!rows || !add_to_module(m, "read_rows", rows.get())) return false;
  PyRef headers = PyRef::steal(PyCFunction_NewEx(&read_header_table_def, m, name.get()));
  return headers && add_to_module(m, "read_header_table", headers.get());
}

}  // namespace quorvex::py
