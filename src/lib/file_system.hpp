// The file-system operations of the table loaders. Failures carry the platform's text
// ("<strerror> (os error N)") as kind Io.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "lib/error.hpp"

namespace quorvex {

// Path components joined with "/" (no separator doubled; an empty base gives `name`).
std::string join_path(std::string_view base, std::string_view name);
// The parent of a path; false when it has none ("/" and the empty path).
bool parent_path(std::string_view path, std::string& parent);
// The last component of a path.
std::string_view file_name(std::string_view path);
// The file name without its last extension ("a.b.table" -> "a.b", ".table" -> ".table").
std::string_view file_stem(std::string_view path);

enum class FileKind { Missing, Directory, Regular, Other };
// Metadata following links; anything that cannot be read counts as Missing.
FileKind file_kind(const std::string& path);
inline bool path_exists(const std::string& path) { return file_kind(path) != FileKind::Missing; }

// The whole file in one buffer.
[[nodiscard]] Result<std::string> read_file(const std::string& path);
// The whole file, which must be UTF-8 ("stream did not contain valid UTF-8").
[[nodiscard]] Result<std::string> read_utf8_file(const std::string& path);

// A directory held open, so that the files in it are opened by name without walking the
// whole path again (a code-table directory holds some five hundred files).
class OpenDirectory {
 public:
  [[nodiscard]] static Result<OpenDirectory> open(const std::string& path);
  OpenDirectory(OpenDirectory&& other) noexcept;
  OpenDirectory& operator=(OpenDirectory&&) = delete;
  OpenDirectory(const OpenDirectory&) = delete;
  ~OpenDirectory();

  // Names of the entries (not "." and "..") whose text (invalid UTF-8 replaced) starts with
  // `prefix` and ends with `suffix`, sorted by their octets. Reads the entries once.
  [[nodiscard]] Result<std::vector<std::string>> names(std::string_view prefix, std::string_view suffix);
  // The whole file `name` of this directory, which must be UTF-8, into `buffer` (its
  // capacity reused from file to file).
  [[nodiscard]] Status read_utf8_file_into(const std::string& name, std::string& buffer) const;

 private:
  explicit OpenDirectory(void* dir) : dir_(dir) {}
  void* dir_;  // DIR*
};

// Full paths of the entries of `dir` whose names (as text, invalid UTF-8 replaced) start
// with `prefix` and end with `suffix`, sorted by the names' octets.
[[nodiscard]] Result<std::vector<std::string>> list_directory_files(const std::string& dir,
                                                                    std::string_view prefix,
                                                                    std::string_view suffix);

}  // namespace quorvex
