// A message written again: decoded against its tables and encoded as edition 4 with its own
// header, section 2 and descriptors, compressed or not, every value unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "decode/decoded_value.hpp"
#include "encode/field_value.hpp"
#include "lib/bytes.hpp"
#include "lib/error.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

struct ReencodeOptions {
  std::optional<bool> compressed;  // none: as the message is
};

// `octets`: one whole message of edition 2, 3 or 4, whose tables `tables` are.
[[nodiscard]] Result<std::vector<std::uint8_t>> reencode_message(Bytes octets, const TableSet& tables,
                                                                 ReencodeOptions options);

// The fields of decoded values, as the writers take them: every value but the operator
// markers, numbers by their field bits, texts by their octets (which stay in `decoded`).
struct DecodedFields {
  std::vector<FieldValue> values;
  std::vector<std::size_t> starts;

  SubsetValues view() const { return {values, starts}; }
};
void fields_of(const DecodeResult& decoded, DecodedFields& out);

}  // namespace quorvex
