// The memory of Arrow columns: buffers that grow without copying (large ones are anonymous
// mappings moved by mremap), validity bitmaps, utf8 columns and dictionaries.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvex {

// Memory of a growing column, zero where never written. A large one is an anonymous
// mapping grown by moving its pages (mremap), so nothing is copied however often it grows;
// a small one is on the heap. Huge pages are not asked for: faulting in fresh ones measured
// three times slower than small pages on a virtual machine.
class ColumnMemory {
 public:
  ColumnMemory() = default;
  ColumnMemory(ColumnMemory&& o) noexcept : data_(o.data_), bytes_(o.bytes_) {
    o.data_ = nullptr;
    o.bytes_ = 0;
  }
  ColumnMemory& operator=(ColumnMemory&& o) noexcept;
  ColumnMemory(const ColumnMemory&) = delete;
  ColumnMemory& operator=(const ColumnMemory&) = delete;
  ~ColumnMemory();

  // At least `bytes` of capacity, the contents kept; throws std::bad_alloc.
  void reserve(std::size_t bytes);
  void* data() const { return data_; }
  std::size_t capacity() const { return bytes_; }

 private:
  void* data_ = nullptr;
  std::size_t bytes_ = 0;
};

// A column buffer of T: its capacity grows geometrically, elements not yet written are zero.
template <class T>
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::size_t n) { reserve(n); }
  T* data() { return static_cast<T*>(memory_.data()); }
  const T* data() const { return static_cast<const T*>(memory_.data()); }
  std::size_t capacity() const { return memory_.capacity() / sizeof(T); }
  // Room for n elements (at least one, so that data() is never null once reserved).
  void reserve(std::size_t n) {
    if (n > capacity() || data() == nullptr) {
      memory_.reserve(std::max({n, 2 * capacity(), std::size_t{1}}) * sizeof(T));
    }
  }
  T& operator[](std::size_t i) { return data()[i]; }
  const T& operator[](std::size_t i) const { return data()[i]; }

 private:
  ColumnMemory memory_;
};

// A validity bitmap: every row absent until its bit is set.
struct Bitmap {
  Buffer<std::uint8_t> bits;
  std::int64_t null_count = 0;

  // Room for `rows` rows, in whole 64-bit words.
  void reserve(std::size_t rows) { bits.reserve((rows + 63) / 64 * 8); }
};

// A utf8 column: offsets (rows + 1) and data.
struct Utf8Column {
  Buffer<std::int32_t> offsets;
  Buffer<char> data;
};

// The distinct strings of a dictionary-encoded column, in first-use order.
struct Dictionary {
  std::vector<std::string> values;
  Utf8Column utf8;  // made from `values` by finish()
  void finish();
};

}  // namespace quorvex
