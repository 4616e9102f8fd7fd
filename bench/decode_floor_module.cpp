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

// floor_seconds(counts, distinct_names, repeats) -> the best time of one round, in seconds.
// A round makes, for each count c in turn, a list of c DecodedValue objects from native
// records (numbers whose names cycle over `distinct_names` strings) with the conversion the
// decode functions use, and frees it: the cost of the objects alone, message by message.
PyObject* floor_seconds(PyObject*, PyObject* args) {
  PyObject* counts_arg = nullptr;
  unsigned long long distinct = 1;
  int repeats = 1;
  if (!PyArg_ParseTuple(args, "OKi", &counts_arg, &distinct, &repeats)) return nullptr;
  std::vector<std::uint32_t> counts;
  if (!quorvex::py::to_codes(counts_arg, "counts", counts)) return nullptr;
  if (distinct == 0 || distinct > 1000000 || repeats < 1) {
    PyErr_SetString(PyExc_ValueError, "distinct_names and repeats must be positive");
    return nullptr;
  }
  return quorvex::py::guarded([&]() -> PyObject* {
    const std::size_t largest = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
    std::vector<std::string> names(distinct);
    for (std::size_t k = 0; k < names.size(); ++k) names[k] = "ELEMENT NAME " + std::to_string(k);
    std::vector<DecodedValue> values(largest);
    for (std::size_t k = 0; k < largest; ++k) {
      DecodedValue& v = values[k];
      v.raw = k & 0xFFFF;
      v.raw_value = static_cast<double>(v.raw) / 10.0;
      v.name = &names[k % names.size()];
      v.descriptor = 12101;
      v.flags = DecodedValue::kHasValue | DecodedValue::kHasRaw;
    }
    const std::vector<std::string> texts;
    const std::span<const DecodedValue> all(values);
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
      const auto start = std::chrono::steady_clock::now();
      for (std::uint32_t count : counts) {
        PyRef list = PyRef::steal(quorvex::py::new_decoded_value_list(all.first(count), texts));
        if (!list) return nullptr;
      }
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      best = std::min(best, took.count());
    }
    return PyFloat_FromDouble(best);
  });
}

PyMethodDef floor_methods[] = {
    {"floor_seconds", floor_seconds, METH_VARARGS,
     "floor_seconds(counts, distinct_names, repeats)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "_quorvex_floor", "", -1, floor_methods,
    nullptr,               nullptr,          nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__quorvex_floor(void) {
  return quorvex::py::guarded([]() -> PyObject* {
    PyRef module = PyRef::steal(PyModule_Create(&floor_module));
    if (!module || !quorvex::py::register_decoded_value(module.get())) return nullptr;
    return module.release();
  });
}
