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

#include "decode/decode_state.hpp"
#include "decode/value.hpp"
#include "lib/text.hpp"

namespace quorvex {

namespace {

// Lists nested deeper than this below the top list are refused.
constexpr unsigned kMaxDepth = 64;

// A column of N values costs its R0 and 6 bits of NBINC (operator markers cost nothing), so
// a few octets can ask for millions of records. The result may hold at most
// kValuesPerBit * (bits of section 4) + kValueAllowance values; real messages stay below a
// few values per bit. Every column is charged at least kMinColumnCharge values, whatever N
// (0 included), so that the column records themselves stay within the same bound.
constexpr std::uint64_t kValuesPerBit = 16;
constexpr std::uint64_t kValueAllowance = std::uint64_t{1} << 20;
constexpr std::uint64_t kMinColumnCharge = 3;

// Two factors of a delayed replication count as equal within this difference.
constexpr double kFactorTolerance = 2.220446049250313e-16;

// Text index of a subset whose text is missing.
constexpr std::uint64_t kNoText = std::numeric_limits<std::uint64_t>::max();

std::uint64_t value_limit(std::uint64_t bits) {
  std::uint64_t limit;
  if (__builtin_mul_overflow(bits, kValuesPerBit, &limit) ||
      __builtin_add_overflow(limit, kValueAllowance, &limit)) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return limit;
}

// (reference + raw) exactly, to the nearest double, divided by 10^scale (`divisor`). The
// quotient is the one scale_value gives; the int64 path is only the faster conversion.
double scaled(std::uint64_t raw, std::int64_t reference, double divisor) {
  const __int128 sum = static_cast<__int128>(reference) + static_cast<__int128>(raw);
  const double exact =
      (sum >= std::numeric_limits<std::int64_t>::min() && sum <= std::numeric_limits<std::int64_t>::max())
          ? static_cast<double>(static_cast<std::int64_t>(sum))
          : static_cast<double>(sum);
  return exact / divisor;
}

const std::string* lookup(const CodeTable* codes, std::uint64_t raw) {
  if (codes == nullptr) return nullptr;
  auto it = codes->find(raw);
  return it == codes->end() ? nullptr : &it->second;
}

// The N values of one element occurrence, associated field or operator marker.
struct Column {
  enum class Kind : std::uint8_t {
    Fixed,   // every subset holds `fixed` (NBINC 0 numbers, markers)
    Number,  // R0 + increment; the increments in cells[first ...]
    Text,    // `fixed` with a running raw_value; per-subset text indices when `varying`
  };

  DecodedValue fixed;
  const CodeTable* codes = nullptr;  // Number: the element's code table, if any
  std::uint64_t r0 = 0;
  std::int64_t reference = 0;
  double divisor = 1.0;                 // pow(10.0, scale)
  std::uint64_t text_base = 0;          // Text: number of the first subset's text, minus 1
  std::size_t first = 0;                // index of subset 0 in the cells
  std::uint64_t missing_increment = 0;  // Number: all NBINC bits set (none if not recognised)
  std::uint16_t text_width = 0;         // Text: width of R0 in bits
  Kind kind = Kind::Fixed;
  bool r0_missing = false;
  bool varying = false;  // Text: one index per subset in the cells
};

class CompressedWalk {
 public:
  CompressedWalk(const TableSet& tables, BitReader& reader, std::uint16_t subsets, DecodeResult& out)
      : tables_(tables),
        reader_(reader),
        out_(out),
        budget_(WorkBudget::for_bits(reader.bits_available())),
        subsets_(subsets),
        max_values_(value_limit(reader.bits_available())) {}

  Status walk(std::span<const std::uint32_t> codes, unsigned depth);
  void emit();

 private:
  Status element(std::uint32_t code);
  Result<std::size_t> replication(std::span<const std::uint32_t> codes, std::size_t i, unsigned depth);
  Status repeat(std::span<const std::uint32_t> group, std::uint64_t count, unsigned depth);
  Status operator_descriptor(std::uint32_t code);
  Status marker_read(std::uint32_t code);

  Result<std::size_t> read_element(const ElementParams& params);
  Result<std::size_t> read_numbers(std::uint32_t descriptor, const std::string* name,
                                   const FieldFormat& format, const CodeTable* codes);
  Result<std::size_t> read_texts(std::uint32_t descriptor, const std::string* name, std::uint16_t width);
  Status add_marker(std::uint32_t code);

