// Uncompressed data: every field of every subset in walk order, each subset walked with a
// fresh state, as the uncompressed decoder reads them.
#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "decode/data_consumer.hpp"
#include "decode/template_program.hpp"
#include "decode/walk.hpp"
#include "encode/bit_writer.hpp"
#include "encode/data_writer.hpp"
#include "encode/field_encoding.hpp"

namespace quorvex {

namespace {

class UncompressedWriter : public DataConsumer<UncompressedWriter> {
 public:
  static constexpr WalkRules kRules{.name = WalkName::Decode};
  static constexpr DataRules kDataRules{};

  UncompressedWriter(const TableSet& tables, BitWriter& out) : DataConsumer(tables), out_(out) {}

  void start_subset(std::span<const FieldValue> values, std::size_t row) {
    state_.reset_for_subset();
    values_ = values;
    next_ = 0;
    row_ = row;
  }
  Status finish_subset() const;

  bool after_step() { return true; }
  bool define_reference(std::uint32_t code);
  bool associated_field();
  bool read_element(const ElementInfo& info);
  bool read_factor(const ElementParams& params, std::uint64_t& count);
  bool read_selected(const ElementParams& params) {
    std::optional<double> number;
    return write_field(params, number, false);
  }
  bool marker(std::uint32_t) {
    ++markers_;
    return true;
  }
  bool characters(std::uint32_t code);
  // The values a decoder makes of what was written: fields and markers.
  std::uint64_t made() const { return taken_ + markers_; }
  void set_role(ValueRole) {}

 private:
  // The next value of the subset, for the field `place` names.
  const FieldValue* take(const FieldPlace& place);
  // `number` gets the value a decoder reads back, when `wanted` (the walk reads it).
  bool write_number(const FieldFormat& format, const FieldPlace& place, std::optional<double>& number,
                    bool wanted = true);
  bool write_field(const ElementParams& params, std::optional<double>& number, bool wanted = true);
  FieldPlace place(const ElementDefinition& def) const { return {key_of(def), def.code, row_}; }
  // The range of `format`, found once for the formats met lately.
  const FieldRange& range_of(const FieldFormat& format);

  // The formats met lately with their ranges, by a hash of the format.
  struct KnownRange {
    FieldFormat format;
    FieldRange range;
    bool known = false;
  };
  std::array<KnownRange, 64> ranges_{};

