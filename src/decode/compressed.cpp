// Compressed data: for every element occurrence section 4 holds a minimum value R0, a 6-bit
// increment width NBINC and one increment per subset. The walk reads column by column; a
// column keeps only what varies between subsets (increments, text indices) in one flat
// array, and the records of the result are written once, already in subset order.
#include "decode/compressed.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "decode/data_consumer.hpp"
#include "decode/field.hpp"
#include "decode/template_program.hpp"
#include "decode/walk.hpp"

namespace quorvex {

namespace {

using Column = CompressedColumn;

constexpr std::uint64_t kMinColumnCharge = WorkLimits::kMinColumnCharge;

// Two factors of a delayed replication count as equal within this difference.
constexpr double kFactorTolerance = 2.220446049250313e-16;

// Records: whether the reader writes down the nesting (a MessageStructure).
template <bool Records>
class CompressedReader : public DataConsumer<CompressedReader<Records>, Records> {
  using Base = DataConsumer<CompressedReader<Records>, Records>;
  using Base::state_;

 public:
  using Base::check;
  using Base::fail_with;

  static constexpr WalkRules kRules{.name = WalkName::CompressedDecode};
  static constexpr DataRules kDataRules{.new_reference_definitions = false,
                                        .associated_field_before_factor = false};

  CompressedReader(const TableSet& tables, BitReader& reader, std::uint16_t subsets, CompressedValues& out,
                   const WantedElements* wanted)
      : Base(tables),
        wanted_(wanted),
        reader_(reader),
        out_(out),
        subsets_(subsets),
        max_values_(WorkLimits::compressed_values(reader.bits_available())) {}

  bool after_step() { return true; }
  bool define_reference(std::uint32_t) { return true; }  // refused at the operator
  bool associated_field() {
    if (!check(read_numbers(
            kAssociatedFieldCode, &associated_field_name(), associated_field_format(state_), nullptr)))
      return false;
    set_role(ValueRole::AssociatedField);  // as the uncompressed reader's record has it
    return true;
  }
  bool read_element(const ElementInfo& info);
  bool read_factor(const ElementParams& params, std::uint64_t& count);
  bool read_selected(const ElementParams& params) { return check(read_column(params)); }
  bool marker(std::uint32_t code) { return check(add_marker(code)); }
  void set_role(ValueRole role) { out_.columns.back().fixed.role = role; }
  std::size_t values_made() const { return out_.columns.size(); }
  std::vector<QualityKey>& quality_keys() { return out_.quality_keys; }
  // 2-05-YYY: YYY octets of text, compressed like a CCITT IA5 element of that width.
  bool characters(std::uint32_t code) {
    return check(
        read_texts(code, &signify_character_name(), static_cast<std::uint16_t>(8 * split_code(code).y)));
  }

 private:
  Result<std::size_t> read_column(const ElementParams& params);
  Result<std::size_t> read_numbers(std::uint32_t descriptor, const std::string* name,
                                   const FieldFormat& format, const CodeTable* codes);
  Result<std::size_t> read_texts(std::uint32_t descriptor, const std::string* name, std::uint16_t width);
  Status add_marker(std::uint32_t code);

  Status count_column();
  Status ensure_bits(std::uint16_t width);
  Status ensure_octets(std::uint16_t width);
  Result<std::uint64_t> replication_count_of(const Column& col) const;
  std::optional<double> number_at(const Column& col, std::size_t s) const;

  Result<std::size_t> pass_over(std::uint32_t descriptor, const std::string* name, const FieldFormat& format);

