#include "lib/file_system.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "lib/text.hpp"
#include "lib/text_scan.hpp"

namespace quorvex {

std::string join_path(std::string_view base, std::string_view name) {
  std::string out(base);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

namespace {

// A path handed in from Python may hold NUL, which the system calls cannot take.
bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }
BufrError nul_in_path() { return BufrError::nul_in_path(); }

std::string_view strip_trailing_slashes(std::string_view p) {
  while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
  return p;
}

}  // namespace

bool parent_path(std::string_view path, std::string& parent) {
  path = strip_trailing_slashes(path);
  if (path.empty() || path == "/") return false;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    parent.clear();  // a bare name: its parent is the current directory
    return true;
  }
  parent = std::string(strip_trailing_slashes(path.substr(0, slash == 0 ? 1 : slash)));
  return true;
}

std::string_view file_name(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view file_stem(std::string_view path) {
  std::string_view name = file_name(path);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || name == "..") return name;
  return name.substr(0, dot);
}

FileKind file_kind(const std::string& path) {
  if (has_nul(path)) return FileKind::Missing;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return FileKind::Missing;
  if (S_ISDIR(st.st_mode)) return FileKind::Directory;
  if (S_ISREG(st.st_mode)) return FileKind::Regular;
  return FileKind::Other;
}

namespace {

// Reads an open descriptor to its end into `data` (its capacity reused) and closes it. The
// size of a regular file bounds the read (one read call for a small table file); other
// files are read until end of file.
Status read_and_close(int fd, std::string& data) {
  struct stat st;
  const bool sized = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
  const std::size_t expected = sized ? static_cast<std::size_t>(st.st_size) : 0;
  std::size_t used = 0;
  data.clear();
  for (;;) {
    if (sized && used == expected) break;
    if (used == data.size()) {
      // Grown without zero-filling: the read below overwrites what it keeps.
      const std::size_t size = sized ? expected : std::max<std::size_t>(2 * used, 65536);
      data.resize_and_overwrite(size, [](char*, std::size_t n) { return n; });
    }
    const ssize_t n = ::read(fd, data.data() + used, data.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      data.clear();
      return fail(BufrError::io_errno(err));
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  ::close(fd);
  data.resize(used);
  return {};
}

Result<std::string> read_and_close(int fd) {
  std::string data;
  QV_CHECK(read_and_close(fd, data));
  return data;
}

}  // namespace

Result<std::string> read_file(const std::string& path) {
  if (has_nul(path)) return fail(nul_in_path());
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(BufrError::io_errno(errno));
  return read_and_close(fd);
}

namespace {

Status check_utf8(std::string_view data) {
  if (!utf8_text(data)) return fail(BufrError::invalid_utf8_stream());
  return {};
}

Result<std::string> require_utf8(Result<std::string> data) {
  if (data) QV_CHECK(check_utf8(*data));
  return data;
}

}  // namespace

Result<std::string> read_utf8_file(const std::string& path) { return require_utf8(read_file(path)); }

namespace {

DIR* as_dir(void* d) { return static_cast<DIR*>(d); }

}  // namespace

Result<OpenDirectory> OpenDirectory::open(const std::string& path) {
  if (has_nul(path)) return fail(nul_in_path());
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return fail(BufrError::io_errno(errno));
  return OpenDirectory(dir);
}

OpenDirectory::OpenDirectory(OpenDirectory&& other) noexcept : dir_(std::exchange(other.dir_, nullptr)) {}

OpenDirectory::~OpenDirectory() {
  if (dir_ != nullptr) ::closedir(as_dir(dir_));
}

Result<std::vector<std::string>> OpenDirectory::names(std::string_view prefix, std::string_view suffix) {
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(as_dir(dir_));
    if (e == nullptr) {
      if (errno != 0) return fail(BufrError::io_errno(errno));
      break;
    }
    const std::string_view name(e->d_name);
    if (name == "." || name == "..") continue;
    const std::string text = lossy_utf8(name);
    if (text.starts_with(prefix) && text.ends_with(suffix)) names.emplace_back(name);
  }
  std::sort(names.begin(), names.end());  // std::string orders by octets (char_traits<char>)
  return names;
}

Status OpenDirectory::read_utf8_file_into(const std::string& name, std::string& buffer) const {
  const int fd = ::openat(::dirfd(as_dir(dir_)), name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(BufrError::io_errno(errno));
  QV_CHECK(read_and_close(fd, buffer));
  return check_utf8(buffer);
}

Result<std::vector<std::string>> list_directory_files(const std::string& dir, std::string_view prefix,
                                                      std::string_view suffix) {
  OpenDirectory open = QV_TRY(OpenDirectory::open(dir));
  std::vector<std::string> names = QV_TRY(open.names(prefix, suffix));
  for (std::string& name : names) name = join_path(dir, name);
  return names;
}

}  // namespace quorvex
