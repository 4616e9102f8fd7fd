// Expansion as a consumer of the descriptor walk. Its rules differ from reading data: codes
// come from a caller, so F and Y are taken modulo 256; a delayed replication is shown once
// (factor and group, one level down); a repetition costs no step; operators are kept as
// codes, except those that only change how values are read (2-01, 2-02, 2-06, 2-07, 2-08)
// and 2-04, whose associated field is shown as a marker before each element it precedes.
#include "decode/expand.hpp"

#include "message/descriptor.hpp"

namespace quorvex {

namespace {

class Expansion : public WalkErrors {
 public:
  static constexpr WalkRules kRules{.name = WalkName::Expansion,
                                    .codes_modulo_256 = true,
                                    .delayed_once = true,
                                    .step_per_repetition = false};

  bool after_step() { return true; }
  bool element(std::uint32_t code) {
    if (associated_width_ != 0 && !is_class31(code)) out_.push_back(kAssociatedFieldCode);
    out_.push_back(code);
    return true;
  }
  bool operator_descriptor(std::uint32_t code) {
    const DescriptorParts p = split_code(code);
    if (p.x == 4) {
      associated_width_ = static_cast<std::uint8_t>(p.y);
    } else if (p.x != 1 && p.x != 2 && p.x != 6 && p.x != 7 && p.x != 8) {
      out_.push_back(code);
    }
    return true;
  }
  bool delayed_factor(std::uint32_t, std::uint64_t&) { return true; }  // never called: delayed_once

  std::vector<std::uint32_t> take() { return std::move(out_); }

 private:
  std::vector<std::uint32_t> out_;
  std::uint8_t associated_width_ = 0;
};

}  // namespace

Result<std::vector<std::uint32_t>> expand_descriptor_list(const TableSet& tables,
                                                          const std::vector<std::uint32_t>& codes) {
  Expansion expansion;
  DescriptorWalk walk(tables, expansion, WorkLimits::kExpansionSteps);
  if (!walk.walk(codes, 0)) return fail(expansion.take_error());
  return expansion.take();
}

}  // namespace quorvex
