// quorvex._engine's computed keys: columns that read_dataframe derives from decoded ones,
// computed here row by row from the Arrow chunks of their parts, read in place.
#include <array>
#include <cstring>
#include <deque>
#include <vector>

#include "columnar/computed_keys.hpp"
#include "engine/engine.hpp"

namespace quorvex::py {

namespace {

// One part's chunks, from a list of (kind, validity or None, values, offset, length) tuples:
// kind "l" (int64) or "d" (float64), the buffers as Arrow lays them out. The buffers stay held
// in `held`. Returns the part's rows, or -1 with the error set.
Py_ssize_t read_chunks(PyObject* list, const char* arg, std::vector<NumberChunk>& out,
                       std::deque<BufferView>& held) {
  PyRef items = PyRef::steal(PySequence_Fast(list, "a part must be a list of chunks"));
  if (!items) return -1;
  Py_ssize_t rows = 0;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    const char* kind = nullptr;
    PyObject *valid = nullptr, *values = nullptr;
    Py_ssize_t offset = 0, length = 0;
    if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "sOOnn", &kind, &valid, &values, &offset, &length)) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "a chunk of %s must be a tuple", arg);
      return -1;
    }
    NumberChunk chunk;
    if (std::strcmp(kind, "l") == 0) {
      chunk.kind = NumberChunk::Kind::Int64;
    } else if (std::strcmp(kind, "d") != 0) {
      PyErr_Format(
          PyExc_ValueError, "a chunk of %s is \"l\" (int64) or \"d\" (float64), not %.20s", arg, kind);
      return -1;
    }
    if (offset < 0 || length < 0) {
      PyErr_Format(PyExc_ValueError, "a chunk of %s has a negative offset or length", arg);
      return -1;
    }
    const auto end = static_cast<std::size_t>(offset) + static_cast<std::size_t>(length);
    BufferView& data = held.emplace_back();
    if (!data.acquire_array(values, arg)) return -1;
    if (data.size() < end * 8) {
      PyErr_Format(PyExc_ValueError, "a chunk of %s holds fewer values than its offset and length", arg);
      return -1;
    }
    chunk.values = data.data();
    if (valid != Py_None) {
      BufferView& bits = held.emplace_back();
      if (!bits.acquire_array(valid, arg)) return -1;
      if (bits.size() < (end + 7) / 8) {
        PyErr_Format(PyExc_ValueError, "a chunk of %s has a validity bitmap shorter than its rows", arg);
        return -1;
      }
      chunk.valid = static_cast<const std::uint8_t*>(bits.data());
    }
    chunk.offset = static_cast<std::size_t>(offset);
    chunk.length = static_cast<std::size_t>(length);
    out.push_back(chunk);
    rows += length;
  }
  return rows;
}

constexpr const char* kDateNames[] = {"year", "month", "day", "hour", "minute", "second", "out"};

// date_stamps(year, month, day, hour, minute, second, out) -> null_count
PyObject* date_stamps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* parsed[7];
    if (!parse_args({"date_stamps", kDateNames, 7}, args, nargs, kwnames, parsed)) return nullptr;
    BufferView out;
    if (!out.acquire_array(parsed[6], "out", true)) return nullptr;
    if (!out.int64_items()) {
      PyErr_SetString(PyExc_TypeError, "out must be a one-dimensional array of int64");
      return nullptr;
    }
    const std::size_t rows = out.size() / 8;
    std::array<std::vector<NumberChunk>, 6> chunks;
    std::deque<BufferView> held;  // in place: a buffer is released where it was taken
    for (std::size_t k = 0; k < 6; ++k) {
      const Py_ssize_t n = read_chunks(parsed[k], kDateNames[k], chunks[k], held);
      if (n < 0) return nullptr;
      if (static_cast<std::size_t>(n) != rows) {
        PyErr_Format(PyExc_ValueError, "%s has %zd rows, out %zu", kDateNames[k], n, rows);
        return nullptr;
      }
    }
    const DateParts parts{chunks[0], chunks[1], chunks[2], chunks[3], chunks[4], chunks[5]};
    std::size_t missing = 0;
    Py_BEGIN_ALLOW_THREADS missing =
        quorvex::date_stamps(parts, {static_cast<std::int64_t*>(out.data()), rows});
    Py_END_ALLOW_THREADS;
    return PyLong_FromSize_t(missing);
  });
}

PyMethodDef computed_functions[] = {
    fastcall("date_stamps", date_stamps,
             "date_stamps(year, month, day, hour, minute, second, out)\n--\n\n"
             "Writes into `out` (int64, one per row) the dates of their parts, in microseconds since 1970,\n"
             "numpy's NaT where a row has none; returns how many have none. Each part is a list of\n"
             "Arrow chunks (kind, validity or None, values, offset, length), kind \"l\" (int64) or \"d\"\n"
             "(float64). A date is missing where its year, month, day or hour is, where a part is out of\n"
             "range or the day past its month's end; a missing minute or second counts as 0."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_engine_computed(PyObject* m) { return PyModule_AddFunctions(m, computed_functions) == 0; }

}  // namespace quorvex::py
