// Uncompressed data: every field in section 4 in the order the walk visits the descriptors,
// each subset after the other. Values are appended to the result as they are read.
#include "decode/uncompressed.hpp"

#include <algorithm>
#include <optional>

#include "decode/data_consumer.hpp"
#include "decode/field.hpp"
#include "decode/skip_plan.hpp"
#include "decode/template_program.hpp"
#include "decode/walk.hpp"
#include "decode/wanted_elements.hpp"

namespace quorvex {

namespace {

// A value of class 33 that ecCodes may name, in a quality block, by the key of the element
// it qualifies.
bool keyed_quality(std::uint32_t code) {
  return split_code(code).x == kQualityClass && code != kPercentConfidence;
}

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
  using Base::swap_scratch;

  static constexpr WalkRules kRules{.name = WalkName::Decode};
  static constexpr DataRules kDataRules{};

  UncompressedReader(const TableSet& tables, BitReader& reader, DecodeResult& out, std::uint64_t max_values,
                     const WantedElements* wanted, const SkipPlan* skips)
      : Base(tables), wanted_(wanted), skips_(skips), reader_(reader), out_(out), max_values_(max_values) {}

  bool after_step() { return values_read() <= max_values_ || fail_with(BufrError::too_many_values()); }
  std::uint64_t values_read() const {
    if constexpr (Mode == ReadMode::Wanted) return out_.values.size() + out_.passed_over;
    return out_.values.size();
  }
  bool define_reference(std::uint32_t code);
  bool associated_field();
  bool read_element(const ElementInfo& info);
  std::uint32_t pass_run(const ProgramStep& step, std::uint64_t steps_left);
  bool pass_repeated(std::span<const ProgramStep> body, std::uint64_t count, std::uint64_t steps_left,
                     std::uint64_t& charged);
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
  // Where the meanings of code and flag values are looked up: nowhere for rows, which never
  // show them.
  static const CodeTable* meanings(const CodeTable* table) {
    return Mode == ReadMode::Wanted ? nullptr : table;
  }
  bool tabled_number(const ElementInfo& info);
  bool pass_over(const ElementInfo& info);
  bool passable(const SkipRun& run, std::uint64_t times) const;
  bool fits(std::uint64_t bits, std::uint64_t values, std::uint64_t times) const;
  void pass(const SkipRun& run, std::uint64_t times);
  bool bitmap_entries(const ProgramStep& step, std::uint64_t count);

