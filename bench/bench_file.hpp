// A benchmark's input file: its octets and the messages found in it.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "columnar/columns.hpp"
#include "message/message.hpp"

namespace quorvex {

struct BenchFile {
  std::vector<std::uint8_t> data;
  std::vector<MessageRef> refs;

  explicit BenchFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const Bytes file = octets();
    for (const FoundMessage& f : scan_resync(file, 0, file.size())) {
      if (f.ok) refs.push_back({0, static_cast<std::int64_t>(refs.size()), f.offset, f.length});
    }
  }
  Bytes octets() const { return Bytes(data.data(), data.size()); }
};

}  // namespace quorvex
