// quorvex._engine's writer: messages encoded again as edition 4.
#include "columnar/table_choice.hpp"
#include "encode/reencode.hpp"
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

PyMethodDef encode_functions[] = {
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
