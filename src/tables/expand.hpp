// Static expansion of a descriptor list: sequences replaced by their members, fixed
// replications unrolled, delayed ones shown once, width/scale operators consumed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/error.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

// Deepest nesting of sequences and replications (the top-level list is depth 0).
inline constexpr int kMaxExpandDepth = 64;
// Most descriptor codes one expansion may visit. Real templates stay far below (the
// largest satellite templates expand to some ten thousand codes); nested fixed
// replications could otherwise ask for more memory or time than exists.
inline constexpr std::size_t kMaxExpandSteps = std::size_t{1} << 22;

// Marker put before an element that carries an associated field (2-04-YYY in force).
inline constexpr std::uint32_t kAssociatedFieldCode = 999999;

[[nodiscard]] Result<std::vector<std::uint32_t>> expand_descriptor_list(
    const TableSet& tables, const std::vector<std::uint32_t>& codes);

}  // namespace quorvex
