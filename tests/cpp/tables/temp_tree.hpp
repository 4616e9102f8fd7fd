// A scratch directory for table-loader tests, removed with everything in it at the end.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace quorvex::testing {

class TempTree {
 public:
  TempTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvex-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    root_ = pattern;
  }
  ~TempTree() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  std::string path(std::string_view rel = {}) const {
    return rel.empty() ? root_.string() : (root_ / rel).string();
  }
  // Writes `content` to root/rel, creating the directories on the way.
  std::string write(std::string_view rel, std::string_view content) const {
    const auto p = root_ / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
    return p.string();
  }
  std::string mkdir(std::string_view rel) const {
    std::filesystem::create_directories(root_ / rel);
    return path(rel);
  }

 private:
  std::filesystem::path root_;
};

}  // namespace quorvex::testing
