// read_tree(): one message's values in the long table's shape together with the nesting the
// walk stated while decoding them (sequences, replications and their repetitions) and the
// element each attribute qualifies, so that a viewer prints the structure without walking
// descriptors itself.
#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "columnar/batch_builder.hpp"
#include "columnar/columns.hpp"
#include "columnar/rows.hpp"
#include "decode/structure.hpp"
#include "engine/engine.hpp"

namespace quorvex::py {

namespace {

const char* event_name(StructureEvent::Kind kind) {
  switch (kind) {
    case StructureEvent::Kind::Sequence:
      return "sequence";
    case StructureEvent::Kind::Replication:
      return "replication";
    case StructureEvent::Kind::Repetition:
      return "repetition";
    case StructureEvent::Kind::Close:
      return "close";
  }
  return "close";
}

// The rows of the long table are the message's records in order (uncompressed), or subset
// after subset of every column (compressed): the row of position `at` in subset `s`.
struct RowMap {
  bool compressed;
  std::size_t columns;
  std::size_t row(std::size_t s, std::size_t at) const { return compressed ? s * columns + at : at; }
};

// [[(kind, code, count, row), ...] per subset]: the events of each subset, `row` the first
// row after the event.
PyObject* event_lists(const MessageStructure& st, const RowMap& rows, std::size_t subsets) {
  PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(subsets)));
  if (!out) return nullptr;
  for (std::size_t s = 0; s < subsets; ++s) {
    // Compressed data state one nesting for every subset.
    const std::size_t k = rows.compressed ? 0 : s;
    const std::size_t first = k < st.subset_starts.size() ? st.subset_starts[k] : st.events.size();
    const std::size_t last = k + 1 < st.subset_starts.size() ? st.subset_starts[k + 1] : st.events.size();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(last - first)));
    if (!list) return nullptr;
    for (std::size_t e = first; e < last; ++e) {
      const StructureEvent& ev = st.events[e];
      PyObject* item = Py_BuildValue("(sIKn)",
                                     event_name(ev.kind),
                                     static_cast<unsigned>(ev.code),
                                     static_cast<unsigned long long>(ev.count),
                                     static_cast<Py_ssize_t>(rows.row(s, ev.at)));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(e - first), item);
    }
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(s), list.release());
  }
  return out.release();
}

// [(attribute row, qualified row, name or None), ...], subset after subset.
PyObject* link_list(const MessageStructure& st, const MessageValues& values, const TableSet& tables,
                    const RowMap& rows, std::size_t subsets) {
  // A first-order statistic is also a value of its own: the tree keeps it in its place.
  const auto shown = [](const AttributeLink& link) {
    return link.kind != AttributeLink::Kind::FirstOrderStatistic;
  };
  const std::size_t copies = rows.compressed ? subsets : 1;
  const auto per_copy =
      static_cast<std::size_t>(std::count_if(st.attributes.begin(), st.attributes.end(), shown));
  PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(copies * per_copy)));
  if (!out) return nullptr;
  Py_ssize_t i = 0;
  for (std::size_t s = 0; s < copies; ++s) {
    for (const AttributeLink& link : st.attributes) {
      if (!shown(link)) continue;
      const DecodedValue& v =
          values.compressed ? values.columns.columns[link.value].fixed : values.records.values[link.value];
      const std::string_view name = link_name(link.kind, v, tables);
      PyObject* item = Py_BuildValue("(nnz#)",
                                     static_cast<Py_ssize_t>(rows.row(s, link.value)),
                                     static_cast<Py_ssize_t>(rows.row(s, link.target)),
                                     name.empty() ? nullptr : name.data(),
                                     static_cast<Py_ssize_t>(name.size()));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(out.get(), i++, item);
    }
  }
  return out.release();
}

constexpr const char* kTreeNames[] = {"buffer", "offset", "length", "tables", "max_message_rows"};

