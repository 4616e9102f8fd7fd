// Columns of decoded values, one row per value, in the layout of Apache Arrow: fixed-width
// buffers, validity bitmaps (bit set = present), utf8 as offsets and data, and
// dictionary-encoded strings as int32 indices into a utf8 dictionary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "columnar/table_choice.hpp"
#include "message/message.hpp"

namespace quorvex {

// Uninitialised memory for column buffers: 64-byte aligned, and large ones on huge pages
// where the system offers them (a fresh column is written once, end to end, and faulting
// it in 4 KiB at a time costs as much as filling it). Never a null pointer.
void* allocate_column_memory(std::size_t bytes);
struct ColumnMemoryFree {
  void operator()(void* p) const;
};

// An uninitialised buffer of n elements.
template <class T>
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::size_t n) : data_(allocate_column_memory(n * sizeof(T))), size_(n) {}
  T* data() { return static_cast<T*>(data_.get()); }
  const T* data() const { return static_cast<const T*>(data_.get()); }
  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) { return data()[i]; }
  const T& operator[](std::size_t i) const { return data()[i]; }

 private:
  std::unique_ptr<void, ColumnMemoryFree> data_;
  std::size_t size_ = 0;
};

// A validity bitmap of n rows, all absent at first.
struct Bitmap {
  Buffer<std::uint8_t> bits;
  std::int64_t null_count = 0;

  void reset(std::size_t rows);
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

struct ColumnBatch {
  std::int64_t rows = 0;
  bool with_source = false;
  bool with_keys = false;

  Buffer<std::int64_t> message;
  Buffer<std::int32_t> source;
  Buffer<std::int32_t> subset;
  Buffer<std::uint32_t> descriptor;
  Buffer<std::int32_t> name;
  Buffer<std::int32_t> unit;
  Buffer<double> value;
  Utf8Column text;
  Buffer<std::uint64_t> raw;
  Buffer<std::int32_t> meaning;
  Buffer<std::int32_t> key;

  Bitmap unit_valid, value_valid, text_valid, raw_valid, meaning_valid, key_valid;
  Dictionary names, units, meanings, keys;
};

// One message to decode: which source, its index in the output, its extent there.
struct MessageRef {
  std::uint32_t source = 0;
  std::int64_t index = 0;
  std::size_t offset = 0;
  std::size_t length = 0;
};

struct BadMessage {
  std::int64_t index = 0;
  std::size_t offset = 0;
  std::string text;
};

struct ColumnarOutput {
  std::shared_ptr<ColumnBatch> batch;
  std::vector<BadMessage> bad;  // in message order
};

struct ColumnarOptions {
  unsigned threads = 1;
  bool keys = false;         // the key column (element abbreviations)
  bool with_source = false;  // the source column
};

// Decodes `messages` (editions 2, 3 and 4) into one batch, rows in message order. A
// message that does not parse, has no tables or does not decode adds no rows and one
// entry to `bad`. Runs on `options.threads` threads.
[[nodiscard]] ColumnarOutput decode_columns(std::span<const Bytes> sources,
                                            std::span<const MessageRef> messages, TableChooser& chooser,
                                            const ColumnarOptions& options);

}  // namespace quorvex