  const WantedElements* wanted_;
  BitReader& reader_;
  CompressedValues& out_;
  std::size_t subsets_;
  std::uint64_t max_values_;
  std::uint64_t counted_values_ = 0;
  std::string octets_;  // scratch for text fields
};

// A data-present indicator enters a bitmap with the first subset's value (0 when there is
// none) for all subsets.
template <bool Records>
bool CompressedReader<Records>::read_element(const ElementInfo& info) {
  auto index = read_column(element_params(info, state_));
  if (!index) return fail_with(std::move(index).error());
  std::optional<double> indicator;
  if (info.def->code == kDataPresentIndicator) {
    indicator = subsets_ == 0 ? 0.0 : number_at(out_.columns[*index], 0).value_or(0.0);
  }
  record_element(state_, *info.def, indicator);
  return true;
}

template <bool Records>
bool CompressedReader<Records>::read_factor(const ElementParams& params, std::uint64_t& count) {
  auto index = read_column(params);
  if (!index) return fail_with(std::move(index).error());
  auto n = replication_count_of(out_.columns[*index]);
  if (!n) return fail_with(std::move(n).error());
  count = *n;
  return true;
}

template <bool Records>
Result<std::size_t> CompressedReader<Records>::read_column(const ElementParams& params) {
  const FieldFormat format = field_format(params, state_);
  const ElementDefinition& def = *params.def;
  if (wanted_ != nullptr && !wanted_->wants(def.code)) return pass_over(def.code, &def.name, format);
  if (format.text) return read_texts(def.code, &def.name, format.width);
  return read_numbers(def.code, &def.name, format, params.code_table);
}

// Charges a new column against the value limit, before anything is allocated for it.
template <bool Records>
Status CompressedReader<Records>::count_column() {
  counted_values_ += subsets_ < kMinColumnCharge ? kMinColumnCharge : subsets_;
  if (counted_values_ > max_values_) return fail(BufrError::too_many_values());
  return {};
}

// N fields of `width` bits must remain. If they do not, the fields are read one by one so
// that the error names the field a sequential reader would have failed on.
template <bool Records>
Status CompressedReader<Records>::ensure_bits(std::uint16_t width) {
  if (subsets_ * width <= reader_.bits_remaining()) return {};
  for (std::size_t k = 0; k < subsets_; ++k) QV_CHECK(reader_.read_bits(width));
  return {};
}

template <bool Records>
Status CompressedReader<Records>::ensure_octets(std::uint16_t width) {
  if (subsets_ * width <= reader_.bits_remaining()) return {};
  for (std::size_t k = 0; k < subsets_; ++k) QV_CHECK(reader_.read_bytes_into(width, octets_));
  return {};
}

template <bool Records>
Result<std::size_t> CompressedReader<Records>::read_numbers(std::uint32_t descriptor, const std::string* name,
                                                            const FieldFormat& format,
                                                            const CodeTable* codes) {
  const std::uint64_t r0 = QV_TRY(reader_.read_bits(format.width));
  const auto nbinc = static_cast<std::uint16_t>(QV_TRY(reader_.read_bits(6)));
  QV_CHECK(count_column());
  Column col;
  col.r0 = r0;
  col.r0_missing = format.missing_recognised && all_ones(r0, format.width);
  col.reference = format.reference;
  col.scale = format.scale;
  col.fixed.descriptor = descriptor;
  col.fixed.name = name;
  if (nbinc == 0) {
    col.kind = Column::Kind::Fixed;
    col.fixed.raw = r0;
    col.fixed.meaning = meaning_of(codes, r0);
    col.fixed.flags = DecodedValue::kHasRaw;
    if (!col.r0_missing) {
      col.fixed.raw_value = scale_value(r0, col.reference, col.scale);
      col.fixed.flags |= DecodedValue::kHasValue;
    }
  } else {
    QV_CHECK(ensure_bits(nbinc));
    col.kind = Column::Kind::Number;
    col.codes = codes;
    col.missing_increment = format.missing_recognised ? (std::uint64_t{1} << nbinc) - 1
                                                      : std::numeric_limits<std::uint64_t>::max();
    col.first = out_.cells.size();
    out_.cells.resize(col.first + subsets_);
    std::uint64_t* cell = out_.cells.data() + col.first;
    for (std::size_t k = 0; k < subsets_; ++k) cell[k] = QV_TRY(reader_.read_bits(nbinc));
  }
  out_.columns.push_back(col);
  return out_.columns.size() - 1;
}

// Text: R0 is `width` bits of octets, NBINC counts octets. The text number is counted once
// per element: subset k of the c-th text element (from 0) gets number c * N + k + 1.
template <bool Records>
Result<std::size_t> CompressedReader<Records>::read_texts(std::uint32_t descriptor, const std::string* name,
                                                          std::uint16_t width) {
  QV_CHECK(reader_.read_bytes_into(width, octets_));  // R0: used only when NBINC is 0
  const auto nbinc = static_cast<std::uint16_t>(QV_TRY(reader_.read_bits(6)));
  QV_CHECK(count_column());
  Column col;
  col.kind = Column::Kind::Text;
  col.text_width = width;
  col.text_base = state_.text_counter * subsets_;
  ++state_.text_counter;
  col.fixed.descriptor = descriptor;
  col.fixed.name = name;
  col.fixed.flags = DecodedValue::kHasValue;
  if (nbinc == 0) {
    // Every subset holds R0's text: one entry of the text list serves them all.
    std::string r0_text;
    if (convert_text(octets_, r0_text)) {
      col.fixed.text_index = static_cast<std::uint32_t>(out_.texts.size());
      col.fixed.flags |= DecodedValue::kHasText;
      out_.texts.push_back(std::move(r0_text));
    }
  } else {
    const auto field = static_cast<std::uint16_t>(8 * nbinc);
    QV_CHECK(ensure_octets(field));
    col.varying = true;
    col.first = out_.cells.size();
    out_.cells.resize(col.first + subsets_);
    std::uint64_t* cell = out_.cells.data() + col.first;
    std::string text;
    for (std::size_t k = 0; k < subsets_; ++k) {
      QV_CHECK(reader_.read_bytes_into(field, octets_));
      if (convert_text(octets_, text)) {
        cell[k] = out_.texts.size();
        out_.texts.push_back(std::move(text));
      } else {
        cell[k] = kNoCompressedText;
      }
    }
  }
  out_.columns.push_back(col);
  return out_.columns.size() - 1;
}

// A column nobody reads: R0 and NBINC, then the increments (or texts) skipped by their width.
template <bool Records>
Result<std::size_t> CompressedReader<Records>::pass_over(std::uint32_t descriptor, const std::string* name,
                                                         const FieldFormat& format) {
  if (format.text) {
    QV_CHECK(reader_.read_bytes_into(format.width, octets_));
  } else {
    QV_TRY(reader_.read_bits(format.width));
  }
  const auto nbinc = static_cast<std::uint16_t>(QV_TRY(reader_.read_bits(6)));
  QV_CHECK(count_column());
  if (format.text) {
    ++state_.text_counter;
    if (nbinc != 0) QV_CHECK(ensure_octets(static_cast<std::uint16_t>(8 * nbinc)));
    reader_.advance(std::uint64_t{8} * nbinc * subsets_);
  } else {
    if (nbinc != 0) QV_CHECK(ensure_bits(nbinc));
    reader_.advance(std::uint64_t{nbinc} * subsets_);
  }
  Column col;
  col.fixed.descriptor = descriptor;
  col.fixed.name = name;
  out_.columns.push_back(col);
  return out_.columns.size() - 1;
}

template <bool Records>
Status CompressedReader<Records>::add_marker(std::uint32_t code) {
  QV_CHECK(count_column());
  Column col;
  col.fixed = marker_record(code);
  out_.columns.push_back(col);
  return {};
}

// The count of a delayed replication: the factor must be the same in every subset.
template <bool Records>
Result<std::uint64_t> CompressedReader<Records>::replication_count_of(const Column& col) const {
  if (subsets_ == 0) return 0;
  const std::optional<double> first = number_at(col, 0);
  if (!first) return 0;
  for (std::size_t s = 1; s < subsets_; ++s) {
    const std::optional<double> v = number_at(col, s);
    if (!v || !(std::fabs(*v - *first) <= kFactorTolerance)) {
      return fail(BufrError::compressed_varying_factors());
    }
  }
  return replication_count(first);
}

// The numeric value of subset s; none for missing values and for text (whose raw_value is
// its running number, not a quantity).
template <bool Records>
std::optional<double> CompressedReader<Records>::number_at(const Column& col, std::size_t s) const {
  if (col.kind == Column::Kind::Text) return std::nullopt;
  const DecodedValue v = out_.value_at(col, s);
  if (!v.has_value()) return std::nullopt;
  return v.raw_value;
}

template <bool Records>
Status read_columns(std::span<const std::uint32_t> codes, const TableSet& tables, BitReader& reader,
                    std::uint16_t subsets, CompressedValues& out, const TemplateProgram* program,
                    const WantedElements* wanted, MessageStructure* structure) {
  CompressedReader<Records> consumer(tables, reader, subsets, out, wanted);
  if constexpr (Records) {
    structure->subset_starts.push_back(structure->events.size());
    consumer.record_structure(*structure);
  }
  DescriptorWalk walk(tables, consumer, WorkLimits::steps(reader.bits_available()));
  if (!(program != nullptr ? walk.replay(*program) : walk.walk(codes, 0))) return fail(consumer.take_error());
  return {};
}

}  // namespace

Status read_compressed(std::span<const std::uint32_t> codes, const TableSet& tables, BitReader& reader,
                       std::uint16_t subsets, CompressedValues& out, const TemplateProgram* program,
                       const WantedElements* wanted, MessageStructure* structure) {
  out.columns.clear();
  out.cells.clear();
  out.texts.clear();
  out.quality_keys.clear();
  out.subsets = subsets;
  return structure != nullptr
             ? read_columns<true>(codes, tables, reader, subsets, out, program, wanted, structure)
             : read_columns<false>(codes, tables, reader, subsets, out, program, wanted, nullptr);
}

// Writes the records in subset order: entry s of every column, for s = 0 .. N - 1.
Status decode_compressed(std::span<const std::uint32_t> codes, const TableSet& tables, BitReader& reader,
                         std::uint16_t subsets, DecodeResult& out, const TemplateProgram* program) {
  CompressedValues read;
  QV_CHECK(read_compressed(codes, tables, reader, subsets, read, program));
  std::vector<DecodedValue>& values = out.values;
  values.reserve(values.size() + subsets * read.columns.size());
  out.subset_starts.reserve(out.subset_starts.size() + subsets);
  for (std::size_t s = 0; s < subsets; ++s) {
    out.subset_starts.push_back(values.size());
    for (const QualityKey& q : read.quality_keys)
      out.quality_keys.push_back(QualityKey{values.size() + q.value, q.qualified});
    for (const CompressedColumn& col : read.columns) values.push_back(read.value_at(col, s));
  }
  out.texts = std::move(read.texts);
  return {};
}

}  // namespace quorvex