PyObject* read_tree(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* parsed[5];
    if (!parse_args({"read_tree", kTreeNames, 5, 4}, args, nargs, kwnames, parsed)) return nullptr;
    const EngineState& state = engine_state(module);
    if (!check_instance(parsed[3], state.tables_type, "tables", "Tables")) return nullptr;
    BufferView view;
    std::size_t offset = 0, length = 0;
    if (!view.acquire(parsed[0], "buffer") || !to_offset(parsed[1], "offset", offset) ||
        !to_offset(parsed[2], "length", length)) {
      return nullptr;
    }
    ColumnarOptions options{.threads = 1, .keys = true};
    if (!max_rows_argument(parsed[4], options.budget.max_rows)) return nullptr;
    TableChooser& chooser = tables_chooser(parsed[3]);
    const Bytes sources[] = {view.bytes()};
    const MessageRef ref{.source = 0, .index = 0, .offset = offset, .length = length};

    MessageValues values;
    MessageStructure structure;
    std::shared_ptr<const TableSet> tables;
    std::optional<BufrError> error;
    std::vector<BadMessage> bad;
    BatchBuilder builder(options);
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS try {
      if (!decode_one(sources, ref, chooser, true, values, tables, error, nullptr, nullptr, &structure)) {
        bad.push_back(BadMessage{ref.index, ref.offset, std::move(*error), 0});
      } else if (std::optional<BufrError> over = over_budget(values, length, options.budget)) {
        bad.push_back(BadMessage{ref.index, ref.offset, std::move(*over), 0});
      } else if (const std::size_t text = text_bytes_of(values); text > kMaxUtf8Bytes) {
        bad.push_back(BadMessage{ref.index, ref.offset, BufrError::batch_text_overflow(), 0});
      } else {
        builder.append(values, text, ref, tables);
      }
    } catch (...) {
      failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
    if (!warn_table_notes(chooser)) return nullptr;

    const std::size_t subsets = !bad.empty()        ? 0
                                : values.compressed ? values.columns.subsets
                                                    : values.records.subset_starts.size();
    const RowMap rows{values.compressed, values.compressed ? values.columns.columns.size() : 0};
    PyRef batch = PyRef::steal(new_long_batch(state.batch_type, builder.take(true)));
    if (!batch) return nullptr;
    PyRef bad_list = PyRef::steal(bad_messages(bad));
    if (!bad_list) return nullptr;
    PyRef events = PyRef::steal(event_lists(structure, rows, subsets));
    if (!events) return nullptr;
    PyRef links =
        PyRef::steal(bad.empty() ? link_list(structure, values, *tables, rows, subsets) : PyList_New(0));
    if (!links) return nullptr;
    return PyTuple_Pack(4, batch.get(), bad_list.get(), events.get(), links.get());
  });
}

PyMethodDef read_tree_def = fastcall(
    "read_tree", read_tree,
    "read_tree(buffer, offset, length, tables, max_message_rows=4194304)\n--\n\n"
    "Decodes the message at buffer[offset:offset + length] as decode() does, with the key columns, and\n"
    "states its nesting as the decoder walked it. Returns (Batch, bad, events, links): bad as decode()\n"
    "gives it (the other results are then empty); events, one list per subset, of (kind, code, count,\n"
    "row), kind one of \"sequence\" (code), \"replication\" (code, count repetitions; a delayed one's\n"
    "factor is the row before), \"repetition\" (count: its number from 1) and \"close\" (the innermost\n"
    "sequence or replication ends), row the first row of the batch after the event; links, (row of an\n"
    "attribute, row of the element it qualifies, the name it goes by there or None for an associated\n"
    "field) for quality information, substituted and replaced values and associated fields.");

}  // namespace

bool register_engine_tree(PyObject* m) {
  PyRef name = PyRef::steal(PyModule_GetNameObject(m));
  if (!name) return false;
  PyRef function = PyRef::steal(PyCFunction_NewEx(&read_tree_def, m, name.get()));
  return function && add_to_module(m, "read_tree", function.get());
}

}  // namespace quorvex::py
