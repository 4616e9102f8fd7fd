// The Python class DecodedValue and the conversion of a decode result into a list of them.
#pragma once

#include "lib/frame_py.hpp"
#include "decode/decoded_value.hpp"

namespace quorvex::py {

// The DecodedValue type (null before register_decoded_value has run).
PyTypeObject* decoded_value_type();

// A new list holding one new DecodedValue per record of `result`, in order. Each distinct
// name or meaning becomes one Python str shared by the values that carry it. Returns
// nullptr with an exception set on failure.
PyObject* new_decoded_value_list(const DecodeResult& result);

}  // namespace quorvex::py
