// Runs of a compiled template that a reader of wanted elements passes over in one move: from
// each element step, the consecutive element steps (Table D sequence steps between them
// included, the end of a replicated group excluded) whose numbers leave no record. Such a run
// reads nothing but its bits, so its total width, its element count and its history entries
// stand for walking it value by value, as long as no operator changes how its elements are
// read (the reader checks that before each move, and walks the run otherwise).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "decode/template_program.hpp"
#include "decode/wanted_elements.hpp"

namespace quorvex {

struct SkipRun {
  std::uint64_t bits = 0;           // total width of its elements as their tables give them
  std::uint32_t steps = 0;          // program steps covered, the first included; 0: no run here
  std::uint32_t elements = 0;       // element steps among them
  std::uint32_t first = 0;          // index in the plan's definitions of its first element
  bool keyed_quality = false;       // some element is of class 33 but 0-33-007 (kept in a quality block)
  bool percent_confidence = false;  // some element is 0-33-007
};

class SkipPlan {
 public:
  SkipPlan(const TemplateProgram& program, const WantedElements& wanted);

  // The run starting at `step` of the program this plan was made for (steps() of a run of
  // 0 when none starts there).
  const SkipRun& at(const ProgramStep& step) const {
    return runs_[static_cast<std::size_t>(&step - program_begin_)];
  }
  // The definitions of a run's elements, in order.
  std::span<const ElementDefinition* const> defs(const SkipRun& run) const {
    return std::span<const ElementDefinition* const>(defs_).subspan(run.first, run.elements);
  }

 private:
  void plan_range(std::span<const ProgramStep> steps, std::size_t begin, std::size_t end,
                  const WantedElements& wanted, const std::vector<std::uint32_t>& element_index);

  const ProgramStep* program_begin_;
  std::vector<SkipRun> runs_;                   // by step
  std::vector<const ElementDefinition*> defs_;  // of the element steps, in program order
};

// The plans of the programs met with one set of wanted elements (each program held, so that
// its address is not reused while its plan is kept). Not thread-safe: one per reader thread.
class SkipPlans {
 public:
  const SkipPlan* get(const std::shared_ptr<const TemplateProgram>& program, const WantedElements& wanted);

 private:
  std::vector<std::pair<std::shared_ptr<const TemplateProgram>, std::unique_ptr<SkipPlan>>> plans_;
  std::size_t last_ = 0;
};

}  // namespace quorvex
