#include "decode/skip_plan.hpp"

#include "decode/decode_state.hpp"
#include "message/descriptor.hpp"

namespace quorvex {

namespace {

// Whether the element step `s` may be passed over inside a run: resolved, a number of a
// width the reader takes in one read, not of class 31 (its values steer the walk) and not
// recorded for the rows.
bool passable(const ProgramStep& s, const WantedElements& wanted) {
  const ElementInfo* info = s.element();
  return info != nullptr && !info->text && !info->class31 && info->def->width <= 64 &&
         !wanted.records(info->def->code);
}

}  // namespace

SkipPlan::SkipPlan(const TemplateProgram& program, const WantedElements& wanted)
    : program_begin_(program.steps().data()), runs_(program.steps().size()) {
  const std::span<const ProgramStep> steps = program.steps();
  std::vector<std::uint32_t> element_index(steps.size(), 0);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    element_index[i] = static_cast<std::uint32_t>(defs_.size());
    if (steps[i].kind == ProgramStep::Kind::Element) defs_.push_back(steps[i].info.def);
  }
  plan_range(steps, 0, steps.size(), wanted, element_index);
}

// The runs of the steps [begin, end), which a replication's group or the whole program
// spans: a run never leaves its group, since the walk goes back to the group's start (or
// on past the replication) at its end.
void SkipPlan::plan_range(std::span<const ProgramStep> steps, std::size_t begin, std::size_t end,
                          const WantedElements& wanted, const std::vector<std::uint32_t>& element_index) {
  std::vector<std::size_t> level;  // the steps of this group outside nested replications
  for (std::size_t i = begin; i < end; ++i) {
    level.push_back(i);
    const ProgramStep& s = steps[i];
    if (s.kind == ProgramStep::Kind::Fixed || s.kind == ProgramStep::Kind::Delayed) {
      plan_range(steps, i + 1, i + 1 + s.body, wanted, element_index);
      i += s.body;
    }
  }
  SkipRun next;  // the run starting after the step looked at (from the end backwards)
  for (std::size_t k = level.size(); k-- > 0;) {
    const std::size_t i = level[k];
    const ProgramStep& s = steps[i];
    SkipRun run;
    if (s.kind == ProgramStep::Kind::Sequence) {
      run = next;
      ++run.steps;
    } else if (s.kind == ProgramStep::Kind::Element && passable(s, wanted)) {
      const ElementDefinition& def = *s.info.def;
      run = next;
      ++run.steps;
      ++run.elements;
      run.bits += def.width;
      const bool quality = split_code(def.code).x == kQualityClass;
      run.keyed_quality = run.keyed_quality || (quality && def.code != kPercentConfidence);
      run.percent_confidence = run.percent_confidence || def.code == kPercentConfidence;
      run.first = element_index[i];
    }
    // A run is entered at an element only; one of sequence steps alone passes nothing.
    runs_[i] = s.kind == ProgramStep::Kind::Element ? run : SkipRun{};
    next = run;
  }
}

const SkipPlan* SkipPlans::get(const std::shared_ptr<const TemplateProgram>& program,
                               const WantedElements& wanted) {
  if (program == nullptr) return nullptr;
  if (last_ < plans_.size() && plans_[last_].first == program) return plans_[last_].second.get();
  for (last_ = 0; last_ < plans_.size(); ++last_) {
    if (plans_[last_].first == program) return plans_[last_].second.get();
  }
  plans_.emplace_back(program, std::make_unique<SkipPlan>(*program, wanted));
  return plans_.back().second.get();
}

}  // namespace quorvex
