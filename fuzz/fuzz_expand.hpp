// Fuzz entry of the descriptor expansion against the reference tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "decode/expand.hpp"
#include "fuzz_support.hpp"

namespace quorvex::fuzz {

// Descriptor codes from octets: each pair is one descriptor as section 3 writes it (F in
// 2 bits, X in 6, Y in 8), except that the pair 0xFF 0xFF is followed by a raw 32-bit
// big-endian code, so that codes no message can hold are reached too.
inline std::vector<std::uint32_t> codes_from_octets(const std::uint8_t* p, std::size_t n) {
  std::vector<std::uint32_t> codes;
  codes.reserve(n / 2);
  std::size_t i = 0;
  while (n - i >= 2) {
    if (p[i] == 0xFF && p[i + 1] == 0xFF && n - i >= 6) {
      codes.push_back((std::uint32_t{p[i + 2]} << 24) | (std::uint32_t{p[i + 3]} << 16) |
                      (std::uint32_t{p[i + 4]} << 8) | p[i + 5]);
      i += 6;
      continue;
    }
    codes.push_back(section3_code(p[i], p[i + 1]));
    i += 2;
  }
  return codes;
}

// A plain transcription of the expansion rules, the oracle the library's expansion is
// compared with: recursion over the list, no caching, no fast paths. It gives up (returns
// nothing) after `budget` appended or visited codes, far beyond the library's cap.
class ReferenceExpansion {
 public:
  explicit ReferenceExpansion(const TableSet& tables, std::size_t budget)
      : tables_(tables), budget_(budget) {}

  // The expansion, an error, or nothing when the budget ran out.
  std::optional<Result<std::vector<std::uint32_t>>> run(const std::vector<std::uint32_t>& codes) {
    auto status = walk(codes, 0);
    if (exhausted_) return std::nullopt;
    if (!status) return Result<std::vector<std::uint32_t>>(std::unexpected(status.error()));
    return Result<std::vector<std::uint32_t>>(std::move(out_));
  }

 private:
  Status walk(std::span<const std::uint32_t> list, int depth) {
    if (depth > 64) return fail(BufrError::table_text("sequence expansion exceeded recursion depth"));
    const std::size_t n = list.size();
    std::size_t i = 0;
    while (i < n) {
      if (++visits_ > budget_) return give_up();
      const std::uint32_t code = list[i];
      const std::uint32_t f = (code / 100000) % 256;
      const std::uint32_t x = (code % 100000) / 1000;
      const std::uint32_t y = (code % 1000) % 256;
      if (f == 0) {
        if (associated_width_ != 0 && x != 31) out_.push_back(999999);
        out_.push_back(code);
        ++i;
      } else if (f == 1) {
        if (x == 0 || i + x >= n) return fail(BufrError::unsupported_replication(code));
        if (y != 0) {
          for (std::uint32_t r = 0; r < y; ++r) QV_CHECK(walk(list.subspan(i + 1, x), depth + 1));
          i += x + 1;
        } else {
          if (i + x + 1 >= n) return fail(BufrError::incomplete_delayed_replication(code));
          QV_CHECK(walk(list.subspan(i + 1, x + 1), depth + 1));
          i += x + 2;
        }
      } else if (f == 2) {
        if (x == 4) {
          associated_width_ = static_cast<std::uint8_t>(y);
        } else if (x != 1 && x != 2 && x != 6 && x != 7 && x != 8) {
          out_.push_back(code);
        }
        ++i;
      } else if (f == 3) {
        const SequenceDefinition* seq = tables_.find_sequence(code);
        if (seq == nullptr) return fail(BufrError::sequence_not_found(code));
        QV_CHECK(walk(seq->members, depth + 1));
        ++i;
      } else {
        std::string text = std::to_string(code);
        if (text.size() < 6) text.insert(0, 6 - text.size(), '0');
        return fail(BufrError::table_text("invalid descriptor " + text));
      }
      if (out_.size() > budget_) return give_up();
    }
    return {};
  }

  Status give_up() {
    exhausted_ = true;
    return fail(BufrError::table_text("reference budget exhausted"));
  }

  const TableSet& tables_;
  std::size_t budget_;
  std::size_t visits_ = 0;
  bool exhausted_ = false;
  std::uint8_t associated_width_ = 0;
  std::vector<std::uint32_t> out_;
};

inline std::string run_expand(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint32_t> codes = codes_from_octets(data, size);
  auto expanded = expand_descriptor_list(reference_tables(), codes);
  // The library and the oracle agree on the codes or on the error, except where the
  // library's cap on the work ended it (its own guard, which the rules leave open).
  const std::string cap_text = "csv/table parse error: sequence expansion exceeded " +
                               std::to_string(kMaxExpandSteps) + " descriptors";
  const bool capped = !expanded && expanded.error().message() == cap_text;
  if (!capped) {
    auto expected = ReferenceExpansion(reference_tables(), 2 * kMaxExpandSteps).run(codes);
    QV_FUZZ_CHECK(expected.has_value());
    QV_FUZZ_CHECK(expected->has_value() == expanded.has_value());
    if (expanded) {
      QV_FUZZ_CHECK(**expected == *expanded);
    } else {
      QV_FUZZ_CHECK(expected->error().message() == expanded.error().message());
    }
  }
  if (!expanded) return failed(expanded.error());
  // Only elements, the operators that pass through and the associated-field marker are
  // left; no sequence, no replication, no consumed operator.
  for (const std::uint32_t code : *expanded) {
    if (code == kAssociatedFieldCode) continue;
    const std::uint32_t f = (code / 100000) % 256;
    const std::uint32_t x = (code % 100000) / 1000;
    QV_FUZZ_CHECK(f == 0 || f == 2);
    if (f == 2) QV_FUZZ_CHECK(x != 1 && x != 2 && x != 4 && x != 6 && x != 7 && x != 8);
  }
  return ok(expanded->size());
}

}  // namespace quorvex::fuzz
