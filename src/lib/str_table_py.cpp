#include "lib/str_table_py.hpp"

#include <cstring>

namespace quorvex::py {

namespace {

bool is_ascii(const std::string& s) {
  const char* p = s.data();
  std::size_t n = s.size();
  std::uint64_t high = 0;  // the top bits of all octets, eight at a time
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    high |= word;
  }
  for (; n > 0; ++p, --n) high |= static_cast<unsigned char>(*p);
  return (high & 0x8080808080808080ull) == 0;
}

}  // namespace

PyObject* new_text(const std::string& s) {
  if (!is_ascii(s)) return new_str(s);
  PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
  if (out != nullptr) std::memcpy(PyUnicode_DATA(out), s.data(), s.size());
  return out;
}

void StrTable::reserve(std::size_t count) {
  if (2 * count > slots_.size()) grow(2 * count);
}

void StrTable::grow(std::size_t needed) {
  std::size_t size = slots_.empty() ? 16 : slots_.size();
  while (size < needed) size *= 2;
  if (size == slots_.size()) return;
  std::vector<Slot> bigger(size, Slot{nullptr, nullptr});
  for (const Slot& slot : slots_) {
    if (slot.key != nullptr) probe(bigger, slot.key) = slot;
  }
  slots_ = std::move(bigger);
  owned_.reserve(size / 2);
}

}  // namespace quorvex::py