  const WantedElements* wanted_;
  const SkipPlan* skips_;
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
  const DecodedValue& v = out_.values.emplace_back(number_record(*params.def,
                                                                 meanings(params.code_table),
                                                                 *raw,
                                                                 is_missing(*raw, format),
                                                                 format.reference,
                                                                 format.scale));
  if (v.has_value()) number = v.raw_value;
  return true;
}

// Kept out of the walk's loop, which stays small enough for the compiler to keep its
// state in registers (measured: inlined here, the walk ran 2 to 5% slower).
template <ReadMode Mode>
[[gnu::noinline]] bool UncompressedReader<Mode>::read_element(const ElementInfo& info) {
  if constexpr (Mode == ReadMode::Wanted) {
    // A quality value is kept: ecCodes may number it under the key of the element it
    // qualifies (a QualityKey refers to its record), a percentage of confidence excepted.
    passed_ = !info.text && !wanted_->records(info.def->code) &&
              !(state_.quality_block && keyed_quality(info.def->code));
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
  const DecodedValue& v = out_.values.emplace_back(number_record(def,
                                                                 meanings(info.code_table),
                                                                 raw,
                                                                 !info.class31 && all_ones(raw, def.width),
                                                                 def.reference,
                                                                 def.scale));
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

// Whether `times` passes of `run` may be made in one move: nothing in force changes how its
// elements are read or what they do, and they fit in the data and the value budget. Otherwise
// the walk reads them one by one, and its checks give any error where it arises.
template <ReadMode Mode>
bool UncompressedReader<Mode>::passable(const SkipRun& run, std::uint64_t times) const {
  const DecodeState& s = state_;
  if (run.steps == 0 || !s.numbers_as_tabled() || s.new_reference_bits != 0 || s.associated_width != 0 ||
      s.implicit_bitmap_armed || s.implicit_bitmap_collecting || (s.quality_block && run.keyed_quality))
    return false;
  return fits(run.bits, run.elements, times);
}

// Whether `times` times `bits` bits remain and `times` times `values` values stay within the
// budget.
template <ReadMode Mode>
bool UncompressedReader<Mode>::fits(std::uint64_t bits, std::uint64_t values, std::uint64_t times) const {
  const std::uint64_t bits_left = reader_.bits_remaining();
  const std::uint64_t values_left = max_values_ - values_read();
  return (bits == 0 || times <= bits_left / bits) && (values == 0 || times <= values_left / values);
}

// `times` passes of `run`, as walking them would make them: bits read past, elements into
// the history, each counted.
template <ReadMode Mode>
void UncompressedReader<Mode>::pass(const SkipRun& run, std::uint64_t times) {
  if (times == 0) return;
  if (state_.quality_block && run.percent_confidence) Base::select_quality();
  reader_.advance(run.bits * times);
  out_.passed_over += run.elements * times;
  const std::span<const ElementDefinition* const> defs = skips_->defs(run);
  std::vector<const ElementDefinition*>& history = state_.history;
  if (defs.size() == 1) {
    history.insert(history.end(), times, defs.front());
    return;
  }
  for (std::uint64_t t = 0; t < times; ++t) history.insert(history.end(), defs.begin(), defs.end());
}

// The run of unrecorded numbers that starts at `step`, passed over in one move if it may be
// (see passable); its steps, or 0 (the element is then read on its own).
template <ReadMode Mode>
std::uint32_t UncompressedReader<Mode>::pass_run(const ProgramStep& step, std::uint64_t steps_left) {
  if constexpr (Mode != ReadMode::Wanted) {
    return 0;
  } else {
    if (skips_ == nullptr) return 0;
    const SkipRun& run = skips_->at(step);
    if (run.steps == 0 || run.steps - 1 > steps_left || !passable(run, 1)) return 0;
    pass(run, 1);
    return run.steps;
  }
}

// `count` repetitions of `body` in one move: a group that is one run of unrecorded numbers,
// or a lone data-present indicator (its values recorded in the state as they are read, into
// the bitmap being collected). False, with nothing done, when neither applies or the budgets
// would not allow it; the walk then repeats the group. `charged`: the steps the walk charges.
template <ReadMode Mode>
bool UncompressedReader<Mode>::pass_repeated(std::span<const ProgramStep> body, std::uint64_t count,
                                             std::uint64_t steps_left, std::uint64_t& charged) {
  if constexpr (Mode != ReadMode::Wanted) {
    return false;
  } else {
    if (skips_ == nullptr || body.empty() || body.front().kind != ProgramStep::Kind::Element) return false;
    const std::uint64_t per_repetition = 1 + body.size();
    if (count > steps_left / per_repetition) return false;
    charged = count * per_repetition;
    const SkipRun& run = skips_->at(body.front());
    if (run.steps == body.size()) {
      if (!passable(run, count)) return false;
      pass(run, count);
      return true;
    }
    return body.size() == 1 && bitmap_entries(body.front(), count);
  }
}

// `count` values of the data-present indicator `step`, each read and recorded in the state as
// reading them one by one would (record_element: bitmap entries while a bitmap is collected).
// A class 31 element never carries an associated field nor is missing.
template <ReadMode Mode>
bool UncompressedReader<Mode>::bitmap_entries(const ProgramStep& step, std::uint64_t count) {
  const ElementInfo* info = step.element();
  if (info == nullptr || info->def->code != kDataPresentIndicator ||
      wanted_->records(kDataPresentIndicator) || !state_.numbers_as_tabled() ||
      state_.new_reference_bits != 0)
    return false;
  const ElementDefinition& def = *info->def;
  if (def.reference != 0 || def.scale != 0 || def.width == 0 || def.width > 64 || !fits(def.width, 1, count))
    return false;
  DecodeState& s = state_;
  std::uint64_t raw = 0;
  std::uint64_t i = 0;
  for (; i < count && !(s.bitmap_defining || s.implicit_bitmap_collecting); ++i) {
    (void)reader_.try_read_bits(def.width, raw);  // the bits are known to remain
    record_element(s, def, static_cast<double>(raw));
  }
  // The others are entries of the bitmap being collected, and record_element adds only them.
  const std::size_t before = s.bitmap.size();
  s.bitmap.resize(before + (count - i));
  std::uint8_t* entry = s.bitmap.data() + before;
  reader_.read_known_fields(
      def.width, count - i, [&entry](std::uint64_t bits) { *entry++ = bitmap_entry(bits); });
  out_.passed_over += count;
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

// The walk's growing vectors (see WalkScratch), lent by the thread for one message and taken
// back, with what they grew to, at its end.
template <class Reader>
class ScratchLoan {
 public:
  explicit ScratchLoan(Reader& reader) : reader_(reader) {
    WalkScratch& s = spare();
    s.history.clear();
    s.bitmap.clear();
    s.quality_selected.clear();
    s.quality_taken.clear();
    if (s.history.capacity() < 256) s.history.reserve(256);
    reader_.swap_scratch(s);
  }
  ~ScratchLoan() { reader_.swap_scratch(spare()); }
  ScratchLoan(const ScratchLoan&) = delete;
  ScratchLoan& operator=(const ScratchLoan&) = delete;

 private:
  static WalkScratch& spare() {
    static thread_local WalkScratch scratch;
    return scratch;
  }
  Reader& reader_;
};

template <ReadMode Mode>
Status decode_subsets(std::span<const std::uint32_t> codes, const TableSet& tables, BitReader& reader,
                      std::uint16_t subsets, DecodeResult& out, const TemplateProgram* program,
                      MessageStructure* structure, const WantedElements* wanted, const SkipPlan* skips) {
  const std::uint64_t bits = reader.bits_available();
  const std::uint64_t max_values = WorkLimits::values(bits);
  // Real messages hold about one value per octet or fewer; growth beyond is geometric.
  out.values.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(bits / 8 + 16, max_values)));
  UncompressedReader<Mode> consumer(tables, reader, out, max_values, wanted, skips);
  const ScratchLoan spare(consumer);
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
                           MessageStructure* structure, const WantedElements* wanted, const SkipPlan* skips) {
  if (structure != nullptr)
    return decode_subsets<ReadMode::Recording>(
        codes, tables, reader, subsets, out, program, structure, nullptr, nullptr);
  if (wanted != nullptr) {
    return decode_subsets<ReadMode::Wanted>(
        codes, tables, reader, subsets, out, program, nullptr, wanted, program != nullptr ? skips : nullptr);
  }
  return decode_subsets<ReadMode::Plain>(
      codes, tables, reader, subsets, out, program, nullptr, nullptr, nullptr);
}

}  // namespace quorvex
