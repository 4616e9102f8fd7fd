// Compressed data: the walk visits the descriptors once for all subsets, and every field
// becomes a column: the smallest value R0, the width of the increments NBINC in 6 bits,
// then one increment per subset (all ones for a missing value). A column whose subsets all
// hold the same value is R0 with NBINC 0. Texts: the common text with NBINC 0, else R0 all
// zero octets, NBINC the field's width in octets and every subset's text in full.
#include <algorithm>
#include <bit>
#include <optional>
#include <vector>

#include "decode/data_consumer.hpp"
#include "decode/template_program.hpp"
#include "decode/walk.hpp"
#include "encode/bit_writer.hpp"
#include "encode/data_writer.hpp"
#include "encode/field_encoding.hpp"

namespace quorvex {

namespace {

// NBINC is written in 6 bits.
constexpr unsigned kMaxIncrementWidth = 63;

class CompressedWriter : public DataConsumer<CompressedWriter> {
 public:
  static constexpr WalkRules kRules{.name = WalkName::CompressedDecode};
  static constexpr DataRules kDataRules{.new_reference_definitions = false,
                                        .associated_field_before_factor = false};

  CompressedWriter(const TableSet& tables, const FieldColumns& columns, std::size_t first_row, BitWriter& out)
      : DataConsumer(tables), columns_(columns), first_row_(first_row), out_(out) {
    bits_.resize(columns.subsets());
    fewest_fields_ = columns.subsets() == 0 ? 0 : ~std::size_t{0};
    for (std::size_t s = 0; s < columns.subsets(); ++s)
      fewest_fields_ = std::min(fewest_fields_, columns.fields(s));
  }
  Status finish() const;

  bool after_step() { return true; }
  bool define_reference(std::uint32_t) { return true; }  // refused at the operator
  bool associated_field() {
    return number_column(associated_field_format(state_),
                         {&associated_field_name(), kAssociatedFieldCode, first_row_});
  }
  bool read_element(const ElementInfo& info);
  bool read_factor(const ElementParams& params, std::uint64_t& count);
  bool read_selected(const ElementParams& params) { return column(params); }
  bool marker(std::uint32_t) {
    ++markers_;
    return true;
  }
  // The columns a decoder makes of what was written: fields and markers.
  std::uint64_t made() const { return next_ + markers_; }
  bool characters(std::uint32_t code) {
    return text_column(static_cast<std::uint16_t>(8 * split_code(code).y),
                       {&signify_character_name(), code, first_row_});
  }
  void set_role(ValueRole) {}

 private:
  // Whether every subset holds the current field; false (error set) naming the first that
  // has no more.
  bool every_subset_holds(const FieldPlace& place);
  // `bits_wanted`: bits_ is to hold the column's bits by subset (else it may not).
  bool column(const ElementParams& params, bool bits_wanted = false);
  bool number_column(const FieldFormat& format, FieldPlace place, bool bits_wanted = false);
  bool text_column(std::uint16_t width, FieldPlace place);
  // Refuses a column whose subsets differ, naming `what` compressed data hold one of.
  bool same_in_every_subset(const ElementDefinition& def, const char* what);

