// The walk over a descriptor list, written once: F dispatch, Table D sequences, fixed and
// delayed replication, the nesting limit and the step budget. What a descriptor means for
// the output (a value read from section 4, a column of compressed data, a code of an
// expansion) is left to a consumer plugged into the walk as a template parameter.
//
// A consumer provides
//   static constexpr WalkRules kRules;                     how the walk reads the format
//   bool element(std::uint32_t code);                      F = 0
//   bool operator_descriptor(std::uint32_t code);          F = 2
//   bool delayed_factor(std::uint32_t code, std::uint64_t& count);
//                                                          the factor of 1-X-000 and how many
//                                                          repetitions it asks for (not called
//                                                          when kRules.delayed_once)
//   bool after_step();                                     the consumer's own budget, checked
//                                                          after every step the walk charges
// and, to replay a program, may provide
//   void delayed_steps(std::span<const ProgramStep> body); the steps a delayed replication
//                                                          repeats, told before its factor
// and derives from WalkErrors: a method that fails records its error with fail_with() and
// returns false, and the walk returns false at once. The calls are resolved at compile
// time, so a consumer costs no more than code written for it alone.
//
// A consumer that follows the nesting (StatesNesting) also provides
//   void open_sequence(std::uint32_t code);                a Table D sequence starts
//   void open_replication(std::uint32_t code, std::uint64_t count);
//                                                          1-X-Y starts, `count` repetitions
//                                                          (for 1-X-000, once its factor is read;
//                                                          with kRules.delayed_once, count 0 and
//                                                          factor and group walked once, with no
//                                                          repetition)
//   void repetition(std::uint64_t number);                 repetition `number` (from 1) starts
//   void close_group();                                    the innermost of both ends
//
// A template compiled once (decode/template_program.hpp) is replayed by the same walk
// (replay()): the consumer then also provides element(code, info) and
// delayed_factor(code, info, count), which take the element already resolved in Table B
// (null when Table B lacks it), and sees the same calls in the same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "lib/error.hpp"
#include "message/descriptor.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

// Lists nested deeper than this below the top list are refused.
inline constexpr unsigned kMaxWalkDepth = 64;

struct ProgramStep;
class TemplateProgram;

// A consumer that follows the nesting; any other is walked with no call about it.
template <class Consumer>
concept StatesNesting = requires(Consumer& c) {
  c.close_group();
};

// The layout of the replication 1-X-Y at codes[i], or why it cannot be read.
struct ReplicationLayout {
  enum class Fault : std::uint8_t {
    None,
    Unsupported,  // X is 0, or fewer than X descriptors follow
    Incomplete,   // delayed, and the factor or a replicated descriptor is missing
  };
  std::uint32_t count;  // Y: 0 for a delayed replication, whose factor is codes[i + 1]
  std::size_t group;    // index of the first replicated descriptor
  std::size_t size;     // X: how many descriptors are replicated
  Fault fault;
};

[[nodiscard]] inline ReplicationLayout replication_layout(std::span<const std::uint32_t> codes, std::size_t i,
                                                          bool codes_modulo_256) {
  const DescriptorParts p = split_code(codes[i]);
  const std::uint32_t y = codes_modulo_256 ? p.y & 0xFFu : p.y;
  using Fault = ReplicationLayout::Fault;
  if (p.x == 0 || i + p.x >= codes.size()) return {y, 0, 0, Fault::Unsupported};
  if (y > 0) return {y, i + 1, p.x, Fault::None};
  if (i + p.x + 1 >= codes.size()) return {y, 0, 0, Fault::Incomplete};
  return {y, i + 2, p.x, Fault::None};
}

// Where a consumer's rules differ from reading a message.
struct WalkRules {
  WalkName name = WalkName::Decode;  // names the walk in its depth and step errors
  // F and Y taken modulo 256, as codes given by a caller (not read from 16-bit section 3
  // fields) are read by an expansion: 1-01-256 is then a delayed replication.
  bool codes_modulo_256 = false;
  // A delayed replication is shown once, its factor and group walked as one list one
  // level down, instead of its factor read and its group repeated.
  bool delayed_once = false;
  // Every repetition of a replicated group is charged a step, as a descriptor is.
  bool step_per_repetition = true;
};

// Bounds on the work a message may ask for. A few bits can ask for many steps (delayed
// replication of descriptors that read nothing, elements of width 0, operator markers), so
// the limits grow with the size of section 4:
//   steps            <= 8 * bits + 2^22   descriptors visited, repetitions included; real
//                                          templates visit a few descriptors per value
//   values           <= bits + 2^20       uncompressed: a value costs at least one bit,
//                                          markers excepted
//   compressed values <= 16 * bits + 2^20  a column of N values costs R0 and 6 bits of NBINC
// An expansion, which reads no data, may visit at most kExpansionSteps descriptors.
struct WorkLimits {
  static constexpr std::uint64_t kValueAllowance = std::uint64_t{1} << 20;
  static constexpr std::uint64_t kStepAllowance = std::uint64_t{1} << 22;
  static constexpr std::uint64_t kCompressedValuesPerBit = 16;
  static constexpr std::uint64_t kExpansionSteps = std::uint64_t{1} << 22;
  // Every compressed column is charged at least this many values, whatever N (0 included), so
  // that the column records themselves stay within the bound.
  static constexpr std::uint64_t kMinColumnCharge = 3;

  static std::uint64_t steps(std::uint64_t bits);
  static std::uint64_t values(std::uint64_t bits);
  static std::uint64_t compressed_values(std::uint64_t bits);
};

