// quorvex._engine's writers: messages encoded again as edition 4, and messages written from
// an Arrow table (one row per subset).
#include <cstring>
#include <memory>
#include <span>

#include "columnar/arrow_abi.hpp"
#include "columnar/table_choice.hpp"
#include "encode/header_fields.hpp"
#include "encode/reencode.hpp"
#include "encode/table_writer.hpp"
#include "engine/engine.hpp"

namespace quorvex::py {

namespace {

constexpr const char* kReencodeNames[] = {"buffer", "offset", "length", "tables", "compressed"};

PyObject* reencode(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* parsed[5];
    if (!parse_args({"reencode", kReencodeNames, 5, 4}, args, nargs, kwnames, parsed)) return nullptr;
    BufrMessage message;
    if (!message_argument(parsed, message)) return nullptr;
    if (!PyObject_TypeCheck(parsed[3], engine_state(module).tables_type)) {
      PyErr_Format(PyExc_TypeError, "tables must be a Tables, not %.100s", Py_TYPE(parsed[3])->tp_name);
      return nullptr;
    }
    ReencodeOptions options;
    if (parsed[4] != nullptr && parsed[4] != Py_None) {
      const int compressed = PyObject_IsTrue(parsed[4]);
      if (compressed < 0) return nullptr;
      options.compressed = compressed != 0;
    }
    BufferView buffer;
    std::size_t offset = 0, length = 0;
    if (!buffer.acquire(parsed[0], "buffer") || !to_offset(parsed[1], "offset", offset) ||
        !to_offset(parsed[2], "length", length)) {
      return nullptr;
    }
    const Bytes octets = buffer.bytes().subspan(offset, length);
    TableChooser& chooser = tables_chooser(parsed[3]);
    Result<std::vector<std::uint8_t>> written = fail(BufrError::too_short());
    Py_BEGIN_ALLOW_THREADS Result<ChosenTables> chosen = chooser.choose(message);
    written = chosen ? reencode_message(octets, *chosen->tables, options) : fail(chosen.error());
    Py_END_ALLOW_THREADS if (!written) return raise(written.error());
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(written->data()),
                                     static_cast<Py_ssize_t>(written->size()));
  });
}

// An imported Arrow stream, its schema and its batches, released with it.
class ImportedStream {
 public:
  ImportedStream() = default;
  ImportedStream(const ImportedStream&) = delete;
  ImportedStream& operator=(const ImportedStream&) = delete;
  ~ImportedStream() {
    for (ArrowArray& a : batches_) {
      if (a.release != nullptr) a.release(&a);
    }
    if (schema_.release != nullptr) schema_.release(&schema_);
    if (stream_.release != nullptr) stream_.release(&stream_);
  }

  // Takes the stream of `capsule` (its release is then ours); false with the error set (a
  // TypeError for a column of a type the writer does not read).
  bool import(PyObject* capsule);
  const ArrowSchema& schema() const { return schema_; }
  std::span<const ArrowArray> batches() const { return batches_; }

 private:
  ArrowArrayStream stream_{};
  ArrowSchema schema_{};
  std::vector<ArrowArray> batches_;
};

bool ImportedStream::import(PyObject* capsule) {
  auto* source = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (source == nullptr) return false;
  stream_ = *source;
  source->release = nullptr;  // moved
  if (stream_.get_schema(&stream_, &schema_) != 0) {
    PyErr_Format(PyExc_ValueError, "the Arrow stream gave no schema: %s", stream_.get_last_error(&stream_));
    return false;
  }
  if (std::strcmp(schema_.format, "+s") != 0) {
    PyErr_SetString(PyExc_TypeError, "data must be a table (an Arrow stream of struct batches)");
    return false;
  }
  for (std::int64_t c = 0; c < schema_.n_children; ++c) {
    const ArrowSchema& field = *schema_.children[c];
    std::int32_t scale = 0;
    const bool dictionary = field.dictionary != nullptr;
    const auto type = ColumnChunk::of_format(field.format, scale);
    const auto values = dictionary ? ColumnChunk::of_format(field.dictionary->format, scale) : type;
    const bool index = type >= ColumnChunk::Type::Int8 && type <= ColumnChunk::Type::UInt64;
    if (!type || !values || (dictionary && (!index || field.dictionary->dictionary != nullptr))) {
      PyErr_Format(PyExc_TypeError,
                   "column %s: Arrow type '%s%s%s' cannot be written (numbers, booleans, texts, dictionaries "
                   "of them, or nulls)",
                   field.name != nullptr ? field.name : "",
                   field.format,
                   dictionary ? " of " : "",
                   dictionary ? field.dictionary->format : "");
      return false;
    }
  }
  for (;;) {
    ArrowArray batch{};
    if (stream_.get_next(&stream_, &batch) != 0) {
      PyErr_Format(PyExc_ValueError, "the Arrow stream failed: %s", stream_.get_last_error(&stream_));
      return false;
    }
    if (batch.release == nullptr) return true;
    batches_.push_back(batch);
  }
}

