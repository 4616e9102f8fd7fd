#include "tables/expand.hpp"

#include <span>
#include <string>

#include "lib/text.hpp"

namespace quorvex {

namespace {

class Expander {
 public:
  explicit Expander(const TableSet& tables) : tables_(tables) {}

  Status walk(std::span<const std::uint32_t> list, int depth);
  std::vector<std::uint32_t> take() { return std::move(out_); }

 private:
  Status walk_replication(std::span<const std::uint32_t> list, std::size_t& i, int depth);
  Status count_step();

  const TableSet& tables_;
  std::vector<std::uint32_t> out_;
  std::uint8_t associated_width_ = 0;
  std::size_t steps_ = 0;
};

Status Expander::count_step() {
  if (++steps_ > kMaxExpandSteps) {
    return fail(BufrError::table_text("sequence expansion exceeded " + std::to_string(kMaxExpandSteps) +
                                      " descriptors"));
  }
  return {};
}

Status Expander::walk(std::span<const std::uint32_t> list, int depth) {
  if (depth > kMaxExpandDepth) {
    return fail(BufrError::table_text("sequence expansion exceeded recursion depth"));
  }
  std::size_t i = 0;
  while (i < list.size()) {
    QV_CHECK(count_step());
    const std::uint32_t code = list[i];
    const auto f = static_cast<std::uint8_t>(code / 100000);
    const std::uint32_t x = (code % 100000) / 1000;
    const auto y = static_cast<std::uint8_t>(code % 1000);
    switch (f) {
      case 0:
        if (associated_width_ != 0 && x != 31) out_.push_back(kAssociatedFieldCode);
        out_.push_back(code);
        ++i;
        break;
      case 1:
        QV_CHECK(walk_replication(list, i, depth));
        break;
      case 2:
        if (x == 4) {
          associated_width_ = y;
        } else if (x != 1 && x != 2 && x != 6 && x != 7 && x != 8) {
          out_.push_back(code);
        }
        ++i;
        break;
      case 3: {
        const SequenceDefinition* seq = tables_.find_sequence(code);
        if (seq == nullptr) return fail(BufrError::sequence_not_found(code));
        QV_CHECK(walk(seq->members, depth + 1));
        ++i;
        break;
      }
      default:
        return fail(BufrError::table_text("invalid descriptor " + code_text(code)));
    }
  }
  return {};
}

// list[i] is a replication 1-X-Y: unrolls it and moves i past its group.
Status Expander::walk_replication(std::span<const std::uint32_t> list, std::size_t& i, int depth) {
  const std::uint32_t code = list[i];
  const std::size_t x = (code % 100000) / 1000;
  const auto y = static_cast<std::uint8_t>(code % 1000);
  const std::size_t n = list.size();
  if (x == 0 || i + x >= n) return fail(BufrError::unsupported_replication(code));
  if (y != 0) {
    const auto group = list.subspan(i + 1, x);
    for (unsigned r = 0; r < y; ++r) QV_CHECK(walk(group, depth + 1));
    i += x + 1;
    return {};
  }
  if (i + x + 1 >= n) return fail(BufrError::incomplete_delayed_replication(code));
  QV_CHECK(walk(list.subspan(i + 1, x + 1), depth + 1));  // the factor, then the group
  i += x + 2;
  return {};
}

}  // namespace

Result<std::vector<std::uint32_t>> expand_descriptor_list(const TableSet& tables,
                                                          const std::vector<std::uint32_t>& codes) {
  Expander expander(tables);
  QV_CHECK(expander.walk(codes, 0));
  return expander.take();
}

}  // namespace quorvex
