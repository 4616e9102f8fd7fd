// The order in which a message's values are numbered as ecCodes numbers keys (#1#key,
// #2#key, ...), written once for the long table, keyed rows and flat rows. Elements,
// replication factors and bitmap entries are numbered under their own keys where they
// stand. A quality value that ecCodes also names by the key of the element it qualifies
// (QualityKey) is numbered under that key after the rest of its quality block: at the next
// operator (the next block's 2-22-000, a 2-23..2-37 that ends it), or when the caller
// finishes the subset or the message. Operators, associated fields and other attributes are
// not numbered.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "decode/decoded_value.hpp"

namespace quorvex {

inline bool is_numbered(ValueRole role) {
  return role == ValueRole::Element || role == ValueRole::ReplicationFactor || role == ValueRole::Bitmap;
}

class KeyNumbering {
 public:
  // `quality`: the message's quality keys, in the order of their values.
  explicit KeyNumbering(std::span<const QualityKey> quality) : quality_(quality) {}

  // Value `i` (values are given in increasing order): number(i, nullptr) when it is numbered
  // under its own key now; number(j, element) for the quality values held until now, j their
  // index, `element` whose key they are numbered under. True when value i is such a quality
  // value, held to be numbered later.
  template <class Number>
  bool next(std::size_t i, const DecodedValue& v, Number&& number) {
    if (v.role == ValueRole::Operator) {
      finish(number);
    } else if (is_numbered(v.role)) {
      number(i, nullptr);
    } else if (v.role == ValueRole::Attribute && next_ < quality_.size()) {
      while (next_ < quality_.size() && quality_[next_].value < i) ++next_;
      if (next_ < quality_.size() && quality_[next_].value == i) {
        held_.push_back(next_++);
        return true;
      }
    }
    return false;
  }
  // Numbers the quality values held: at the end of a subset or of the message.
  template <class Number>
  void finish(Number&& number) {
    for (std::size_t q : held_) number(quality_[q].value, quality_[q].qualified);
    held_.clear();
  }
  // Values are given from index 0 again (the next subset of compressed data); none is held.
  void restart() {
    next_ = 0;
    held_.clear();
  }

 private:
  std::span<const QualityKey> quality_;
  std::size_t next_ = 0;
  std::vector<std::size_t> held_;
};

}  // namespace quorvex