// The header dict {key: int} over the defaults; `given` the keys set, with their values.
bool header_argument(PyObject* o, BufrMessage& header,
                     std::vector<std::pair<std::string, std::int64_t>>& given) {
  header = default_header();
  if (o == Py_None) return true;
  if (!PyDict_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "header must be a dict of header keys");
    return false;
  }
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(o, &pos, &key, &value)) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (name == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "header keys must be str");
      return false;
    }
    const long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) return false;
    Status set = set_header_key(header, std::string_view(name, static_cast<std::size_t>(size)), v);
    if (!set) {
      raise(set.error());
      return false;
    }
    given.emplace_back(std::string(name, static_cast<std::size_t>(size)), v);
  }
  return true;
}

constexpr const char* kWriteNames[] = {
    "data", "descriptors", "header", "compressed", "subsets_per_message", "tables", "numbers"};

// Float64 columns given beside the stream as blocks, (names, blocks, rows): `names` every
// column's name, each block (positions, numbers, by_rows) the columns named at `positions`,
// its buffer holding one column of rows numbers after another, or (by_rows) one row after
// another with a number per column (a pandas frame's numbers,
// read where pandas holds them, without a Python object per column). Added to `table` as
// columns of one chunk each.
class NumberBlock {
 public:
  bool parse(PyObject* o);
  void add_to(InputTable& table) const;
  std::size_t rows() const { return rows_; }

 private:
  struct Block {
    BufferView positions;
    BufferView numbers;
    bool by_rows = false;
  };
  std::vector<std::string> names_;
  std::vector<Block> blocks_;
  std::size_t rows_ = 0;
};

bool NumberBlock::parse(PyObject* o) {
  if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != 3 || !PyList_Check(PyTuple_GET_ITEM(o, 0)) ||
      !PyList_Check(PyTuple_GET_ITEM(o, 1))) {
    PyErr_SetString(PyExc_TypeError, "numbers must be a tuple (names, [(positions, numbers)], rows)");
    return false;
  }
  if (!to_offset(PyTuple_GET_ITEM(o, 2), "rows", rows_)) return false;
  PyObject* names = PyTuple_GET_ITEM(o, 0);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
    PyRef text = PyRef::steal(PyObject_Str(PyList_GET_ITEM(names, i)));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8 == nullptr) return false;
    names_.emplace_back(utf8, static_cast<std::size_t>(size));
  }
  PyObject* blocks = PyTuple_GET_ITEM(o, 1);
  blocks_.resize(static_cast<std::size_t>(PyList_GET_SIZE(blocks)));
  for (std::size_t b = 0; b < blocks_.size(); ++b) {
    PyObject* pair = PyList_GET_ITEM(blocks, static_cast<Py_ssize_t>(b));
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 3) {
      PyErr_SetString(PyExc_TypeError, "numbers: each block must be a tuple (positions, numbers, by_rows)");
      return false;
    }
    Block& block = blocks_[b];
    const int by_rows = PyObject_IsTrue(PyTuple_GET_ITEM(pair, 2));
    if (by_rows < 0 || !block.positions.acquire(PyTuple_GET_ITEM(pair, 0), "positions") ||
        !block.numbers.acquire(PyTuple_GET_ITEM(pair, 1), "numbers"))
      return false;
    block.by_rows = by_rows != 0;
    const std::size_t columns = block.positions.bytes().size() / sizeof(std::int64_t);
    if (block.positions.bytes().size() % sizeof(std::int64_t) != 0 ||
        block.numbers.bytes().size() != columns * rows_ * sizeof(double)) {
      PyErr_SetString(PyExc_ValueError,
                      "numbers: a block does not hold rows float64 numbers for each of its int64 positions");
      return false;
    }
    for (std::size_t c = 0; c < columns; ++c) {
      std::int64_t position = 0;
      std::memcpy(&position, block.positions.bytes().data() + c * sizeof position, sizeof position);
      if (position < 0 || static_cast<std::size_t>(position) >= names_.size()) {
        PyErr_SetString(PyExc_ValueError, "numbers: a block's position is not one of the names'");
        return false;
      }
    }
  }
  return true;
}

