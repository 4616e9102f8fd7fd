#include "decode/uncompressed.hpp"

#include <algorithm>

#include "decode/value.hpp"
#include "lib/text.hpp"

namespace quorvex {

namespace {

// Counts one descriptor visit against the budget, and the values appended so far.
Status step(WalkContext& ctx) {
  QV_CHECK(ctx.budget.step());
  return ctx.budget.check_values(ctx.out.values.size());
}

// An associated field precedes every element while 2-04 is in force, except the elements
// of class 31 (replication factors, data-present indicators, associated field significance),
// which qualify the data rather than being data themselves.
Status associated_field(WalkContext& ctx, std::uint32_t code) {
  if (ctx.state.associated_width == 0 || is_class31(code)) return {};
  const std::uint64_t bits = QV_TRY(ctx.reader.read_bits(ctx.state.associated_width));
  append_associated_field(bits, ctx.out);
  return {};
}

// While 2-03-YYY is in force, an element descriptor carries no value but YYY bits that
// become the new reference value of its code: the leftmost bit is the sign (1 negative),
// the others the magnitude.
Status define_reference(WalkContext& ctx, std::uint32_t code) {
  if (ctx.elements.find(code) == nullptr) return fail(BufrError::element_not_found(code));
  const std::uint16_t width = ctx.state.new_reference_bits;
  const std::uint64_t bits = QV_TRY(ctx.reader.read_bits(width));
  const std::uint64_t magnitude = width >= 64 ? bits & ~(std::uint64_t{1} << 63)
                                              : bits & ((std::uint64_t{1} << (width - 1)) - 1);
  const bool negative = (bits >> (width - 1)) & 1;
  // The magnitude has at most 63 bits, so it and its negation fit.
  const auto value = static_cast<std::int64_t>(magnitude);
  ctx.state.new_references[code] = negative ? -value : value;
  return {};
}

Status element(WalkContext& ctx, std::uint32_t code) {
  if (ctx.state.new_reference_bits != 0) return define_reference(ctx, code);
  QV_CHECK(associated_field(ctx, code));
  const ElementInfo* info = ctx.elements.find(code);
  if (info == nullptr) return fail(BufrError::element_not_found(code));
  const auto number = QV_TRY(read_element_value(element_params(*info, ctx.state), ctx.state,
                                                ctx.reader, ctx.tables, ctx.out));
  ctx.state.local_width_active = false;
  record_element(ctx.state, *info->def, number);
  return {};
}

// 2-23/24/25/32-255: the value the next bitmap entry selects, read under the operators in
// force with the referenced element's code and name. 2-25 reads a difference: one bit
// wider, with a negative reference.
Status bitmap_read(WalkContext& ctx, std::uint32_t code) {
  const ElementDefinition* def = QV_TRY(next_bitmap_element(ctx.state));
  if (def == nullptr) return {};
  ElementParams params = element_params(*def, ctx.state);
  if (code / 1000 == 225) widen_for_difference(params);
  QV_CHECK(read_element_value(params, ctx.state, ctx.reader, ctx.tables, ctx.out));
  return {};
}

Status operator_descriptor(WalkContext& ctx, std::uint32_t code) {
  switch (apply_operator(ctx.state, code)) {
    case OperatorAction::Marker:
      append_marker(code, ctx.out);
      return {};
    case OperatorAction::BitmapRead:
      return bitmap_read(ctx, code);
    case OperatorAction::Characters:
      return read_characters(code, ctx.state, ctx.reader, ctx.out);
    case OperatorAction::None:
    case OperatorAction::NewReferences:
      return {};
  }
  return {};
}

Status sequence(WalkContext& ctx, std::uint32_t code, unsigned depth) {
  const SequenceDefinition* seq = ctx.tables.find_sequence(code);
  if (seq == nullptr) return fail(BufrError::sequence_not_found(code));
  return decode_descriptors(seq->members, ctx, depth + 1);
}

Status repeat(WalkContext& ctx, std::span<const std::uint32_t> group, std::uint64_t count,
              unsigned depth) {
  for (std::uint64_t r = 0; r < count; ++r) {
    QV_CHECK(step(ctx));
    QV_CHECK(decode_descriptors(group, ctx, depth + 1));
  }
  return {};
}

// The replication at codes[i]; returns the index after its replicated descriptors.
Result<std::size_t> replication(WalkContext& ctx, std::span<const std::uint32_t> codes,
                                std::size_t i, unsigned depth) {
  const std::uint32_t code = codes[i];
  const std::size_t x = code % 100000 / 1000;
  const std::uint32_t y = code % 1000;
  if (x == 0 || i + x >= codes.size()) return fail(BufrError::unsupported_replication(code));
  if (y > 0) {
    QV_CHECK(repeat(ctx, codes.subspan(i + 1, x), y, depth));
    return i + x + 1;
  }
  if (i + x + 1 >= codes.size()) return fail(BufrError::incomplete_delayed_replication(code));
  const std::uint32_t factor_code = codes[i + 1];
  QV_CHECK(associated_field(ctx, factor_code));
  const ElementInfo* factor = ctx.elements.find(factor_code);
  if (factor == nullptr) return fail(BufrError::element_not_found(factor_code));
  const auto number = QV_TRY(read_element_value(element_params(*factor, ctx.state), ctx.state,
                                                ctx.reader, ctx.tables, ctx.out));
  record_factor(ctx.state, *factor->def);
  QV_CHECK(repeat(ctx, codes.subspan(i + 2, x), replication_count(number), depth));
  return i + x + 2;
}

}  // namespace

Status decode_descriptors(std::span<const std::uint32_t> codes, WalkContext& ctx,
                          unsigned depth) {
  if (depth > kMaxDecodeDepth) {
    return fail(BufrError::table_text("descriptor decode exceeded recursion depth"));
  }
  std::size_t i = 0;
  while (i < codes.size()) {
    const std::uint32_t code = codes[i];
    QV_CHECK(step(ctx));
    switch (code / 100000) {
      case 0:
        QV_CHECK(element(ctx, code));
        ++i;
        break;
      case 1:
        i = QV_TRY(replication(ctx, codes, i, depth));
        break;
      case 2:
        QV_CHECK(operator_descriptor(ctx, code));
        ++i;
        break;
      case 3:
        QV_CHECK(sequence(ctx, code, depth));
        ++i;
        break;
      default:
        return fail(BufrError::table_text("invalid descriptor " + code_text(code)));
    }
  }
  return {};
}

Status decode_uncompressed(std::span<const std::uint32_t> codes, const TableSet& tables,
                           BitReader& reader, std::uint16_t subsets, DecodeResult& out) {
  WorkBudget budget = WorkBudget::for_bits(reader.bits_available());
  // Real messages hold about one value per octet or fewer; growth beyond is geometric.
  out.values.reserve(static_cast<std::size_t>(
      std::min<std::uint64_t>(reader.bits_available() / 8 + 16, budget.max_values())));
  DecodeState state;
  ElementCache elements(tables);
  WalkContext ctx{tables, reader, state, out, budget, elements};
  for (std::uint32_t s = 0; s < subsets; ++s) {
    state.reset_for_subset();
    QV_CHECK(decode_descriptors(codes, ctx, 0));
  }
  return ctx.budget.check_values(out.values.size());
}

}  // namespace quorvex
