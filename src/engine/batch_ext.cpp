// The class Batch (decoded columns, handed to Arrow consumers through the PyCapsule
// protocol without a copy) and decode(), which makes one with the GIL released.
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "columnar/arrow_export.hpp"
#include "columnar/columns.hpp"
#include "engine/engine.hpp"

namespace quorvex::py {

namespace {

using Batches = std::vector<std::shared_ptr<const ColumnBatch>>;

// The record batches of one decode call (at least one), in message order.
struct BatchObject {
  PyObject_HEAD
  Batches batches;
};

PyTypeObject* batch_type = nullptr;

const Batches& batches_of(PyObject* o) { return reinterpret_cast<BatchObject*>(o)->batches; }

std::int64_t rows_of(PyObject* o) {
  std::int64_t n = 0;
  for (const auto& b : batches_of(o)) n += b->rows;
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

// A capsule owning `s`, filled by the exporter already; released when no capsule is made.
template <class Struct>
PyObject* new_capsule(Struct* s) {
  PyObject* capsule = PyCapsule_New(s, capsule_name<Struct>, capsule_free<Struct>);
  if (capsule == nullptr) {
    s->release(s);
    delete s;
  }
  return capsule;
}

PyObject* schema_capsule(const ColumnBatch& b) {
  auto* s = new ArrowSchema;
  export_schema(b, s);
  return new_capsule(s);
}

PyObject* array_capsule(const std::shared_ptr<const ColumnBatch>& b) {
  auto* a = new ArrowArray;
  export_array(b, a);
  return new_capsule(a);
}

// The requested_schema argument is accepted and not acted on: the batch has one layout.
bool requested_schema_only(PyObject* args, PyObject* kwargs, const char* format) {
  static const char* names[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &requested) != 0;
}

PyObject* arrow_c_schema(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return schema_capsule(*batches_of(self).front()); });
}

// One struct array: only when the rows are in one record batch.
PyObject* arrow_c_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!requested_schema_only(args, kwargs, "|O:__arrow_c_array__")) return nullptr;
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
PyObject* arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!requested_schema_only(args, kwargs, "|O:__arrow_c_stream__")) return nullptr;
    auto* s = new ArrowArrayStream;
    export_stream(batches_of(self).front(), batches_of(self), s);
    return new_capsule(s);
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
    {"__arrow_c_array__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_c_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\n"},
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_c_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"},
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

PyObject* new_batch(std::vector<std::shared_ptr<ColumnBatch>> batches) {
  PyRef self = PyRef::steal(batch_type->tp_alloc(batch_type, 0));
  if (!self) return nullptr;
  new (&reinterpret_cast<BatchObject*>(self.get())->batches) Batches(batches.begin(), batches.end());
  return self.release();
}

