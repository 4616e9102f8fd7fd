// Static expansion of a descriptor list: sequences replaced by their members, fixed
// replications unrolled, delayed ones shown once, width/scale operators consumed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "decode/field.hpp"
#include "decode/walk.hpp"
#include "lib/error.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

// Most descriptor codes one expansion may visit. Real templates stay far below (the
// largest satellite templates expand to some ten thousand codes); nested fixed
// replications could otherwise ask for more memory or time than exists.
inline constexpr std::size_t kMaxExpandSteps = WorkLimits::kExpansionSteps;

[[nodiscard]] Result<std::vector<std::uint32_t>> expand_descriptor_list(
    const TableSet& tables, const std::vector<std::uint32_t>& codes);

// One descriptor of an expansion tree, `depth` levels below the list given.
struct ExpansionNode {
  unsigned depth;
  std::uint32_t code;
};

// The structure of a descriptor list in pre-order, by the rules of the expansion: every
// descriptor as written, each sequence followed by its members one level down, each
// replication by its group (a delayed one's factor first) once, one level down.
[[nodiscard]] Result<std::vector<ExpansionNode>> expand_descriptor_tree(
    const TableSet& tables, const std::vector<std::uint32_t>& codes);

}  // namespace quorvex
