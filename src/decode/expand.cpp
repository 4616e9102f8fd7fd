// Expansion as a consumer of the descriptor walk. Its rules differ from reading data: codes
// come from a caller, so F and Y are taken modulo 256; a delayed replication is shown once
// (factor and group, one level down); a repetition costs no step; operators are kept as
// codes, except those that only change how values are read (2-01, 2-02, 2-06, 2-07, 2-08)
// and 2-04, whose associated field is shown as a marker before each element it precedes.
#include "decode/expand.hpp"

#include "message/descriptor.hpp"

namespace quorvex {

namespace {

constexpr WalkRules kExpansionRules{.name = WalkName::Expansion,
                                    .codes_modulo_256 = true,
                                    .delayed_once = true,
                                    .step_per_repetition = false};

class Expansion : public WalkErrors {
 public:
  static constexpr WalkRules kRules = kExpansionRules;

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

// The tree view: the walk's nesting with every descriptor as written; the repetitions of a
// fixed replication after the first are walked (their steps charged) but not shown.
class ExpansionTree : public WalkErrors {
 public:
  static constexpr WalkRules kRules = kExpansionRules;

  bool after_step() { return true; }
  bool element(std::uint32_t code) { return add(code); }
  bool operator_descriptor(std::uint32_t code) { return add(code); }
  bool delayed_factor(std::uint32_t, std::uint64_t&) { return true; }  // never called: delayed_once
  void open_sequence(std::uint32_t code) {
    add(code);
    ++depth_;
  }
  void open_replication(std::uint32_t code, std::uint64_t) {
    add(code);
    ++depth_;
  }
  void repetition(std::uint64_t number) {
    if (number > 1 && depth_ < hidden_from_) hidden_from_ = depth_;
  }
  void close_group() {
    if (hidden_from_ == depth_) hidden_from_ = kShown;
    --depth_;
  }

  std::vector<ExpansionNode> take() { return std::move(out_); }

 private:
  static constexpr unsigned kShown = ~0u;
  bool add(std::uint32_t code) {
    if (depth_ < hidden_from_) out_.push_back(ExpansionNode{depth_, code});
    return true;
  }

  std::vector<ExpansionNode> out_;
  unsigned depth_ = 0;
  unsigned hidden_from_ = kShown;  // the depth from which nothing is shown
};

}  // namespace

Result<std::vector<ExpansionNode>> expand_descriptor_tree(const TableSet& tables,
                                                          const std::vector<std::uint32_t>& codes) {
  ExpansionTree tree;
  DescriptorWalk walk(tables, tree, WorkLimits::kExpansionSteps);
  if (!walk.walk(codes, 0)) return fail(tree.take_error());
  return tree.take();
}

Result<std::vector<std::uint32_t>> expand_descriptor_list(const TableSet& tables,
                                                          const std::vector<std::uint32_t>& codes) {
  Expansion expansion;
  DescriptorWalk walk(tables, expansion, WorkLimits::kExpansionSteps);
  if (!walk.walk(codes, 0)) return fail(expansion.take_error());
  return expansion.take();
}

}  // namespace quorvex