  Status count_column();
  Status ensure_bits(std::uint16_t width);
  Status ensure_octets(std::uint16_t width);
  Result<std::uint64_t> replication_count_of(const Column& col) const;
  std::optional<double> number_at(const Column& col, std::size_t s) const;
  DecodedValue value_at(const Column& col, std::size_t s) const;

  const TableSet& tables_;
  BitReader& reader_;
  DecodeResult& out_;
  DecodeState state_;
  WorkBudget budget_;  // descriptor visits
  std::size_t subsets_;
  std::uint64_t max_values_;
  std::uint64_t counted_values_ = 0;
  std::vector<Column> columns_;
  std::vector<std::uint64_t> cells_;  // increments, or text indices, column after column
  std::string octets_;                // scratch for text fields
};

Status CompressedWalk::walk(std::span<const std::uint32_t> codes, unsigned depth) {
  if (depth > kMaxDepth) {
    return fail(BufrError::table_text("compressed descriptor decode exceeded recursion depth"));
  }
  std::size_t i = 0;
  while (i < codes.size()) {
    const std::uint32_t code = codes[i];
    QV_CHECK(budget_.step());
    switch (code / 100000) {
      case 0:
        QV_CHECK(element(code));
        ++i;
        break;
      case 1:
        i = QV_TRY(replication(codes, i, depth));
        break;
      case 2:
        QV_CHECK(operator_descriptor(code));
        ++i;
        break;
      case 3: {
        const SequenceDefinition* seq = tables_.find_sequence(code);
        if (seq == nullptr) return fail(BufrError::sequence_not_found(code));
        QV_CHECK(walk(seq->members, depth + 1));
        ++i;
        break;
      }
      default:
        return fail(BufrError::table_text("invalid descriptor " + code_text(code)));
    }
  }
  return {};
}

// Elements of class 31 (factors, data-present indicators, associated field significance)
// qualify the data and get no associated field.
Status CompressedWalk::element(std::uint32_t code) {
  if (state_.associated_width != 0 && !is_class31(code)) {
    FieldFormat format;
    format.width = state_.associated_width;
    format.missing_recognised = false;
    QV_CHECK(read_numbers(999999, &associated_field_name(), format, nullptr));
  }
  const ElementDefinition* def = tables_.find_element(code);
  if (def == nullptr) return fail(BufrError::element_not_found(code));
  const std::size_t index = QV_TRY(read_element(element_params(*def, state_)));
  // A data-present indicator enters a bitmap with the first subset's value (0 when there is
  // none) for all subsets.
  std::optional<double> indicator;
  if (code == 31031) {
    indicator = subsets_ == 0 ? 0.0 : number_at(columns_[index], 0).value_or(0.0);
  }
  record_element(state_, *def, indicator);
  state_.local_width_active = false;
  return {};
}

Status CompressedWalk::repeat(std::span<const std::uint32_t> group, std::uint64_t count, unsigned depth) {
  for (std::uint64_t r = 0; r < count; ++r) {
    QV_CHECK(budget_.step());
    QV_CHECK(walk(group, depth + 1));
  }
  return {};
}

// The replication at codes[i]; returns the index after its replicated descriptors.
Result<std::size_t> CompressedWalk::replication(std::span<const std::uint32_t> codes, std::size_t i,
                                                unsigned depth) {
  const std::uint32_t code = codes[i];
  const std::size_t x = code % 100000 / 1000;
  const std::uint32_t y = code % 1000;
  if (x == 0 || i + x >= codes.size()) return fail(BufrError::unsupported_replication(code));
  if (y > 0) {
    QV_CHECK(repeat(codes.subspan(i + 1, x), y, depth));
    return i + x + 1;
  }
  if (i + x + 1 >= codes.size()) return fail(BufrError::incomplete_delayed_replication(code));
  const std::uint32_t factor_code = codes[i + 1];
  const ElementDefinition* factor = tables_.find_element(factor_code);
  if (factor == nullptr) return fail(BufrError::element_not_found(factor_code));
  const std::size_t index = QV_TRY(read_element(element_params(*factor, state_)));
  const std::uint64_t count = QV_TRY(replication_count_of(columns_[index]));
  record_factor(state_, *factor);
  QV_CHECK(repeat(codes.subspan(i + 2, x), count, depth));
  return i + x + 2;
}

Status CompressedWalk::operator_descriptor(std::uint32_t code) {
  switch (apply_operator(state_, code)) {
    case OperatorAction::Marker:
      return add_marker(code);
    case OperatorAction::BitmapRead:
      return marker_read(code);
    case OperatorAction::Characters:
      // 2-05-YYY: YYY octets of text, compressed like a CCITT IA5 element of that width.
      QV_CHECK(read_texts(code, &signify_character_name(), static_cast<std::uint16_t>(8 * (code % 1000))));
      return {};
    case OperatorAction::NewReferences:
      // How new reference values would be laid out in compressed data is not established
      // (one per subset or one for all); the message is refused rather than misread.
      if (state_.new_reference_bits != 0) {
        return fail(BufrError::table_text("new reference values (operator " + code_text(code) +
                                          ") are not supported in compressed data"));
      }
      return {};
    case OperatorAction::None:
      return {};
  }
  return {};
}

// 2-23/24/25/32-255: a column for the element the next bitmap entry selects.
Status CompressedWalk::marker_read(std::uint32_t code) {
  const ElementDefinition* def = QV_TRY(next_bitmap_element(state_));
  if (def == nullptr) return {};
  ElementParams params = element_params(*def, state_);
  if (code / 1000 == 225) widen_for_difference(params);
  QV_CHECK(read_element(params));
  return {};
}

Result<std::size_t> CompressedWalk::read_element(const ElementParams& params) {
  const FieldFormat format = field_format(params, state_);
  const ElementDefinition& def = *params.def;
  if (format.text) return read_texts(def.code, &def.name, format.width);
  return read_numbers(def.code, &def.name, format, tables_.find_code_table(def.code));
}

// Charges a new column against the value limit, before anything is allocated for it.
Status CompressedWalk::count_column() {
  counted_values_ += subsets_ < kMinColumnCharge ? kMinColumnCharge : subsets_;
  if (counted_values_ > max_values_) return fail(WorkBudget::too_many_values());
  return {};
}

// N fields of `width` bits must remain. If they do not, the fields are read one by one so
// that the error names the field a sequential reader would have failed on.
Status CompressedWalk::ensure_bits(std::uint16_t width) {
  if (subsets_ * width <= reader_.bits_remaining()) return {};
  for (std::size_t k = 0; k < subsets_; ++k) QV_CHECK(reader_.read_bits(width));
  return {};
}

Status CompressedWalk::ensure_octets(std::uint16_t width) {
  if (subsets_ * width <= reader_.bits_remaining()) return {};
  for (std::size_t k = 0; k < subsets_; ++k) QV_CHECK(reader_.read_bytes_into(width, octets_));
  return {};
}

Result<std::size_t> CompressedWalk::read_numbers(std::uint32_t descriptor, const std::string* name,
                                                 const FieldFormat& format, const CodeTable* codes) {
  const std::uint64_t r0 = QV_TRY(reader_.read_bits(format.width));
  const auto nbinc = static_cast<std::uint16_t>(QV_TRY(reader_.read_bits(6)));
  QV_CHECK(count_column());
  Column col;
  col.r0 = r0;
  col.r0_missing = format.missing_recognised && all_ones(r0, format.width);
  col.reference = format.reference;
  col.divisor = std::pow(10.0, static_cast<double>(format.scale));
  col.fixed.descriptor = descriptor;
  col.fixed.name = name;
  if (nbinc == 0) {
    col.kind = Column::Kind::Fixed;
    col.fixed.raw = r0;
    col.fixed.meaning = lookup(codes, r0);
    col.fixed.flags = DecodedValue::kHasRaw;
    if (!col.r0_missing) {
      col.fixed.raw_value = scaled(r0, col.reference, col.divisor);
      col.fixed.flags |= DecodedValue::kHasValue;
    }
  } else {
    QV_CHECK(ensure_bits(nbinc));
    col.kind = Column::Kind::Number;
    col.codes = codes;
    col.missing_increment = format.missing_recognised ? (std::uint64_t{1} << nbinc) - 1
                                                      : std::numeric_limits<std::uint64_t>::max();
    col.first = cells_.size();
    cells_.resize(col.first + subsets_);
    std::uint64_t* cell = cells_.data() + col.first;
    for (std::size_t k = 0; k < subsets_; ++k) cell[k] = QV_TRY(reader_.read_bits(nbinc));
  }
  columns_.push_back(col);
  return columns_.size() - 1;
}

// Text: R0 is `width` bits of octets, NBINC counts octets. The text number is counted once
// per element: subset k of the c-th text element (from 0) gets number c * N + k + 1.
Result<std::size_t> CompressedWalk::read_texts(std::uint32_t descriptor, const std::string* name,
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
    col.first = cells_.size();
    cells_.resize(col.first + subsets_);
    std::uint64_t* cell = cells_.data() + col.first;
    std::string text;
    for (std::size_t k = 0; k < subsets_; ++k) {
      QV_CHECK(reader_.read_bytes_into(field, octets_));
      if (convert_text(octets_, text)) {
        cell[k] = out_.texts.size();
        out_.texts.push_back(std::move(text));
      } else {
        cell[k] = kNoText;
      }
    }
  }
  columns_.push_back(col);
  return columns_.size() - 1;
}

Status CompressedWalk::add_marker(std::uint32_t code) {
  QV_CHECK(count_column());
  Column col;
  col.fixed.descriptor = code;
  col.fixed.name = &operator_name();
  col.fixed.flags = DecodedValue::kHasRaw | DecodedValue::kHasValue;
  columns_.push_back(col);
  return {};
}

// The count of a delayed replication: the factor must be the same in every subset.
Result<std::uint64_t> CompressedWalk::replication_count_of(const Column& col) const {
  if (subsets_ == 0) return 0;
  const std::optional<double> first = number_at(col, 0);
  if (!first) return 0;
  for (std::size_t s = 1; s < subsets_; ++s) {
    const std::optional<double> v = number_at(col, s);
    if (!v || !(std::fabs(*v - *first) <= kFactorTolerance)) {
      return fail(
          BufrError::table_text("compressed delayed replication with varying factors is not implemented"));
    }
  }
  return replication_count(first);
}

// The numeric value of subset s; none for missing values and for text (whose raw_value is
// its running number, not a quantity).
std::optional<double> CompressedWalk::number_at(const Column& col, std::size_t s) const {
  if (col.kind == Column::Kind::Text) return std::nullopt;
  const DecodedValue v = value_at(col, s);
  if (!v.has_value()) return std::nullopt;
  return v.raw_value;
}

DecodedValue CompressedWalk::value_at(const Column& col, std::size_t s) const {
  DecodedValue v = col.fixed;
  switch (col.kind) {
    case Column::Kind::Fixed:
      break;
    case Column::Kind::Number: {
      const std::uint64_t increment = cells_[col.first + s];
      if (col.r0_missing || increment == col.missing_increment) {
        v.raw = col.r0;
        v.flags = DecodedValue::kHasRaw;
      } else {
        v.raw = col.r0 + increment;
        v.raw_value = scaled(v.raw, col.reference, col.divisor);
        v.flags = DecodedValue::kHasRaw | DecodedValue::kHasValue;
      }
      v.meaning = lookup(col.codes, v.raw);
      break;
    }
    case Column::Kind::Text:
      v.raw_value = text_number(col.text_base + s + 1, col.text_width);
      if (col.varying) {
        const std::uint64_t index = cells_[col.first + s];
        if (index != kNoText) {
          v.text_index = static_cast<std::uint32_t>(index);
          v.flags |= DecodedValue::kHasText;
        }
      }
      break;
  }
  return v;
}

// Writes the records in subset order: entry s of every column, for s = 0 .. N - 1.
void CompressedWalk::emit() {
  std::vector<DecodedValue>& values = out_.values;
  values.reserve(values.size() + subsets_ * columns_.size());
  out_.subset_starts.reserve(out_.subset_starts.size() + subsets_);
  for (std::size_t s = 0; s < subsets_; ++s) {
    out_.subset_starts.push_back(values.size());
    for (const Column& col : columns_) values.push_back(value_at(col, s));
  }
}

}  // namespace

Status decode_compressed(const std::vector<std::uint32_t>& codes, const TableSet& tables, BitReader& reader,
                         std::uint16_t subsets, DecodeResult& out) {
  CompressedWalk walk(tables, reader, subsets, out);
  QV_CHECK(walk.walk(codes, 0));
  walk.emit();
  return {};
}

}  // namespace quorvex
