// Shared pieces of the fuzz entry points: invariant checks, a scratch directory for the
// table loaders, and the reference tables the decoders and the expansion run against.
// Header-only: included by the libFuzzer targets and by the regression replay test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "lib/error.hpp"
#include "tables/eccodes_loader.hpp"
#include "tables/table_set.hpp"

namespace quorvex::fuzz {

// A broken invariant: the input got a result that no correct implementation can give.
[[noreturn]] inline void broken(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: fuzz invariant broken: %s\n", file, line, what);
  std::abort();
}

#define QV_FUZZ_CHECK(cond) \
  ((cond) ? static_cast<void>(0) : ::quorvex::fuzz::broken(#cond, __FILE__, __LINE__))

// Every failure must render as a non-empty message (this also runs the text builders).
inline void check_error(const BufrError& e) {
  const std::string text = e.message();
  QV_FUZZ_CHECK(!text.empty());
}

// What an entry reports, for the regression tests: "ok" and a count, or the error's message.
inline std::string ok(std::size_t count) { return "ok " + std::to_string(count); }
inline std::string failed(const BufrError& e) {
  check_error(e);
  return e.message();
}

// A private directory under the system temporary directory, removed at exit.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (base() / "quorvex-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) broken("mkdtemp", __FILE__, __LINE__);
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }

  // Memory-backed /dev/shm when there is one: the loaders then run some ten times faster
  // than over a disk file system.
  static std::filesystem::path base() {
    std::error_code ec;
    if (std::getenv("TMPDIR") == nullptr && std::filesystem::is_directory("/dev/shm", ec) &&
        access("/dev/shm", W_OK) == 0) {
      return "/dev/shm";
    }
    return std::filesystem::temp_directory_path();
  }

  // A fresh empty sub-directory `name` (its old content removed).
  std::string fresh_dir(const std::string& name) const {
    const std::filesystem::path p = std::filesystem::path(path_) / name;
    std::error_code ignored;
    std::filesystem::remove_all(p, ignored);
    std::filesystem::create_directories(p);
    return p.string();
  }

 private:
  std::string path_;
};

inline const ScratchDir& scratch() {
  static const ScratchDir dir;
  return dir;
}

inline void write_file(const std::string& path, std::string_view content) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) broken("fopen for writing", __FILE__, __LINE__);
  if (!content.empty() && std::fwrite(content.data(), 1, content.size(), f) != content.size()) {
    broken("fwrite", __FILE__, __LINE__);
  }
  std::fclose(f);
}

// A descriptor as section 3 writes it: F in 2 bits, X in 6, Y in 8.
inline std::uint32_t section3_code(std::uint8_t hi, std::uint8_t lo) {
  return static_cast<std::uint32_t>(hi >> 6) * 100000 + static_cast<std::uint32_t>(hi & 0x3F) * 1000 + lo;
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The table directories loaded, in order, into the reference TableSet: the WMO tables
// and the ECMWF local tables that most of the real messages use. QUORVEX_FUZZ_TABLES
// (directories separated by ':') replaces them.
inline std::vector<std::string> reference_table_dirs() {
  if (const char* env = std::getenv("QUORVEX_FUZZ_TABLES"); env != nullptr && *env != '\0') {
    std::vector<std::string> dirs;
    std::string_view rest(env);
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      dirs.emplace_back(rest.substr(0, colon));
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
    return dirs;
  }
  const std::string root = "/usr/share/eccodes/definitions/bufr/tables/0/";
  return {root + "wmo/39", root + "local/1/98/0"};
}

inline bool reference_tables_available() {
  for (const std::string& dir : reference_table_dirs()) {
    if (!std::filesystem::exists(std::filesystem::path(dir) / "element.table")) return false;
  }
  return true;
}

// Entries no real table has, within reach of two-octet descriptors (class 63 and
// sequences 3-63-250 to 3-63-255), so that the decoders also meet the tables a caller may
// hand them: widths of 0 and beyond 64 bits, extreme scales and references, a 64-bit
// replication factor, and sequences that contain themselves or codes with F above 3.
inline void add_hostile_entries(TableSet& t) {
  auto element = [&t](std::uint32_t code,
                      const char* unit,
                      std::int32_t scale,
                      std::int64_t reference,
                      std::uint16_t width) {
    t.insert_element({code,
                      "fuzz",
                      unit == std::string("CCITT IA5") ? "string" : "long",
                      "FUZZ",
                      unit,
                      scale,
                      reference,
                      width});
  };
  element(63250, "Numeric", 0, 0, 0);
  element(63251, "Numeric", 0, 0, 65);
  element(63252, "CCITT IA5", 0, 0, 65535);
  element(63253, "Numeric", -2147483647 - 1, INT64_MIN, 64);
  element(63254, "Numeric", 2147483647, INT64_MAX, 63);
  element(63255, "Code table", 0, -1, 1);
  element(31250, "Numeric", 0, 0, 64);
  t.insert_sequence({363255, {363255}});
  t.insert_sequence({363254, {1001, 400000}});
  t.insert_sequence({363253, {4294967295u}});
  t.insert_sequence({363252, {101000, 31250, 63250}});
  t.insert_sequence({363251, {}});
  t.insert_sequence({363250, {363249}});
}

// Loaded on first use, then shared read-only by every run.
inline const TableSet& reference_tables() {
  static const TableSet tables = [] {
    TableSet t;
    for (const std::string& dir : reference_table_dirs()) {
      auto loaded = load_table_directory(dir, t);
      if (!loaded) {
        std::fprintf(stderr, "cannot load %s: %s\n", dir.c_str(), loaded.error().message().c_str());
        std::abort();
      }
    }
    add_hostile_entries(t);
    return t;
  }();
  return tables;
}

}  // namespace quorvex::fuzz
