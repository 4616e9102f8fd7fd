// Uncompressed data: every field in section 4 in the order the walk visits the descriptors,
// each subset after the other. Values are appended to the result as they are read.
#include "decode/uncompressed.hpp"

#include <algorithm>
#include <optional>

#include "decode/data_consumer.hpp"
#include "decode/field.hpp"
#include "decode/template_program.hpp"
#include "decode/walk.hpp"

namespace quorvex {

namespace {

// Records: whether the reader writes down the nesting (a MessageStructure).
template <bool Records>
class UncompressedReader : public DataConsumer<UncompressedReader<Records>, Records> {
  using Base = DataConsumer<UncompressedReader<Records>, Records>;
  using Base::elements_;
  using Base::state_;

 public:
  using Base::check;
  using Base::fail_with;

  static constexpr WalkRules kRules{.name = WalkName::Decode};
  static constexpr DataRules kDataRules{};

  UncompressedReader(const TableSet& tables, BitReader& reader, DecodeResult& out, std::uint64_t max_values)
      : Base(tables), reader_(reader), out_(out), max_values_(max_values) {}

  DecodeState& state() { return state_; }

  bool after_step() { return out_.values.size() <= max_values_ || fail_with(BufrError::too_many_values()); }
  bool define_reference(std::uint32_t code);
  bool associated_field();
  bool read_element(const ElementInfo& info);
  bool read_factor(const ElementParams& params, std::uint64_t& count);
  bool read_selected(const ElementParams& params) {
    std::optional<double> number;
    return read_value(params, number);
  }
  bool marker(std::uint32_t code) {
    out_.values.push_back(marker_record(code));
    return true;
  }
  bool characters(std::uint32_t code) { return check(read_characters(code, state_, reader_, out_)); }
  void set_role(ValueRole role) { out_.values.back().role = role; }
  std::size_t values_made() const { return out_.values.size(); }

 private:
  bool read_value(const ElementParams& params, std::optional<double>& number);
  bool tabled_number(const ElementInfo& info);

  BitReader& reader_;
  DecodeResult& out_;
  std::uint64_t max_values_;
};

template <bool Records>
inline bool UncompressedReader<Records>::associated_field() {
  auto bits = reader_.read_bits(state_.associated_width);
  if (!bits) return fail_with(std::move(bits).error());
  out_.values.push_back(associated_field_record(*bits));
  return true;
}

// While 2-03-YYY is in force, an element descriptor carries no value but YYY bits that
// become the new reference value of its code: the leftmost bit is the sign (1 negative),
// the others the magnitude.
template <bool Records>
bool UncompressedReader<Records>::define_reference(std::uint32_t code) {
  if (elements_.find(code) == nullptr) return fail_with(BufrError::element_not_found(code));
  const std::uint16_t width = state_.new_reference_bits;
  auto bits = reader_.read_bits(width);  // width 1..254: above 64 this fails
  if (!bits) return fail_with(std::move(bits).error());
  state_.new_references[code] = defined_reference(*bits, width);
  out_.new_references.push_back({out_.subset_starts.size() - 1, out_.values.size(), *bits});
  return true;
}

// Reads one value and appends it; `number` is its numeric value (none for missing values
// and text).
template <bool Records>
inline bool UncompressedReader<Records>::read_value(const ElementParams& params,
                                                    std::optional<double>& number) {
  const FieldFormat format = field_format(params, state_);
  if (format.text) return check(read_text_value(*params.def, format.width, state_, reader_, out_));
  auto raw = reader_.read_bits(format.width);
  if (!raw) return fail_with(std::move(raw).error());
  const DecodedValue& v = out_.values.emplace_back(number_value(params, format, *raw));
  if (v.has_value()) number = v.raw_value;
  return true;
}

// Kept out of the walk's loop, which stays small enough for the compiler to keep its
// state in registers (measured: inlined here, the walk ran 2 to 5% slower).
template <bool Records>
[[gnu::noinline]] bool UncompressedReader<Records>::read_element(const ElementInfo& info) {
  if (!info.text && state_.numbers_as_tabled()) return tabled_number(info);
  std::optional<double> number;
  if (!read_value(element_params(info, state_), number)) return false;
  record_element(state_, *info.def, number);
  return true;
}

// A number read with its table's width, scale and reference (no operator in force): the
// general path of read_value and record_element, with nothing to adjust.
template <bool Records>
inline bool UncompressedReader<Records>::tabled_number(const ElementInfo& info) {
  const ElementDefinition& def = *info.def;
  std::uint64_t raw;
  if (!reader_.try_read_bits(def.width, raw))
    return fail_with(std::move(reader_.read_bits(def.width)).error());
  const DecodedValue& v = out_.values.emplace_back(number_record(
      def, info.code_table, raw, !info.class31 && all_ones(raw, def.width), def.reference, def.scale));
  record_element(state_, def, v.has_value() ? std::optional<double>(v.raw_value) : std::nullopt);
  return true;
}

template <bool Records>
bool UncompressedReader<Records>::read_factor(const ElementParams& params, std::uint64_t& count) {
  std::optional<double> number;
  if (!read_value(params, number)) return false;
  count = replication_count(number);
  return true;
}

template <bool Records>
Status decode_subsets(std::span<const std::uint32_t> codes, const TableSet& tables, BitReader& reader,
                      std::uint16_t subsets, DecodeResult& out, const TemplateProgram* program,
                      MessageStructure* structure) {
  const std::uint64_t bits = reader.bits_available();
  const std::uint64_t max_values = WorkLimits::values(bits);
  // Real messages hold about one value per octet or fewer; growth beyond is geometric.
  out.values.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(bits / 8 + 16, max_values)));
  UncompressedReader<Records> consumer(tables, reader, out, max_values);
  consumer.state().history.reserve(256);
  if constexpr (Records) consumer.record_structure(*structure);
  DescriptorWalk walk(tables, consumer, WorkLimits::steps(bits));
  out.subset_starts.reserve(out.subset_starts.size() + subsets);
  for (std::uint32_t s = 0; s < subsets; ++s) {
    out.subset_starts.push_back(out.values.size());
    consumer.start_subset();
    if (!(program != nullptr ? walk.replay(*program) : walk.walk(codes, 0)))
      return fail(consumer.take_error());
  }
  if (out.values.size() > max_values) return fail(BufrError::too_many_values());
  return {};
}

}  // namespace

Status decode_uncompressed(std::span<const std::uint32_t> codes, const TableSet& tables, BitReader& reader,
                           std::uint16_t subsets, DecodeResult& out, const TemplateProgram* program,
                           MessageStructure* structure) {
  return structure != nullptr ? decode_subsets<true>(codes, tables, reader, subsets, out, program, structure)
                              : decode_subsets<false>(codes, tables, reader, subsets, out, program, nullptr);
}

}  // namespace quorvex
