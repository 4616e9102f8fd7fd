// Python strs for table strings (element names, code-table meanings), keyed by the address
// of the std::string they come from: a table's strings stay where they are for the life of
// the table, so equal addresses mean the same text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/frame_py.hpp"

namespace quorvex::py {

// A new str from UTF-8 text; ASCII text is copied straight into a compact ASCII string.
PyObject* new_text(const std::string& s);

// Open addressing over the addresses, at most half full; the table owns one reference to
// each str it holds.
class StrTable {
 private:
  struct Slot {
    const std::string* key;
    PyObject* value;  // borrowed from owned_
  };

  template <class Slots>
  static auto& probe(Slots& slots, const std::string* key) {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = (reinterpret_cast<std::uintptr_t>(key) >> 4) * 0x9E3779B97F4A7C15ull >> 20;
    for (;; ++i) {
      auto& slot = slots[i & mask];
      if (slot.key == key || slot.key == nullptr) return slot;
    }
  }

 public:
  StrTable() = default;
  StrTable(const StrTable&) = delete;
  StrTable& operator=(const StrTable&) = delete;

  // Room for `count` strs without growing.
  void reserve(std::size_t count);

  // The str of `key`, borrowed, or nullptr when the table has none.
  PyObject* find(const std::string* key) const {
    if (slots_.empty()) return nullptr;
    return probe(slots_, key).value;
  }

  // The str of `key`, made on first use; borrowed. nullptr with a Python error set when the
  // str cannot be made.
  PyObject* get(const std::string* key) {
    if (2 * (owned_.size() + 1) > slots_.size()) grow(2 * (owned_.size() + 1));
    Slot& slot = probe(slots_, key);
    if (slot.key == nullptr) {
      PyRef s = PyRef::steal(new_text(*key));
      if (!s) return nullptr;
      slot.key = key;
      slot.value = s.get();
      owned_.push_back(std::move(s));
    }
    return slot.value;
  }

 private:
  void grow(std::size_t needed);

  std::vector<Slot> slots_;  // a power of two in size, or empty
  std::vector<PyRef> owned_;
};

}  // namespace quorvex::py
