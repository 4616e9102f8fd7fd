// A descriptor list compiled once against a table set: a flat program of steps with the
// Table D sequences inlined, every element resolved in Table B, operators kept as codes and
// each replication a loop over the steps of its group (never unrolled). Replayed by
// DescriptorWalk::replay, it makes the consumer calls, the step charges and the errors of
// walking the list itself, without looking anything up per message.
//
// Only a list whose whole walk is known to be sound compiles: a sequence missing from
// Table D, an invalid descriptor, a malformed replication, nesting deeper than
// kMaxWalkDepth or more than kMaxProgramSteps steps give no program, and the list is walked
// as it is (where such faults are reported only if the data reach them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "decode/element_cache.hpp"
#include "decode/walk.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

// A bound on the size of a program: sequences are inlined, so a short list can name a
// large template.
inline constexpr std::size_t kMaxProgramSteps = std::size_t{1} << 16;

struct ProgramStep {
  enum class Kind : std::uint8_t {
    Element,   // F = 0
    Operator,  // F = 2
    Sequence,  // F = 3: charges its step; its `body` member steps follow inline
    Fixed,     // 1-X-Y, Y > 0: `count` repetitions of the `body` steps that follow
    Delayed,   // 1-X-000: the factor `code`, then as many repetitions of the `body` steps
  };

  // The element (Element) or the factor (Delayed) as Table B gives it; def is null when
  // Table B lacks it.
  ElementInfo info;
  std::uint32_t code;   // the descriptor; for Delayed, the factor's descriptor
  std::uint32_t count;  // Fixed: Y; Delayed: the replication descriptor 1-X-000
  std::uint32_t body;   // Sequence: number of steps of its members; Fixed, Delayed: of the
                        // replicated group
  Kind kind;

  const ElementInfo* element() const { return info.def != nullptr ? &info : nullptr; }
};

class TemplateProgram {
 public:
  explicit TemplateProgram(std::vector<ProgramStep> steps) : steps_(std::move(steps)) {}

  std::span<const ProgramStep> steps() const { return steps_; }

 private:
  std::vector<ProgramStep> steps_;
};

// The program of `codes` against `tables`, or none when it cannot be compiled exactly. The
// program refers into `tables` and is valid only with it.
[[nodiscard]] std::optional<TemplateProgram> compile_template(const TableSet& tables,
                                                              std::span<const std::uint32_t> codes);

// `count` repetitions of `body`; a consumer may make them all in one move, charged as the
// walk would charge them.
template <class Consumer>
bool DescriptorWalk<Consumer>::repeated(std::uint32_t code, std::uint64_t count,
                                        std::span<const ProgramStep> body) {
  constexpr bool kPasses = requires(std::uint64_t n) { consumer_.pass_repeated(body, n, n, n); };
  if constexpr (kPasses && kRules.step_per_repetition && !StatesNesting<Consumer>) {
    std::uint64_t charged = 0;
    if (consumer_.pass_repeated(body, count, max_steps_ - steps_, charged)) {
      steps_ += charged;
      return true;
    }
  }
  return repeat(code, count, [&] { return run(body); });
}

template <class Consumer>
bool DescriptorWalk<Consumer>::replay(const TemplateProgram& program) {
  static_assert(!kRules.codes_modulo_256 && !kRules.delayed_once, "programs are compiled for reading data");
  return run(program.steps());
}

// Nesting needs no check here: the compiler refused any list nested too deep.
template <class Consumer>
bool DescriptorWalk<Consumer>::run(std::span<const ProgramStep> steps) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const ProgramStep& s = steps[i];
    if (!step()) return false;
    bool ok = true;
    switch (s.kind) {
      case ProgramStep::Kind::Element:
        // A consumer may pass over a run of elements (and the sequence steps among them) in
        // one move, charged as the walk would charge it.
        if constexpr (requires { consumer_.pass_run(s, std::uint64_t{}); }) {
          if (const std::uint32_t n = consumer_.pass_run(s, max_steps_ - steps_); n > 0) {
            steps_ += n - 1;
            i += n - 1;
            break;
          }
        }
        ok = consumer_.element(s.code, s.element());
        break;
      case ProgramStep::Kind::Operator:
        ok = consumer_.operator_descriptor(s.code);
        break;
      case ProgramStep::Kind::Sequence:
        // Its members follow inline: only a consumer that follows the nesting needs them
        // walked as a group.
        if constexpr (StatesNesting<Consumer>) {
          consumer_.open_sequence(s.code);
          ok = run(steps.subspan(i + 1, s.body));
          consumer_.close_group();
          i += s.body;
        }
        break;
      case ProgramStep::Kind::Fixed: {
        const std::span<const ProgramStep> body = steps.subspan(i + 1, s.body);
        ok = repeated(s.code, s.count, body);
        i += s.body;
        break;
      }
      case ProgramStep::Kind::Delayed: {
        const std::span<const ProgramStep> body = steps.subspan(i + 1, s.body);
        std::uint64_t count = 0;
        if constexpr (requires { consumer_.delayed_steps(body); }) consumer_.delayed_steps(body);
        ok = consumer_.delayed_factor(s.code, s.element(), count) && repeated(s.count, count, body);
        i += s.body;
        break;
      }
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace quorvex
