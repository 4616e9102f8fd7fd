// Writers of section 4: the inverse of the two data decoders, consumers of the same walk and
// of the same rules of elements, operators, associated fields and bitmaps (DataConsumer).
// Every value is checked before a bit is written; a refused value leaves nothing behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "encode/bit_writer.hpp"
#include "encode/field_encoding.hpp"
#include "encode/field_value.hpp"
#include "lib/error.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

class TemplateProgram;

struct DataWriteOptions {
  bool compressed = false;
  // The row of subset 0 in the errors: the subsets' place in everything being written.
  std::size_t first_row = 0;
};

// The data of section 4 (without its four-octet header) for `values`, laid out by `codes`
// against `tables`, padded to whole octets. With `program` (compiled from `codes` against
// `tables`) the walk replays it.
[[nodiscard]] Result<std::vector<std::uint8_t>> write_data_section(std::span<const std::uint32_t> codes,
                                                                   const TableSet& tables,
                                                                   const SubsetValues& values,
                                                                   DataWriteOptions options,
                                                                   const TemplateProgram* program = nullptr);

// The fields of compressed data as the compressed writer takes them: one column per field,
// across the subsets. SubsetValues gives them (SubsetColumns); a table can give them where
// they stand, without a value made per cell.
class FieldColumns {
 public:
  virtual ~FieldColumns() = default;
  virtual std::size_t subsets() const = 0;
  // How many fields subset `s` holds.
  virtual std::size_t fields(std::size_t s) const = 0;
  // Subset s's value of field `f` (f < fields(s)).
  virtual FieldValue value(std::size_t f, std::size_t s) const = 0;
  // The bits of field `f` in every subset under `format` into `out` (one per subset), and
  // their range, or the refusal number_bits gives for the first value it refuses (place.row:
  // the row of subset 0). Each value through number_bits, unless an input knows a faster way
  // to the same bits.
  [[nodiscard]] virtual Status number_column(std::size_t f, const FieldFormat& format, FieldPlace place,
                                             std::span<NumberBits> out, NumberRange& range) const;
  // Field f's numbers of every subset, one after another, where the input holds them so: float64,
  // missing only where NaN. Empty where it does not.
  virtual std::span<const double> numbers(std::size_t) const { return {}; }
  // Whether field f holds value(f, 0) in every subset, known without a look at each.
  virtual bool one_value(std::size_t) const { return false; }
};

// SubsetValues as columns.
class SubsetColumns final : public FieldColumns {
 public:
  explicit SubsetColumns(const SubsetValues& values) : values_(values) {}
  std::size_t subsets() const override { return values_.subsets(); }
  std::size_t fields(std::size_t s) const override { return values_.subset(s).size(); }
  FieldValue value(std::size_t f, std::size_t s) const override { return values_.subset(s)[f]; }

 private:
  const SubsetValues& values_;
};

namespace detail {
// Bounds the walk of a writer by the number of values it was given.
std::uint64_t writer_steps(std::size_t values);
// Refuses data a decoder would refuse as too much work for its size: more descriptors visited
// (`steps`) or values made (`values`: fields and markers; compressed, columns) than the
// decoders' limits allow for `bits` of data.
[[nodiscard]] Status within_decoder_limits(std::uint64_t steps, std::uint64_t values, std::uint64_t bits,
                                           bool compressed, std::size_t subsets);
[[nodiscard]] Status write_uncompressed(std::span<const std::uint32_t> codes, const TableSet& tables,
                                        const SubsetValues& values, std::size_t first_row,
                                        const TemplateProgram* program, BitWriter& out);
[[nodiscard]] Status write_compressed(std::span<const std::uint32_t> codes, const TableSet& tables,
                                      const FieldColumns& columns, std::size_t first_row,
                                      const TemplateProgram* program, BitWriter& out);
}  // namespace detail

}  // namespace quorvex
