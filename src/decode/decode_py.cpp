// The value-decoding module functions: decode_values, decode_values_with_tables and
// decode_values_with_definitions. Each decodes the first message of its buffer.
#include <string>
#include <utility>

#include "decode/decode.hpp"
#include "decode/decoded_value_py.hpp"
#include "lib/frame_py.hpp"
#include "message/message.hpp"
#include "tables/eccodes_loader.hpp"
#include "tables/table_selection.hpp"

namespace quorvex::py {

namespace {

// The first message of a buffer, parsed, with its own octets. The whole buffer is
// scanned first: a framing failure anywhere ends the call.
struct FirstMessage {
  BufrMessage record;
  Bytes octets;
};

Result<FirstMessage> first_message(Bytes data) {
  const std::vector<MessageView> views = QV_TRY(scan_messages(data));
  if (views.empty()) return fail(BufrError::missing_marker());
  const Bytes octets = data.subspan(views.front().offset, views.front().length);
  BufrMessage record = QV_TRY(parse_message(octets));
  return FirstMessage{std::move(record), octets};
}

// Decodes section 4 of `message` against `tables` into a new list of DecodedValue; `names`
// are the strs of a TableSet object's names, when the tables have one.
PyObject* decode_to_list(const FirstMessage& message, const TableSet& tables,
                         const StrTable* names = nullptr) {
  Result<DecodeResult> result =
      decode_data_section(message.record, tables, section4_data(message.octets, message.record));
  if (!result) return raise(result.error());
  return new_decoded_value_list(*result, names);
}

constexpr const char* kValuesNames[] = {"data", "table_dir"};
constexpr Signature kValuesSignature{"decode_values", kValuesNames, 2};

PyObject* decode_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[2];
    if (!parse_args(kValuesSignature, args, nargs, kwnames, argv)) return nullptr;
    Bytes data;
    std::string table_dir;
    if (!to_bytes(argv[0], "data", data) || !to_path(argv[1], "table_dir", table_dir)) {
      return nullptr;
    }
    Result<FirstMessage> message = first_message(data);
    if (!message) return raise(message.error());
    Result<TableSet> tables = load_table_directory(table_dir);
    if (!tables) return raise(tables.error());
    return decode_to_list(*message, *tables);
  });
}

constexpr const char* kTablesNames[] = {"data", "tables"};
constexpr Signature kTablesSignature{"decode_values_with_tables", kTablesNames, 2};

PyObject* decode_values_with_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[2];
    if (!parse_args(kTablesSignature, args, nargs, kwnames, argv)) return nullptr;
    Bytes data;
    if (!to_bytes(argv[0], "data", data) ||
        !check_instance(argv[1], table_set_type(), "tables", "TableSet")) {
      return nullptr;
    }
    Result<FirstMessage> message = first_message(data);
    if (!message) return raise(message.error());
    return decode_to_list(*message, table_set_record(argv[1]), &table_set_names(argv[1]));
  });
}

constexpr const char* kDefinitionsNames[] = {"data", "definitions_root"};
constexpr Signature kDefinitionsSignature{"decode_values_with_definitions", kDefinitionsNames, 2};

PyObject* decode_values_with_definitions(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[2];
    if (!parse_args(kDefinitionsSignature, args, nargs, kwnames, argv)) return nullptr;
    Bytes data;
    std::string root;
    if (!to_bytes(argv[0], "data", data) || !to_path(argv[1], "definitions_root", root)) {
      return nullptr;
    }
    Result<FirstMessage> message = first_message(data);
    if (!message) return raise(message.error());
    Result<TableSet> tables = select_definitions_tables(root, message->record);
    if (!tables) return raise(tables.error());
    return decode_to_list(*message, *tables);
  });
}

PyMethodDef decode_functions[] = {
    fastcall("decode_values", decode_values, "decode_values(data, table_dir)\n--\n\n"),
    fastcall("decode_values_with_tables", decode_values_with_tables,
             "decode_values_with_tables(data, tables)\n--\n\n"),
    fastcall("decode_values_with_definitions", decode_values_with_definitions,
             "decode_values_with_definitions(data, definitions_root)\n--\n\n"),
};

}  // namespace

bool register_decode_functions(PyObject* m) {
  for (PyMethodDef& def : decode_functions) {
    if (!add_function(m, &def)) return false;
  }
  return true;
}

}  // namespace quorvex::py
