#include "decode/template_program.hpp"

#include "message/descriptor.hpp"

namespace quorvex {

namespace {

// Mirrors the walk's reading of the list without data: every list it would enter is
// entered once, at the depth the walk would give it.
class Compiler {
 public:
  explicit Compiler(const TableSet& tables) : tables_(tables) {}

  bool list(std::span<const std::uint32_t> codes, unsigned depth);
  std::vector<ProgramStep> take() { return std::move(steps_); }

 private:
  bool push(ProgramStep::Kind kind, std::uint32_t code, ElementInfo info = {}, std::uint32_t count = 0);
  bool replication(std::span<const std::uint32_t> codes, std::size_t& i, unsigned depth);
  ElementInfo resolve(std::uint32_t code) const {
    const ElementDefinition* def = tables_.find_element(code);
    return def != nullptr ? describe_element(*def, tables_) : ElementInfo{};
  }

  const TableSet& tables_;
  std::vector<ProgramStep> steps_;
};

bool Compiler::push(ProgramStep::Kind kind, std::uint32_t code, ElementInfo info, std::uint32_t count) {
  if (steps_.size() >= kMaxProgramSteps) return false;
  steps_.push_back(ProgramStep{.info = info, .code = code, .count = count, .body = 0, .kind = kind});
  return true;
}

bool Compiler::list(std::span<const std::uint32_t> codes, unsigned depth) {
  if (depth > kMaxWalkDepth) return false;
  std::size_t i = 0;
  while (i < codes.size()) {
    const std::uint32_t code = codes[i];
    switch (split_code(code).f) {
      case 0:
        if (!push(ProgramStep::Kind::Element, code, resolve(code))) return false;
        ++i;
        break;
      case 1:
        if (!replication(codes, i, depth)) return false;
        break;
      case 2:
        if (!push(ProgramStep::Kind::Operator, code)) return false;
        ++i;
        break;
      case 3: {
        const SequenceDefinition* seq = tables_.find_sequence(code);
        const std::size_t at = steps_.size();
        if (seq == nullptr || !push(ProgramStep::Kind::Sequence, code) || !list(seq->members, depth + 1))
          return false;
        steps_[at].body = static_cast<std::uint32_t>(steps_.size() - at - 1);
        ++i;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

bool Compiler::replication(std::span<const std::uint32_t> codes, std::size_t& i, unsigned depth) {
  const ReplicationLayout r = replication_layout(codes, i, false);
  if (r.fault != ReplicationLayout::Fault::None) return false;
  const std::size_t at = steps_.size();
  const bool pushed =
      r.count > 0
          ? push(ProgramStep::Kind::Fixed, codes[i], {}, r.count)
          : push(ProgramStep::Kind::Delayed, codes[r.group - 1], resolve(codes[r.group - 1]), codes[i]);
  if (!pushed || !list(codes.subspan(r.group, r.size), depth + 1)) return false;
  steps_[at].body = static_cast<std::uint32_t>(steps_.size() - at - 1);
  i = r.group + r.size;
  return true;
}

}  // namespace

std::optional<TemplateProgram> compile_template(const TableSet& tables,
                                                std::span<const std::uint32_t> codes) {
  Compiler compiler(tables);
  if (!compiler.list(codes, 0)) return std::nullopt;
  return TemplateProgram(compiler.take());
}

}  // namespace quorvex