void NumberBlock::add_to(InputTable& table) const {
  for (const Block& block : blocks_) {
    const auto* numbers = reinterpret_cast<const double*>(block.numbers.bytes().data());
    const std::size_t columns = block.positions.bytes().size() / sizeof(std::int64_t);
    for (std::size_t c = 0; c < columns; ++c) {
      std::int64_t position = 0;
      std::memcpy(&position, block.positions.bytes().data() + c * sizeof position, sizeof position);
      InputColumn column;
      column.name = names_[static_cast<std::size_t>(position)];
      ColumnChunk chunk;
      chunk.type = ColumnChunk::Type::Float64;
      chunk.values = block.by_rows ? numbers + c : numbers + c * rows_;
      chunk.stride = block.by_rows ? columns : 1;
      if (rows_ > 0) column.append(std::move(chunk), rows_);
      table.columns.push_back(std::move(column));
    }
  }
}

PyObject* write_table(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* parsed[7];
    if (!parse_args({"write_table", kWriteNames, 7, 6}, args, nargs, kwnames, parsed)) return nullptr;
    NumberBlock numbers;
    const bool has_numbers = parsed[6] != nullptr && parsed[6] != Py_None;
    if (has_numbers && !numbers.parse(parsed[6])) return nullptr;
    std::vector<std::uint32_t> descriptors;
    BufrMessage header;
    std::vector<std::pair<std::string, std::int64_t>> given;
    std::uint64_t per_message = 0;
    const int compressed = PyObject_IsTrue(parsed[3]);
    if (compressed < 0 || !to_codes(parsed[1], "descriptors", descriptors) ||
        !header_argument(parsed[2], header, given) ||
        !to_u64(parsed[4], "subsets_per_message", per_message)) {
      return nullptr;
    }
    if (!PyObject_TypeCheck(parsed[5], engine_state(module).tables_type)) {
      PyErr_Format(PyExc_TypeError, "tables must be a Tables, not %.100s", Py_TYPE(parsed[5])->tp_name);
      return nullptr;
    }
    PyRef capsule = PyRef::steal(PyObject_CallMethod(parsed[0], "__arrow_c_stream__", nullptr));
    if (!capsule) return nullptr;
    ImportedStream stream;
    if (!stream.import(capsule.get())) return nullptr;
    TableChooser& chooser = tables_chooser(parsed[5]);
    Result<std::vector<std::uint8_t>> written = std::vector<std::uint8_t>{};
    Py_BEGIN_ALLOW_THREADS Result<InputTable> table = input_table(stream.schema(), stream.batches());
    if (table && has_numbers) {
      if (table->columns.empty()) table->rows = numbers.rows();
      if (table->rows == numbers.rows()) {
        numbers.add_to(*table);
      } else {
        table = fail(BufrError::unencodable("the numbers' rows and the table's differ"));
      }
    }
    Result<ChosenTables> chosen = chooser.choose(header);
    if (!table) {
      written = fail(table.error());
    } else if (!chosen) {
      written = fail(chosen.error());
    } else {
      const std::shared_ptr<const TemplateProgram> program =
          chooser.programs().get(chosen->tables, descriptors);
      written = write_table(*table,
                            descriptors,
                            header,
                            *chosen->tables,
                            {.compressed = compressed != 0,
                             .subsets_per_message = per_message,
                             .first_row = 0,
                             .header_keys = given,
                             .program = program.get()});
    }
    Py_END_ALLOW_THREADS if (!written) return raise(written.error());
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(written->data()),
                                     static_cast<Py_ssize_t>(written->size()));
  });
}

PyMethodDef encode_functions[] = {
    fastcall(
        "write_table", write_table,
        "write_table(data, descriptors, header, compressed, subsets_per_message, tables, "
        "numbers=None)\n--\n\n"
        "BUFR edition 4 messages from `data` (an object with __arrow_c_stream__ whose columns, named\n"
        "#n#key, hold numbers, booleans, texts, dictionaries of them, or nulls), one row per subset,\n"
        "under the unexpanded `descriptors`; `header` a dict of header keys over the defaults;\n"
        "subsets_per_message 0 puts every row in one message; `numbers` (names, blocks, rows) adds float64\n"
        "columns: `names` every column's name, each block (positions, numbers, by_rows) the columns named\n"
        "at `positions`, its buffer holding one column of rows numbers after another (by_rows: one row\n"
        "after another). ValueError naming\n"
        "the key, row and value of what cannot be written."),
    fastcall("reencode", reencode,
             "reencode(buffer, offset, length, tables, compressed=None)\n--\n\n"
             "The message at buffer[offset:offset+length] (editions 2, 3 and 4) written again as edition 4\n"
             "with the same header, section 2, descriptors and values; compressed or not as asked (None:\n"
             "as it is). ValueError when it cannot be decoded or a value cannot be written."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_engine_encode(PyObject* m) { return PyModule_AddFunctions(m, encode_functions) == 0; }

}  // namespace quorvex::py