// The first failure of a walk, kept until the walk has unwound. Plain flags on the way up
// keep the hot path free of moving error values through every level.
class WalkErrors {
 public:
  [[gnu::cold, gnu::noinline]] bool fail_with(BufrError e) {
    error_ = std::move(e);
    return false;
  }
  template <class T>
  bool check(const std::expected<T, BufrError>& r) {
    return r ? true : fail_with(r.error());
  }
  BufrError take_error() { return std::move(*error_); }

 private:
  std::optional<BufrError> error_;
};

template <class Consumer>
class DescriptorWalk {
 public:
  DescriptorWalk(const TableSet& tables, Consumer& consumer, std::uint64_t max_steps)
      : tables_(tables), consumer_(consumer), max_steps_(max_steps) {}
  // The descriptors visited so far, over every walk and replay of this walker.
  std::uint64_t steps() const { return steps_; }

  // Walks `codes`, nested `depth` levels below the top list.
  [[nodiscard]] bool walk(std::span<const std::uint32_t> codes, unsigned depth);
  // Walks the list `program` was compiled from, as walk(codes, 0) would.
  [[nodiscard]] bool replay(const TemplateProgram& program);

 private:
  static constexpr WalkRules kRules = Consumer::kRules;

  bool step();
  bool sequence(std::uint32_t code, unsigned depth);
  bool replication(std::span<const std::uint32_t> codes, std::size_t& i, unsigned depth);
  // Calls group() `count` times, each repetition charged a step by the rules; a consumer
  // that follows the nesting sees the replication `code` open and close around them.
  template <class Group>
  bool repeat(std::uint32_t code, std::uint64_t count, Group group);
  bool run(std::span<const ProgramStep> steps);
  bool repeated(std::uint32_t code, std::uint64_t count, std::span<const ProgramStep> body);

  const TableSet& tables_;
  Consumer& consumer_;
  std::uint64_t max_steps_;
  std::uint64_t steps_ = 0;
};

template <class Consumer>
inline bool DescriptorWalk<Consumer>::step() {
  if (++steps_ > max_steps_) return consumer_.fail_with(BufrError::walk_too_long(kRules.name, max_steps_));
  return consumer_.after_step();
}

template <class Consumer>
bool DescriptorWalk<Consumer>::walk(std::span<const std::uint32_t> codes, unsigned depth) {
  if (depth > kMaxWalkDepth) return consumer_.fail_with(BufrError::walk_too_deep(kRules.name));
  std::size_t i = 0;
  while (i < codes.size()) {
    const std::uint32_t code = codes[i];
    if (!step()) return false;
    std::uint32_t f = split_code(code).f;
    if constexpr (kRules.codes_modulo_256) f &= 0xFFu;
    bool ok;
    switch (f) {
      case 0:
        ok = consumer_.element(code);
        ++i;
        break;
      case 1:
        ok = replication(codes, i, depth);
        break;
      case 2:
        ok = consumer_.operator_descriptor(code);
        ++i;
        break;
      case 3:
        ok = sequence(code, depth);
        ++i;
        break;
      default:
        return consumer_.fail_with(BufrError::invalid_descriptor(code));
    }
    if (!ok) return false;
  }
  return true;
}

template <class Consumer>
bool DescriptorWalk<Consumer>::sequence(std::uint32_t code, unsigned depth) {
  const SequenceDefinition* seq = tables_.find_sequence(code);
  if (seq == nullptr) return consumer_.fail_with(BufrError::sequence_not_found(code));
  if constexpr (StatesNesting<Consumer>) {
    consumer_.open_sequence(code);
    if (!walk(seq->members, depth + 1)) return false;
    consumer_.close_group();
    return true;
  } else {
    return walk(seq->members, depth + 1);
  }
}

template <class Consumer>
template <class Group>
inline bool DescriptorWalk<Consumer>::repeat([[maybe_unused]] std::uint32_t code, std::uint64_t count,
                                             Group group) {
  if constexpr (StatesNesting<Consumer>) consumer_.open_replication(code, count);
  for (std::uint64_t r = 0; r < count; ++r) {
    if constexpr (kRules.step_per_repetition) {
      if (!step()) return false;
    }
    if constexpr (StatesNesting<Consumer>) consumer_.repetition(r + 1);
    if (!group()) return false;
  }
  if constexpr (StatesNesting<Consumer>) consumer_.close_group();
  return true;
}

// The replication 1-X-Y at codes[i]; moves i past its replicated descriptors.
template <class Consumer>
bool DescriptorWalk<Consumer>::replication(std::span<const std::uint32_t> codes, std::size_t& i,
                                           unsigned depth) {
  const std::uint32_t code = codes[i];
  const ReplicationLayout r = replication_layout(codes, i, kRules.codes_modulo_256);
  if (r.fault == ReplicationLayout::Fault::Unsupported)
    return consumer_.fail_with(BufrError::unsupported_replication(code));
  if (r.fault == ReplicationLayout::Fault::Incomplete)
    return consumer_.fail_with(BufrError::incomplete_delayed_replication(code));
  const std::span<const std::uint32_t> group = codes.subspan(r.group, r.size);
  i = r.group + r.size;
  const auto walk_group = [&] { return walk(group, depth + 1); };
  if (r.count > 0) return repeat(code, r.count, walk_group);
  if constexpr (kRules.delayed_once) {
    if constexpr (StatesNesting<Consumer>) {
      consumer_.open_replication(code, 0);
      if (!walk(codes.subspan(r.group - 1, r.size + 1), depth + 1)) return false;
      consumer_.close_group();
      return true;
    } else {
      return walk(codes.subspan(r.group - 1, r.size + 1), depth + 1);
    }
  } else {
    std::uint64_t count = 0;
    return consumer_.delayed_factor(codes[r.group - 1], count) && repeat(code, count, walk_group);
  }
}

}  // namespace quorvex
