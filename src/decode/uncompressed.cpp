#include "decode/uncompressed.hpp"

#include <algorithm>
#include <optional>

#include "decode/value.hpp"
#include "lib/text.hpp"

namespace quorvex {

namespace {

// One walk over a descriptor list. The steps return true on success; on failure they keep
// the error in `error_` and return false, and every caller passes the false straight up.
// (Plain flags keep the hot path free of the cost of moving error values through every
// level; the error leaves through decode_descriptors as a Status.)
class Walker {
 public:
  explicit Walker(WalkContext& ctx) : ctx_(ctx), state_(ctx.state), out_(ctx.out) {}

  [[nodiscard]] bool walk(std::span<const std::uint32_t> codes, unsigned depth);
  BufrError take_error() { return std::move(*error_); }

 private:
  [[gnu::cold, gnu::noinline]] bool fail_with(BufrError e) {
    error_ = std::move(e);
    return false;
  }
  bool step();
  bool associated_field(std::uint32_t code);
  bool define_reference(std::uint32_t code);
  bool read_value(const ElementParams& params, double& number, bool& has_number);
  [[gnu::noinline]] bool read_text(const ElementParams& params);
  bool element(std::uint32_t code);
  bool tabled_number(const ElementInfo& info);
  bool bitmap_read(std::uint32_t code);
  bool operator_descriptor(std::uint32_t code);
  bool sequence(std::uint32_t code, unsigned depth);
  bool repeat(std::span<const std::uint32_t> group, std::uint64_t count, unsigned depth);
  bool replication(std::span<const std::uint32_t> codes, std::size_t& i, unsigned depth);

