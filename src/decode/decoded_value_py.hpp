// The Python class DecodedValue and the conversion of a decode result into a list of them.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "decode/decoded_value.hpp"
#include "lib/frame_py.hpp"
#include "lib/str_table_py.hpp"

namespace quorvex::py {

// The DecodedValue type (null before register_decoded_value has run).
PyTypeObject* decoded_value_type();

// A new list holding one new DecodedValue per record of `result`, in order. Each distinct
// name or meaning is one Python str shared by the values that carry it: the str of
// `shared` (the strs a TableSet made for its own strings) when it has one, otherwise one
// made for this call. Returns nullptr with an exception set on failure.
PyObject* new_decoded_value_list(const DecodeResult& result, const StrTable* shared = nullptr);
// The same for some of the records of a result (`texts` is the result's text vector).
PyObject* new_decoded_value_list(std::span<const DecodedValue> values, const std::vector<std::string>& texts,
                                 const StrTable* shared = nullptr);

}  // namespace quorvex::py
