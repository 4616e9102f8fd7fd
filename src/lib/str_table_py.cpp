#include "lib/str_table_py.hpp"

#include <cstring>

#include "lib/text.hpp"

namespace quorvex::py {

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