  const FieldColumns& columns_;
  std::size_t first_row_;
  BitWriter& out_;
  std::size_t next_ = 0;       // the field's index within every subset
  std::size_t fewest_fields_;  // of any subset
  // The current column's bits, by subset; only the first where the column holds one value
  // (its range says so).
  std::vector<NumberBits> bits_;
  FieldFormat last_format_;    // the format of the last number column
  NumberRange last_range_;     // and its range
  std::uint64_t markers_ = 0;  // operator markers met
};

bool CompressedWriter::every_subset_holds(const FieldPlace& place) {
  if (next_ < fewest_fields_) return true;
  for (std::size_t s = 0; s < columns_.subsets(); ++s) {
    const std::size_t fields = columns_.fields(s);
    if (next_ < fields) continue;
    FieldPlace at = place;
    at.row = first_row_ + s;
    return fail_with(refuse_row(at,
                                "the descriptors ask for more than the " + std::to_string(fields) +
                                    " values given (a replication count contradicted by the data?)"));
  }
  return true;
}

Status CompressedWriter::finish() const {
  for (std::size_t s = 0; s < columns_.subsets(); ++s) {
    const std::size_t given = columns_.fields(s);
    if (given != next_) {
      return fail(BufrError::unencodable("row " + std::to_string(first_row_ + s) + ": " +
                                         std::to_string(given) + " values given, the descriptors take " +
                                         std::to_string(next_) +
                                         " (a replication count contradicted by the data?)"));
    }
  }
  return {};
}

bool CompressedWriter::column(const ElementParams& params, bool bits_wanted) {
  const FieldFormat format = field_format(params, state_);
  const FieldPlace place{key_of(*params.def), params.def->code, first_row_};
  return format.text ? text_column(format.width, place) : number_column(format, place, bits_wanted);
}

bool CompressedWriter::number_column(const FieldFormat& format, FieldPlace place, bool bits_wanted) {
  if (!every_subset_holds(place)) return false;
  // The columns of a frame lie apart in memory: the reads of the column after next are
  // started now, so that its numbers have arrived when it is written.
  prefetch_numbers(columns_.numbers(next_ + 2));
  // Numbers every one of which has its field are written from where they stand, without their
  // bits set down by subset; else (or where the caller reads the bits) each goes through
  // number_bits, which refuses the first it cannot write.
  const std::span<const double> numbers = bits_wanted ? std::span<const double>{} : columns_.numbers(next_);
  const FieldRange field = field_range(format);
  std::optional<NumberRange> quick;
  if (!numbers.empty() && numbers.size() == bits_.size()) quick = float_range(numbers, format, field);
  NumberRange range;
  if (quick) {
    range = *quick;
  } else if (!bits_.empty() && columns_.one_value(next_)) {  // its bits found once
    const Result<NumberBits> one = number_bits(columns_.value(next_, 0), format, place);
    if (!check(one)) return false;
    bits_.front() = *one;
    range.add(*one);
    range.missing = one->missing ? bits_.size() : 0;
  } else if (!check(columns_.number_column(next_, format, place, bits_, range))) {
    return false;
  }
  ++next_;
  last_format_ = format;
  last_range_ = range;
  const bool any_missing = range.missing > 0;
  const bool any_value = range.missing < bits_.size();
  const std::optional<std::uint64_t> low = any_value ? std::optional(range.lowest) : std::nullopt;
  const std::optional<std::uint64_t> high = any_value ? std::optional(range.highest) : std::nullopt;
  if (!low) {  // every subset missing, or no subset
    out_.write_ones(format.width);
    out_.write_bits(0, 6);
    return true;
  }
  if (reads_as_missing({*low, false}, format)) {
    place.row = first_row_;
    return fail_with(refuse_row(place, "every value has all its bits set: the column would read as missing"));
  }
  if (!any_missing && *low == *high) {
    out_.write_bits(*low, format.width);
    out_.write_bits(0, 6);
    return true;
  }
  // Increments stay below all ones, which marks a missing value where the format has them.
  const unsigned __int128 span =
      static_cast<unsigned __int128>(*high - *low) + (format.missing_recognised ? 1 : 0);
  const unsigned nbinc =
      span > ~std::uint64_t{0} ? 65 : static_cast<unsigned>(std::bit_width(static_cast<std::uint64_t>(span)));
  if (nbinc > kMaxIncrementWidth) {
    place.row = first_row_;
    return fail_with(refuse_row(place, "the values of the subsets span more than 63 bits of increments"));
  }
  const std::uint64_t missing_increment = (std::uint64_t{1} << nbinc) - 1;
  out_.write_bits(*low, format.width);
  out_.write_bits(nbinc, 6);
  if (quick) {
    const std::uint64_t base = static_cast<std::uint64_t>(field.reference) + *low;
    for (const double v : numbers) {
      // a NaN's increment is made of a zero, then replaced: no NaN is turned into an integer
      const std::uint64_t increment = field_increment(v == v ? v : 0.0, field, base);
      out_.write_bits(v == v ? increment : missing_increment, nbinc);
    }
    return true;
  }
  for (const NumberBits& b : bits_) out_.write_bits(b.missing ? missing_increment : b.raw - *low, nbinc);
  return true;
}

// Texts compare as a decoder gives them back: trailing blanks do not count.
std::string_view text_key(const FieldValue& v) {
  std::string_view t = v.text;
  while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
  return t;
}

bool CompressedWriter::text_column(std::uint16_t width, FieldPlace place) {
  const std::size_t n = columns_.subsets();
  bool same = true;
  if (!every_subset_holds(place)) return false;
  const FieldValue first = n > 0 ? columns_.value(next_, 0) : FieldValue::missing();
  for (std::size_t s = 0; s < n; ++s) {
    place.row = first_row_ + s;
    const FieldValue v = columns_.value(next_, s);
    if (!check(check_text(v, width, place))) return false;
    if ((v.kind == FieldValue::Kind::Text) != (first.kind == FieldValue::Kind::Text) ||
        (v.kind == FieldValue::Kind::Text && text_key(v) != text_key(first))) {
      same = false;
    }
  }
  ++next_;
  if (same) {
    write_text_field(out_, first, width);
    out_.write_bits(0, 6);
    return true;
  }
  if (width % 8 != 0 || width / 8 > kMaxIncrementWidth) {
    place.row = first_row_;
    return fail_with(refuse_row(
        place,
        "texts of " + std::to_string(width) + " bits cannot differ between the subsets of compressed data"));
  }
  for (unsigned k = 0; k < width; k += 8) out_.write_bits(0, std::min(8u, width - k));
  out_.write_bits(width / 8, 6);
  for (std::size_t s = 0; s < n; ++s) write_text_field(out_, columns_.value(next_ - 1, s), width);
  return true;
}

// A data-present indicator enters the bitmap with subset 0's value, as the decoder takes it:
// compressed data hold one bitmap for all subsets, so an entry that differs is refused.
bool CompressedWriter::read_element(const ElementInfo& info) {
  const bool bitmap =
      state_.bitmap_defining || state_.implicit_bitmap_armed || state_.implicit_bitmap_collecting;
  if (!column(element_params(info, state_), info.def->code == kDataPresentIndicator)) return false;
  std::optional<double> indicator;
  if (info.def->code == kDataPresentIndicator && !bits_.empty() && !info.text) {
    if (bitmap && !same_in_every_subset(*info.def, "one bitmap")) return false;
    indicator = decoded_number(bits_[0], last_format_).value_or(0.0);
  }
  record_element(state_, *info.def, indicator);
  return true;
}

bool CompressedWriter::same_in_every_subset(const ElementDefinition& def, const char* what) {
  const NumberRange& r = last_range_;
  if (r.missing == bits_.size() || (r.missing == 0 && r.lowest == r.highest)) return true;  // one value
  for (std::size_t s = 1; s < bits_.size(); ++s) {
    if (bits_[s].raw != bits_[0].raw || bits_[s].missing != bits_[0].missing) {
      return fail_with(refuse_value({key_of(def), def.code, first_row_ + s},
                                    columns_.value(next_ - 1, s),
                                    "differs from row " + std::to_string(first_row_) +
                                        "'s: compressed data hold " + what + " for all subsets"));
    }
  }
  return true;
}

// Compressed data hold one replication count for all subsets.
bool CompressedWriter::read_factor(const ElementParams& params, std::uint64_t& count) {
  if (!column(params, true)) return false;
  if (bits_.empty()) {
    count = 0;
    return true;
  }
  if (!same_in_every_subset(*params.def, "one replication count")) return false;
  count = replication_count(decoded_number(bits_[0], last_format_));
  return true;
}

}  // namespace

namespace detail {

Status write_compressed(std::span<const std::uint32_t> codes, const TableSet& tables,
                        const FieldColumns& columns, std::size_t first_row, const TemplateProgram* program,
                        BitWriter& out) {
  CompressedWriter writer(tables, columns, first_row, out);
  std::size_t values = 0;
  for (std::size_t s = 0; s < columns.subsets(); ++s) values += columns.fields(s);
  DescriptorWalk walk(tables, writer, writer_steps(values));
  if (!(program != nullptr ? walk.replay(*program) : walk.walk(codes, 0))) return fail(writer.take_error());
  QV_CHECK(writer.finish());
  return within_decoder_limits(walk.steps(), writer.made(), out.bits(), true, columns.subsets());
}

}  // namespace detail

Status FieldColumns::number_column(std::size_t f, const FieldFormat& format, FieldPlace place,
                                   std::span<NumberBits> out, NumberRange& range) const {
  const std::size_t first_row = place.row;
  range = {};
  for (std::size_t s = 0; s < out.size(); ++s) {
    place.row = first_row + s;
    out[s] = QV_TRY(number_bits(value(f, s), format, place));
    range.add(out[s]);
  }
  return {};
}

}  // namespace quorvex