// One (source position, message index, offset, length) entry of decode's message list.
bool to_message_ref(PyObject* item, std::size_t sources, MessageRef& out) {
  Py_ssize_t source = 0, offset = 0, length = 0;
  long long index = 0;
  if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "nLnn", &source, &index, &offset, &length)) {
    if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError,
                      "messages must hold (source position, message index, offset, length) tuples of ints");
    }
    return false;
  }
  if (source < 0 || static_cast<std::size_t>(source) >= sources || offset < 0 || length < 0) {
    PyErr_Format(PyExc_ValueError,
                 "message entry (%zd, %lld, %zd, %zd) is out of range",
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

PyObject* decode(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {
        "sources", "messages", "tables", "threads", "keys", "with_source", "max_message_rows", nullptr};
    PyObject *sources_arg = nullptr, *messages_arg = nullptr, *tables_arg = nullptr, *with_source = Py_None;
    int threads = 1;
    int keys = 0;
    long long max_rows = static_cast<long long>(MessageBudget::kDefaultMaxRows);
    if (!PyArg_ParseTupleAndKeywords(args,
                                     kwargs,
                                     "OOOi|pOL:decode",
                                     const_cast<char**>(names),
                                     &sources_arg,
                                     &messages_arg,
                                     &tables_arg,
                                     &threads,
                                     &keys,
                                     &with_source,
                                     &max_rows)) {
      return nullptr;
    }
    if (max_rows < 1) {
      PyErr_SetString(PyExc_ValueError, "max_message_rows must be at least 1");
      return nullptr;
    }
    if (!PyObject_TypeCheck(tables_arg, engine_tables_type())) {
      PyErr_Format(PyExc_TypeError, "tables must be a Tables, not %.100s", Py_TYPE(tables_arg)->tp_name);
      return nullptr;
    }
    if (threads < 1) {
      PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
      return nullptr;
    }
    PyRef source_seq = PyRef::steal(PySequence_Fast(sources_arg, "sources must be a sequence of buffers"));
    if (!source_seq) return nullptr;
    const Py_ssize_t n_sources = PySequence_Fast_GET_SIZE(source_seq.get());
    std::vector<BufferView> views(static_cast<std::size_t>(n_sources));
    std::vector<Bytes> sources(views.size());
    for (Py_ssize_t i = 0; i < n_sources; ++i) {
      if (!views[i].acquire(PySequence_Fast_GET_ITEM(source_seq.get(), i), "each source")) return nullptr;
      sources[i] = views[i].bytes();
    }
    PyRef message_seq = PyRef::steal(PySequence_Fast(messages_arg, "messages must be a sequence of tuples"));
    if (!message_seq) return nullptr;
    const Py_ssize_t n_messages = PySequence_Fast_GET_SIZE(message_seq.get());
    std::vector<MessageRef> refs(static_cast<std::size_t>(n_messages));
    for (Py_ssize_t i = 0; i < n_messages; ++i) {
      if (!to_message_ref(PySequence_Fast_GET_ITEM(message_seq.get(), i), sources.size(), refs[i]))
        return nullptr;
    }
    const int source_column = with_source == Py_None ? n_sources > 1 : PyObject_IsTrue(with_source);
    if (source_column < 0) return nullptr;
    ColumnarOptions options{static_cast<unsigned>(threads), keys != 0, source_column != 0};
    options.budget.max_rows = static_cast<std::uint64_t>(max_rows);
    TableChooser& chooser = tables_chooser(tables_arg);
    ColumnarOutput out;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS try { out = decode_columns(sources, refs, chooser, options); } catch (...) {
      failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);

    PyRef bad = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(out.bad.size())));
    if (!bad) return nullptr;
    for (std::size_t i = 0; i < out.bad.size(); ++i) {
      const BadMessage& m = out.bad[i];
      PyRef text = PyRef::steal(new_str(m.text));
      if (!text) return nullptr;
      PyObject* item = Py_BuildValue(
          "(LnO)", static_cast<long long>(m.index), static_cast<Py_ssize_t>(m.offset), text.get());
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(bad.get(), static_cast<Py_ssize_t>(i), item);
    }
    PyRef batch = PyRef::steal(new_batch(std::move(out.batches)));
    if (!batch) return nullptr;
    return PyTuple_Pack(2, batch.get(), bad.get());
  });
}

PyMethodDef decode_def = {
    "decode",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode)),
    METH_VARARGS | METH_KEYWORDS,
    "decode(sources, messages, tables, threads, keys=False, with_source=None, "
    "max_message_rows=4194304)\n--\n\n"
    "Decodes messages [(source position, message index, offset, length), ...] of the buffers `sources` on\n"
    "`threads` threads, without the GIL. Returns (Batch, [(message index, offset, error text), ...]).\n"
    "keys adds the key column; with_source the source column (None: when there are several sources).\n"
    "A message that gives more rows than 64 per octet plus 65536, or than max_message_rows, or more text\n"
    "than 16 octets per octet plus 1 MiB, or than 16 per row of max_message_rows, is a bad message."};

}  // namespace

bool register_engine_batch(PyObject* m) {
  if (batch_type == nullptr) {
    batch_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&batch_spec));
    if (batch_type == nullptr) return false;
  }
  return add_type(m, batch_type, "Batch") && add_function(m, &decode_def);
}

}  // namespace quorvex::py