  BitWriter& out_;
  std::span<const FieldValue> values_;
  std::size_t next_ = 0;
  std::size_t row_ = 0;
  std::uint64_t taken_ = 0;    // fields written, over every subset
  std::uint64_t markers_ = 0;  // operator markers met, over every subset
};

const FieldValue* UncompressedWriter::take(const FieldPlace& place) {
  if (next_ < values_.size()) {
    ++taken_;
    return &values_[next_++];
  }
  fail_with(refuse_row(place,
                       "the descriptors ask for more than the " + std::to_string(values_.size()) +
                           " values given (a replication count contradicted by the data?)"));
  return nullptr;
}

Status UncompressedWriter::finish_subset() const {
  if (next_ == values_.size()) return {};
  return fail(BufrError::unencodable("row " + std::to_string(row_) + ": " + std::to_string(values_.size()) +
                                     " values given, the descriptors take " + std::to_string(next_) +
                                     " (a replication count contradicted by the data?)"));
}

const FieldRange& UncompressedWriter::range_of(const FieldFormat& format) {
  const auto hash = static_cast<std::uint64_t>(format.reference) * 0x9E3779B97F4A7C15u ^
                    static_cast<std::uint64_t>(format.scale) * 0xC2B2AE3D27D4EB4Fu ^ format.width ^
                    (format.missing_recognised ? 0x100000u : 0u);
  KnownRange& at = ranges_[(hash >> 32) % ranges_.size()];
  if (!at.known || at.format.reference != format.reference || at.format.scale != format.scale ||
      at.format.width != format.width || at.format.missing_recognised != format.missing_recognised) {
    at.format = format;
    at.range = field_range(format);
    at.known = true;
  }
  return at.range;
}

bool UncompressedWriter::write_number(const FieldFormat& format, const FieldPlace& place,
                                      std::optional<double>& number, bool wanted) {
  const FieldValue* v = take(place);
  if (v == nullptr) return false;
  std::uint64_t raw = 0;
  // The commonest value, a number its field holds, without number_bits's set-up; anything
  // else (and every refusal) through number_bits.
  if (v->kind == FieldValue::Kind::Number && v->number == v->number &&
      field_of(v->number, range_of(format), raw) && !reads_as_missing({raw, false}, format)) {
    out_.write_bits(raw, format.width);
    if (wanted) number = scale_value(raw, format.reference, format.scale);
    return true;
  }
  auto bits = number_bits(*v, format, place);
  if (!bits) return fail_with(std::move(bits).error());
  if (reads_as_missing(*bits, format))
    return fail_with(refuse_value(place, *v, "has all its bits set: it would read as missing"));
  out_.write_bits(bits->raw, format.width);
  number = decoded_number(*bits, format);
  return true;
}

bool UncompressedWriter::write_field(const ElementParams& params, std::optional<double>& number,
                                     bool wanted) {
  const FieldFormat format = field_format(params, state_);
  const FieldPlace at = place(*params.def);
  if (!format.text) return write_number(format, at, number, wanted);
  const FieldValue* v = take(at);
  if (v == nullptr || !check(check_text(*v, format.width, at))) return false;
  write_text_field(out_, *v, format.width);
  return true;
}

bool UncompressedWriter::read_element(const ElementInfo& info) {
  std::optional<double> number;
  if (!write_field(element_params(info, state_), number, element_value_recorded(state_, *info.def)))
    return false;
  record_element(state_, *info.def, number);
  return true;
}

bool UncompressedWriter::read_factor(const ElementParams& params, std::uint64_t& count) {
  std::optional<double> number;
  if (!write_field(params, number)) return false;
  count = replication_count(number);
  return true;
}

bool UncompressedWriter::associated_field() {
  std::optional<double> number;
  return write_number(
      associated_field_format(state_), {&associated_field_name(), kAssociatedFieldCode, row_}, number, false);
}

bool UncompressedWriter::characters(std::uint32_t code) {
  const auto width = static_cast<std::uint16_t>(8 * split_code(code).y);
  const FieldPlace at{&signify_character_name(), code, row_};
  const FieldValue* v = take(at);
  if (v == nullptr || !check(check_text(*v, width, at))) return false;
  write_text_field(out_, *v, width);
  return true;
}

// 2-03-YYY: the new reference of the element, YYY bits of sign (1 negative) and magnitude:
// a number, or the bits as they stand (a message written again).
bool UncompressedWriter::define_reference(std::uint32_t code) {
  const ElementInfo* info = elements_.find(code);
  if (info == nullptr) return fail_with(BufrError::element_not_found(code));
  const FieldPlace at = place(*info->def);
  const FieldValue* v = take(at);
  if (v == nullptr) return false;
  const std::uint16_t width = state_.new_reference_bits;
  std::uint64_t bits = 0;
  if (v->kind == FieldValue::Kind::Raw && width <= 64 && (width == 64 || (v->raw >> width) == 0)) {
    bits = v->raw;
  } else {
    const bool integral = v->kind == FieldValue::Kind::Number && std::nearbyint(v->number) == v->number;
    const double bound =
        width >= 64 ? 9223372036854775807.0 : static_cast<double>((std::uint64_t{1} << (width - 1)) - 1);
    if (!integral || width > 64 || std::fabs(v->number) > bound)
      return fail_with(refuse_value(
          at,
          *v,
          "is no reference value that " + std::to_string(width) + " bits of sign and magnitude hold"));
    const auto reference = static_cast<std::int64_t>(v->number);
    const std::uint64_t magnitude = reference < 0 ? static_cast<std::uint64_t>(-reference) : reference;
    bits = (reference < 0 ? std::uint64_t{1} << (width - 1) : 0) | magnitude;
  }
  out_.write_bits(bits, width);
  state_.new_references[code] = defined_reference(bits, width);
  return true;
}

}  // namespace

namespace detail {

std::uint64_t writer_steps(std::size_t values) { return WorkLimits::steps(64 * std::uint64_t{values} + 64); }

Status within_decoder_limits(std::uint64_t steps, std::uint64_t values, std::uint64_t bits, bool compressed,
                             std::size_t subsets) {
  const std::uint64_t charge =
      compressed ? std::max<std::uint64_t>(subsets, WorkLimits::kMinColumnCharge) : 1;
  const std::uint64_t limit = compressed ? WorkLimits::compressed_values(bits) : WorkLimits::values(bits);
  if (steps <= WorkLimits::steps(bits) && (values == 0 || charge <= limit / values)) return {};
  return fail(BufrError::unencodable("the descriptors visit " + std::to_string(steps) +
                                     " descriptors and make " + std::to_string(values) +
                                     (compressed ? " columns" : " values") + " from " + std::to_string(bits) +
                                     " bits of data: more than a decoder reads from data of that size (a "
                                     "replication of operators that hold no data?)"));
}

Status write_uncompressed(std::span<const std::uint32_t> codes, const TableSet& tables,
                          const SubsetValues& values, std::size_t first_row, const TemplateProgram* program,
                          BitWriter& out) {
  UncompressedWriter writer(tables, out);
  DescriptorWalk walk(tables, writer, writer_steps(values.values.size()));
  for (std::size_t s = 0; s < values.subsets(); ++s) {
    writer.start_subset(values.subset(s), first_row + s);
    if (!(program != nullptr ? walk.replay(*program) : walk.walk(codes, 0))) return fail(writer.take_error());
    QV_CHECK(writer.finish_subset());
  }
  return within_decoder_limits(walk.steps(), writer.made(), out.bits(), false, values.subsets());
}

}  // namespace detail

}  // namespace quorvex