  WalkContext& ctx_;
  DecodeState& state_;
  DecodeResult& out_;
  std::optional<BufrError> error_;
};

// Counts one descriptor visit against the budget, and the values appended so far.
inline bool Walker::step() {
  if (!ctx_.budget.charge_step()) return fail_with(WorkBudget::too_many_steps());
  if (!ctx_.budget.values_within(out_.values.size())) return fail_with(WorkBudget::too_many_values());
  return true;
}

// An associated field precedes every element while 2-04 is in force, except the elements
// of class 31 (replication factors, data-present indicators, associated field significance),
// which qualify the data rather than being data themselves.
inline bool Walker::associated_field(std::uint32_t code) {
  if (state_.associated_width == 0 || is_class31(code)) return true;
  auto bits = ctx_.reader.read_bits(state_.associated_width);
  if (!bits) return fail_with(std::move(bits).error());
  append_associated_field(*bits, out_);
  return true;
}

// While 2-03-YYY is in force, an element descriptor carries no value but YYY bits that
// become the new reference value of its code: the leftmost bit is the sign (1 negative),
// the others the magnitude.
bool Walker::define_reference(std::uint32_t code) {
  if (ctx_.elements.find(code) == nullptr) return fail_with(BufrError::element_not_found(code));
  const std::uint16_t width = state_.new_reference_bits;
  auto bits = ctx_.reader.read_bits(width);  // width 1..254: above 64 this fails
  if (!bits) return fail_with(std::move(bits).error());
  const std::uint64_t sign = std::uint64_t{1} << (width - 1);
  // The magnitude has at most 63 bits, so it and its negation fit.
  const auto magnitude = static_cast<std::int64_t>(*bits & (sign - 1));
  state_.new_references[code] = (*bits & sign) != 0 ? -magnitude : magnitude;
  return true;
}

// Reads one value and appends it; numbers take the inline path, text the general one.
// Returns the numeric value through `number` (none for missing values and text).
inline bool Walker::read_value(const ElementParams& params, double& number, bool& has_number) {
  const FieldFormat format = field_format(params, state_);
  has_number = false;
  if (format.text) return read_text(params);
  auto raw = ctx_.reader.read_bits(format.width);
  if (!raw) return fail_with(std::move(raw).error());
  const DecodedValue& v = out_.values.emplace_back(number_value(params, format, *raw, ctx_.tables));
  number = v.raw_value;
  has_number = v.has_value();
  return true;
}

bool Walker::read_text(const ElementParams& params) {
  auto r = read_element_value(params, state_, ctx_.reader, ctx_.tables, out_);
  return r ? true : fail_with(std::move(r).error());
}

bool Walker::element(std::uint32_t code) {
  if (state_.new_reference_bits != 0) return define_reference(code);
  if (!associated_field(code)) return false;
  const ElementInfo* info = ctx_.elements.find(code);
  if (info == nullptr) return fail_with(BufrError::element_not_found(code));
  if (!info->text && state_.numbers_as_tabled()) return tabled_number(*info);
  double number;
  bool has_number;
  if (!read_value(element_params(*info, state_), number, has_number)) return false;
  state_.local_width_active = false;
  record_element(state_, *info->def, has_number ? std::optional<double>(number) : std::nullopt);
  return true;
}

// A number read with its table's width, scale and reference (no operator in force): the
// general path of read_value and record_element, with nothing to adjust.
inline bool Walker::tabled_number(const ElementInfo& info) {
  const ElementDefinition& def = *info.def;
  std::uint64_t raw;
  if (!ctx_.reader.try_read_bits(def.width, raw)) {
    return fail_with(std::move(ctx_.reader.read_bits(def.width)).error());
  }
  const DecodedValue& v = out_.values.emplace_back(number_record(
      def, info.code_table, raw, !info.class31 && all_ones(raw, def.width), def.reference, def.scale));
  record_element(state_, def, v.has_value() ? std::optional<double>(v.raw_value) : std::nullopt);
  return true;
}

// 2-23/24/25/32-255: the value the next bitmap entry selects, read under the operators in
// force with the referenced element's code and name. 2-25 reads a difference: one bit
// wider, with a negative reference.
bool Walker::bitmap_read(std::uint32_t code) {
  auto next = next_bitmap_element(state_);
  if (!next) return fail_with(std::move(next).error());
  if (*next == nullptr) return true;
  const ElementInfo* info = ctx_.elements.find((*next)->code);
  ElementParams params =
      info != nullptr && info->def == *next ? element_params(*info, state_) : element_params(**next, state_);
  if (code / 1000 == 225) widen_for_difference(params);
  double number;
  bool has_number;
  return read_value(params, number, has_number);
}

bool Walker::operator_descriptor(std::uint32_t code) {
  switch (apply_operator(state_, code)) {
    case OperatorAction::Marker:
      append_marker(code, out_);
      return true;
    case OperatorAction::BitmapRead:
      return bitmap_read(code);
    case OperatorAction::Characters: {
      auto status = read_characters(code, state_, ctx_.reader, out_);
      return status ? true : fail_with(std::move(status).error());
    }
    case OperatorAction::None:
    case OperatorAction::NewReferences:
      return true;
  }
  return true;
}

bool Walker::sequence(std::uint32_t code, unsigned depth) {
  const SequenceDefinition* seq = ctx_.tables.find_sequence(code);
  if (seq == nullptr) return fail_with(BufrError::sequence_not_found(code));
  return walk(seq->members, depth + 1);
}

bool Walker::repeat(std::span<const std::uint32_t> group, std::uint64_t count, unsigned depth) {
  for (std::uint64_t r = 0; r < count; ++r) {
    if (!step() || !walk(group, depth + 1)) return false;
  }
  return true;
}

// The replication at codes[i]; moves i past its replicated descriptors.
bool Walker::replication(std::span<const std::uint32_t> codes, std::size_t& i, unsigned depth) {
  const std::uint32_t code = codes[i];
  const std::size_t x = code % 100000 / 1000;
  const std::uint32_t y = code % 1000;
  if (x == 0 || i + x >= codes.size()) return fail_with(BufrError::unsupported_replication(code));
  if (y > 0) {
    if (!repeat(codes.subspan(i + 1, x), y, depth)) return false;
    i += x + 1;
    return true;
  }
  if (i + x + 1 >= codes.size()) return fail_with(BufrError::incomplete_delayed_replication(code));
  const std::uint32_t factor_code = codes[i + 1];
  if (!associated_field(factor_code)) return false;
  const ElementInfo* factor = ctx_.elements.find(factor_code);
  if (factor == nullptr) return fail_with(BufrError::element_not_found(factor_code));
  double number;
  bool has_number;
  if (!read_value(element_params(*factor, state_), number, has_number)) return false;
  record_factor(state_, *factor->def);
  const std::uint64_t count = replication_count(has_number ? std::optional<double>(number) : std::nullopt);
  if (!repeat(codes.subspan(i + 2, x), count, depth)) return false;
  i += x + 2;
  return true;
}

bool Walker::walk(std::span<const std::uint32_t> codes, unsigned depth) {
  if (depth > kMaxDecodeDepth) {
    return fail_with(BufrError::table_text("descriptor decode exceeded recursion depth"));
  }
  std::size_t i = 0;
  while (i < codes.size()) {
    const std::uint32_t code = codes[i];
    if (!step()) return false;
    bool ok;
    switch (code / 100000) {
      case 0:
        ok = element(code);
        ++i;
        break;
      case 1:
        ok = replication(codes, i, depth);
        break;
      case 2:
        ok = operator_descriptor(code);
        ++i;
        break;
      case 3:
        ok = sequence(code, depth);
        ++i;
        break;
      default:
        return fail_with(BufrError::table_text("invalid descriptor " + code_text(code)));
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace

Status decode_descriptors(std::span<const std::uint32_t> codes, WalkContext& ctx, unsigned depth) {
  Walker walker(ctx);
  if (!walker.walk(codes, depth)) return fail(walker.take_error());
  return {};
}

Status decode_uncompressed(std::span<const std::uint32_t> codes, const TableSet& tables, BitReader& reader,
                           std::uint16_t subsets, DecodeResult& out) {
  WorkBudget budget = WorkBudget::for_bits(reader.bits_available());
  // Real messages hold about one value per octet or fewer; growth beyond is geometric.
  out.values.reserve(static_cast<std::size_t>(
      std::min<std::uint64_t>(reader.bits_available() / 8 + 16, budget.max_values())));
  DecodeState state;
  state.history.reserve(256);
  ElementCache elements(tables);
  WalkContext ctx{tables, reader, state, out, budget, elements};
  Walker walker(ctx);
  out.subset_starts.reserve(out.subset_starts.size() + subsets);
  for (std::uint32_t s = 0; s < subsets; ++s) {
    out.subset_starts.push_back(out.values.size());
    state.reset_for_subset();
    if (!walker.walk(codes, 0)) return fail(walker.take_error());
  }
  return ctx.budget.check_values(out.values.size());
}

}  // namespace quorvex
