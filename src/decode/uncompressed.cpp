// Uncompressed data: every field in section 4 in the order the walk visits the descriptors,
// each subset after the other. Values are appended to the result as they are read.
#include "decode/uncompressed.hpp"

#include <algorithm>
#include <optional>

#include "decode/data_consumer.hpp"
#include "decode/field.hpp"
#include "decode/template_program.hpp"
#include "decode/walk.hpp"
#include "decode/wanted_elements.hpp"

namespace quorvex {

namespace {

// What a reader does beside reading every value: nothing (the ordinary decode), write down
// the nesting (a MessageStructure), or pass over the numbers of elements not wanted. Each
// is built on its own, so that the ordinary decode pays for neither.
enum class ReadMode : std::uint8_t { Plain, Recording, Wanted };

template <ReadMode Mode>
class UncompressedReader : public DataConsumer<UncompressedReader<Mode>, Mode == ReadMode::Recording> {
  using Base = DataConsumer<UncompressedReader<Mode>, Mode == ReadMode::Recording>;
  using Base::elements_;
  using Base::state_;

 public:
  using Base::check;
  using Base::fail_with;

  static constexpr WalkRules kRules{.name = WalkName::Decode};
  static constexpr DataRules kDataRules{};

  UncompressedReader(const TableSet& tables, BitReader& reader, DecodeResult& out, std::uint64_t max_values,
                     const WantedElements* wanted)
      : Base(tables), wanted_(wanted), reader_(reader), out_(out), max_values_(max_values) {}

  DecodeState& state() { return state_; }

  bool after_step() { return values_read() <= max_values_ || fail_with(BufrError::too_many_values()); }
  std::uint64_t values_read() const {
    if constexpr (Mode == ReadMode::Wanted) return out_.values.size() + out_.passed_over;
    return out_.values.size();
  }
  bool define_reference(std::uint32_t code);
  bool associated_field();
  bool read_element(const ElementInfo& info);
  bool read_factor(const ElementParams& params, std::uint64_t& count);
  bool read_selected(const ElementParams& params) {
    std::optional<double> number;
    if constexpr (Mode == ReadMode::Wanted) passed_ = false;
    return read_value(params, number);
  }
  bool marker(std::uint32_t code) {
    out_.values.push_back(marker_record(code));
    return true;
  }
  bool characters(std::uint32_t code) { return check(read_characters(code, state_, reader_, out_)); }
  // Of the value read last, unless it was passed over.
  void set_role(ValueRole role) {
    if constexpr (Mode == ReadMode::Wanted) {
      if (passed_) return;
    }
    out_.values.back().role = role;
  }
  std::size_t values_made() const { return out_.values.size(); }
  std::vector<QualityKey>& quality_keys() { return out_.quality_keys; }

 private:
  bool read_value(const ElementParams& params, std::optional<double>& number);
  bool tabled_number(const ElementInfo& info);
  bool pass_over(const ElementInfo& info);

