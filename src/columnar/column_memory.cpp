// Column memory: small buffers on the heap, large ones anonymous mappings that grow by
// moving their pages.
#include "columnar/column_memory.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <sys/mman.h>

namespace quorvex {

namespace {

constexpr std::size_t kPage = 4096;

// Below this a column lives on the heap: a mapping per small column would spend the
// process's mappings (vm.max_map_count) on batches that hold little.
constexpr std::size_t kMappedFrom = std::size_t{1} << 20;

void release(void* p, std::size_t bytes) {
  if (bytes >= kMappedFrom) {
    munmap(p, bytes);
  } else {
    std::free(p);
  }
}

}  // namespace

ColumnMemory& ColumnMemory::operator=(ColumnMemory&& o) noexcept {
  if (this != &o) {
    if (data_ != nullptr) release(data_, bytes_);
    data_ = o.data_;
    bytes_ = o.bytes_;
    o.data_ = nullptr;
    o.bytes_ = 0;
  }
  return *this;
}

ColumnMemory::~ColumnMemory() {
  if (data_ != nullptr) release(data_, bytes_);
}

// Heap memory is zeroed as it is added; a fresh mapping's pages are zero already.
void ColumnMemory::reserve(std::size_t bytes) {
  if (bytes <= bytes_ && data_ != nullptr) return;
  if (bytes > std::numeric_limits<std::size_t>::max() - kPage) throw std::bad_alloc();
  const std::size_t rounded = std::max((bytes + kPage - 1) / kPage * kPage, kPage);
  void* p = nullptr;
  if (rounded < kMappedFrom) {
    p = std::aligned_alloc(64, rounded);  // 64: the alignment Arrow recommends for buffers
    if (p == nullptr) throw std::bad_alloc();
    if (data_ != nullptr) std::memcpy(p, data_, bytes_);
    std::memset(static_cast<char*>(p) + bytes_, 0, rounded - bytes_);
    std::free(data_);
  } else if (data_ != nullptr && bytes_ >= kMappedFrom) {
    p = mremap(data_, bytes_, rounded, MREMAP_MAYMOVE);
  } else {
    p = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED && data_ != nullptr) {  // from the heap to a mapping
      std::memcpy(p, data_, bytes_);
      std::free(data_);
    }
  }
  if (p == MAP_FAILED) throw std::bad_alloc();
  data_ = p;
  bytes_ = rounded;
}

void Dictionary::finish() {
  std::size_t total = 0;
  for (const std::string& s : values) total += s.size();
  utf8.offsets.reserve(values.size() + 1);
  utf8.data.reserve(total);
  std::size_t at = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    utf8.offsets[i] = static_cast<std::int32_t>(at);
    std::memcpy(utf8.data.data() + at, values[i].data(), values[i].size());
    at += values[i].size();
  }
  utf8.offsets[values.size()] = static_cast<std::int32_t>(at);
}

}  // namespace quorvex
