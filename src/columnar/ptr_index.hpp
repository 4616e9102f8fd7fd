// A set of addresses with a small integer per address: open addressing, at most half
// full, emptied in constant time (each slot remembers the generation that filled it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvex {

class PtrIndex {
 public:
  static constexpr std::int32_t kAbsent = -1;

  // The value of `key`, or kAbsent.
  std::int32_t find(const void* key) const {
    if (slots_.empty()) return kAbsent;
    const Slot& s = slots_[probe(key)];
    return s.generation == generation_ ? s.value : kAbsent;
  }

  // Adds `key` with `value` when absent; true when it was added.
  bool insert(const void* key, std::int32_t value) {
    if (2 * (count_ + 1) > slots_.size()) grow();
    Slot& s = slots_[probe(key)];
    if (s.generation == generation_) return false;
    s = Slot{key, value, generation_};
    ++count_;
    return true;
  }

  void clear() {
    count_ = 0;
    if (++generation_ == 0) {  // wrapped: stale slots could read as live again
      slots_.assign(slots_.size(), Slot{});
      generation_ = 1;
    }
  }

 private:
  struct Slot {
    const void* key = nullptr;
    std::int32_t value = 0;
    std::uint32_t generation = 0;  // live when equal to the index's generation
  };

  std::size_t probe(const void* key) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = (reinterpret_cast<std::uintptr_t>(key) >> 3) * 0x9E3779B97F4A7C15ull >> 17;
    for (;; ++i) {
      const Slot& s = slots_[i & mask];
      if (s.generation != generation_ || s.key == key) return i & mask;
    }
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : 2 * old.size(), Slot{});
    count_ = 0;
    for (const Slot& s : old) {  // fresh slots have generation 0: empty
      if (s.generation == generation_) {
        slots_[probe(s.key)] = Slot{s.key, s.value, generation_};
        ++count_;
      }
    }
  }

  std::vector<Slot> slots_;
  std::size_t count_ = 0;
  std::uint32_t generation_ = 1;
};

}  // namespace quorvex
