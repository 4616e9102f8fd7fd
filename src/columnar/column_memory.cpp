// Column memory: small buffers on the heap, large ones anonymous mappings that grow by
// moving their pages.
#include "columnar/column_memory.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <sys/mman.h>
#include <utility>

namespace quorvex {

namespace {

constexpr std::size_t kPage = 4096;

// Below this a column lives on the heap: a mapping per small column would spend the
// process's mappings (vm.max_map_count) on batches that hold little.
constexpr std::size_t kMappedFrom = std::size_t{1} << 20;

// Column memory given back is kept for the next columns, from this size up and to kSpareBytes
// in all: a reader called again takes it instead of fresh pages, each of which the kernel
// faults in and clears (a fault costs several times the clearing done here).
constexpr std::size_t kSpareFrom = std::size_t{64} << 10;
constexpr std::size_t kSpareBytes = std::size_t{32} << 20;

void release_now(void* p, std::size_t bytes) {
  if (bytes >= kMappedFrom) {
    munmap(p, bytes);
  } else {
    std::free(p);
  }
}

// The blocks kept, by size; shared by every thread (columns are made on the decoding threads
// and freed wherever their consumer lets them go). Whether a block is a mapping or heap
// memory follows from its size, as everywhere in this file.
class Spare {
 public:
  // Keeps the block when there is room; false when the caller must release it.
  bool keep(void* p, std::size_t bytes) {
    if (bytes < kSpareFrom) return false;
    std::lock_guard lock(mutex_);
    if (bytes > kSpareBytes - held_) return false;
    blocks_.emplace(bytes, p);
    held_ += bytes;
    return true;
  }
  // A kept block of `bytes` to twice that, zeroed, and its size; null when there is none.
  std::pair<void*, std::size_t> take(std::size_t bytes) {
    std::pair<void*, std::size_t> out{nullptr, 0};
    if (bytes < kSpareFrom) return out;
    {
      std::lock_guard lock(mutex_);
      const auto at = blocks_.lower_bound(bytes);
      if (at == blocks_.end() || at->first / 2 > bytes) return out;
      out = {at->second, at->first};
      held_ -= at->first;
      blocks_.erase(at);
    }
    std::memset(out.first, 0, out.second);
    return out;
  }

 private:
  std::mutex mutex_;
  std::multimap<std::size_t, void*> blocks_;
  std::size_t held_ = 0;
};

// Never destroyed: columns may be freed while the process exits.
Spare& spare() {
  static Spare* const s = new Spare();
  return *s;
}

void release(void* p, std::size_t bytes) {
  if (!spare().keep(p, bytes)) release_now(p, bytes);
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
  if (data_ == nullptr || bytes_ < kMappedFrom) {
    // A kept block, mapped or not, in place of new memory; its old contents are cleared.
    const auto [kept, kept_bytes] = spare().take(rounded);
    if (kept != nullptr) {
      if (data_ != nullptr) {
        std::memcpy(kept, data_, bytes_);
        release(data_, bytes_);
      }
      data_ = kept;
      bytes_ = kept_bytes;
      return;
    }
  }
  void* p = nullptr;
  if (rounded < kMappedFrom) {
    p = std::aligned_alloc(64, rounded);  // 64: the alignment Arrow recommends for buffers
    if (p == nullptr) throw std::bad_alloc();
    if (data_ != nullptr) std::memcpy(p, data_, bytes_);
    std::memset(static_cast<char*>(p) + bytes_, 0, rounded - bytes_);
    if (data_ != nullptr) release(data_, bytes_);
  } else if (data_ != nullptr && bytes_ >= kMappedFrom) {
    p = mremap(data_, bytes_, rounded, MREMAP_MAYMOVE);
  } else {
    p = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED && data_ != nullptr) {  // from the heap to a mapping
      std::memcpy(p, data_, bytes_);
      release(data_, bytes_);
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