  const WantedElements* wanted_;
  bool passed_ = false;  // the last element read was passed over
  BitReader& reader_;
  DecodeResult& out_;
  std::uint64_t max_values_;
};

template <ReadMode Mode>
inline bool UncompressedReader<Mode>::associated_field() {
  auto bits = reader_.read_bits(state_.associated_width);
  if (!bits) return fail_with(std::move(bits).error());
  out_.values.push_back(associated_field_record(*bits));
  return true;
}

// While 2-03-YYY is in force, an element descriptor carries no value but YYY bits that
// become the new reference value of its code: the leftmost bit is the sign (1 negative),
// the others the magnitude.
template <ReadMode Mode>
bool UncompressedReader<Mode>::define_reference(std::uint32_t code) {
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
template <ReadMode Mode>
inline bool UncompressedReader<Mode>::read_value(const ElementParams& params, std::optional<double>& number) {
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
template <ReadMode Mode>
[[gnu::noinline]] bool UncompressedReader<Mode>::read_element(const ElementInfo& info) {
  if constexpr (Mode == ReadMode::Wanted) {
    // A quality value is kept: ecCodes may number it under the key of the element it
    // qualifies (a QualityKey refers to its record).
    passed_ = !info.text && !wanted_->records(info.def->code) &&
              !(state_.quality_block && split_code(info.def->code).x == kQualityClass);
    if (passed_) return pass_over(info);
  }
  if (!info.text && state_.numbers_as_tabled()) return tabled_number(info);
  std::optional<double> number;
  if (!read_value(element_params(info, state_), number)) return false;
  record_element(state_, *info.def, number);
  return true;
}

// A number read with its table's width, scale and reference (no operator in force): the
// general path of read_value and record_element, with nothing to adjust.
template <ReadMode Mode>
inline bool UncompressedReader<Mode>::tabled_number(const ElementInfo& info) {
  const ElementDefinition& def = *info.def;
  std::uint64_t raw;
  if (!reader_.try_read_bits(def.width, raw))
    return fail_with(std::move(reader_.read_bits(def.width)).error());
  const DecodedValue& v = out_.values.emplace_back(number_record(
      def, info.code_table, raw, !info.class31 && all_ones(raw, def.width), def.reference, def.scale));
  record_element(state_, def, v.has_value() ? std::optional<double>(v.raw_value) : std::nullopt);
  return true;
}

// A number nobody reads: its bits are read (so that data cut short fail as they would) but
// give no record. Its element enters the history as any other; only a data-present
// indicator (class 31) needs its value there.
template <ReadMode Mode>
bool UncompressedReader<Mode>::pass_over(const ElementInfo& info) {
  const ElementParams params = element_params(info, state_);
  const FieldFormat format = field_format(params, state_);
  auto raw = reader_.read_bits(format.width);
  if (!raw) return fail_with(std::move(raw).error());
  ++out_.passed_over;
  std::optional<double> number;
  if (info.class31) {
    const DecodedValue v = number_value(params, format, *raw);
    if (v.has_value()) number = v.raw_value;
  }
  record_element(state_, *info.def, number);
  return true;
}

template <ReadMode Mode>
bool UncompressedReader<Mode>::read_factor(const ElementParams& params, std::uint64_t& count) {
  if constexpr (Mode == ReadMode::Wanted) passed_ = false;
  std::optional<double> number;
  if (!read_value(params, number)) return false;
  count = replication_count(number);
  return true;
}

template <ReadMode Mode>
Status decode_subsets(std::span<const std::uint32_t> codes, const TableSet& tables, BitReader& reader,
                      std::uint16_t subsets, DecodeResult& out, const TemplateProgram* program,
                      MessageStructure* structure, const WantedElements* wanted) {
  const std::uint64_t bits = reader.bits_available();
  const std::uint64_t max_values = WorkLimits::values(bits);
  // Real messages hold about one value per octet or fewer; growth beyond is geometric.
  out.values.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(bits / 8 + 16, max_values)));
  UncompressedReader<Mode> consumer(tables, reader, out, max_values, wanted);
  consumer.state().history.reserve(256);
  if constexpr (Mode == ReadMode::Recording) consumer.record_structure(*structure);
  DescriptorWalk walk(tables, consumer, WorkLimits::steps(bits));
  out.subset_starts.reserve(out.subset_starts.size() + subsets);
  for (std::uint32_t s = 0; s < subsets; ++s) {
    out.subset_starts.push_back(out.values.size());
    consumer.start_subset();
    if (!(program != nullptr ? walk.replay(*program) : walk.walk(codes, 0)))
      return fail(consumer.take_error());
  }
  if (out.values.size() + out.passed_over > max_values) return fail(BufrError::too_many_values());
  return {};
}

}  // namespace

Status decode_uncompressed(std::span<const std::uint32_t> codes, const TableSet& tables, BitReader& reader,
                           std::uint16_t subsets, DecodeResult& out, const TemplateProgram* program,
                           MessageStructure* structure, const WantedElements* wanted) {
  if (structure != nullptr)
    return decode_subsets<ReadMode::Recording>(
        codes, tables, reader, subsets, out, program, structure, nullptr);
  if (wanted != nullptr)
    return decode_subsets<ReadMode::Wanted>(codes, tables, reader, subsets, out, program, nullptr, wanted);
  return decode_subsets<ReadMode::Plain>(codes, tables, reader, subsets, out, program, nullptr, nullptr);
}

}  // namespace quorvex
