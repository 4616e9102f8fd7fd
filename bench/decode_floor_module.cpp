// _quorvex_floor: a benchmark-only extension module (built with -DQUORVEX_BENCH=ON, never
// installed) that measures the floor of the decode benchmark: the cost of merely making a
// list of DecodedValue objects, through the same conversion the decode functions use, and
// freeing it again. It contains its own copy of the DecodedValue class.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "decode/decoded_value_py.hpp"
#include "lib/frame_py.hpp"

namespace {

using quorvex::DecodedValue;
using quorvex::py::PyRef;

// floor_seconds(counts, names, repeats) -> the best time of one round, in seconds.
// A round goes through the messages: for message i it makes a list of counts[i] DecodedValue
// objects from native records (numbers whose names cycle over names[i] distinct strings,
// whose strs are made beforehand, as a TableSet makes those of its names) with the
// conversion the decode functions use, and frees the list. Only the conversion and the
// freeing are timed: the cost of the objects alone, message by message.
PyObject* floor_seconds(PyObject*, PyObject* args) {
  PyObject* counts_arg = nullptr;
  PyObject* names_arg = nullptr;
  int repeats = 1;
  if (!PyArg_ParseTuple(args, "OOi", &counts_arg, &names_arg, &repeats)) return nullptr;
  std::vector<std::uint32_t> counts;
  std::vector<std::uint32_t> distinct;
  if (!quorvex::py::to_codes(counts_arg, "counts", counts) ||
      !quorvex::py::to_codes(names_arg, "names", distinct)) {
    return nullptr;
  }
  if (counts.size() != distinct.size() || repeats < 1) {
    PyErr_SetString(PyExc_ValueError, "one name count per message, and repeats >= 1");
    return nullptr;
  }
  return quorvex::py::guarded([&]() -> PyObject* {
    const std::uint32_t largest = counts.empty() ? 0 : *std::ranges::max_element(counts);
    const std::uint32_t most_names = distinct.empty() ? 1 : *std::ranges::max_element(distinct);
    std::vector<std::string> names(std::max<std::uint32_t>(most_names, 1));
    for (std::size_t k = 0; k < names.size(); ++k) names[k] = "ELEMENT NAME " + std::to_string(k);
    quorvex::py::StrTable shared;
    shared.reserve(names.size());
    for (const std::string& name : names) {
      if (shared.get(&name) == nullptr) return nullptr;
    }
    std::vector<DecodedValue> values(largest);
    for (std::size_t k = 0; k < largest; ++k) {
      DecodedValue& v = values[k];
      v.raw = k & 0xFFFF;
      v.raw_value = static_cast<double>(v.raw) / 10.0;
      v.descriptor = 12101;
      v.flags = DecodedValue::kHasValue | DecodedValue::kHasRaw;
    }
    std::uint32_t cycle = 0;  // the name period the records are set up for
    const std::vector<std::string> texts;
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
      std::chrono::duration<double> total{0};
      for (std::size_t m = 0; m < counts.size(); ++m) {
        const std::uint32_t period = std::max<std::uint32_t>(distinct[m], 1);
        if (period != cycle) {
          for (std::size_t k = 0; k < largest; ++k) values[k].name = &names[k % period];
          cycle = period;
        }
        const auto start = std::chrono::steady_clock::now();
        PyRef list = PyRef::steal(quorvex::py::new_decoded_value_list(
            std::span<const DecodedValue>(values).first(counts[m]), texts, &shared));
        if (!list) return nullptr;
        list = PyRef();
        total += std::chrono::steady_clock::now() - start;
      }
      best = std::min(best, total.count());
    }
    return PyFloat_FromDouble(best);
  });
}

PyMethodDef floor_methods[] = {
    {"floor_seconds", floor_seconds, METH_VARARGS, "floor_seconds(counts, names, repeats)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    "_quorvex_floor",
    "",
    -1,
    floor_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__quorvex_floor(void) {
  return quorvex::py::guarded([]() -> PyObject* {
    PyRef module = PyRef::steal(PyModule_Create(&floor_module));
    if (!module || !quorvex::py::register_decoded_value(module.get())) return nullptr;
    return module.release();
  });
}
