// Where the real-data corpus and the ecCodes definitions lie, for the tests that read them.
// Corpus: $QUORVEX_CORPUS, else shared/corpus beside the checkout, else /work/shared/corpus
// (the same search as tests/python/corpus_location.py). Definitions: $QUORVEX_TEST_DEFINITIONS,
// else Debian's /usr/share/eccodes/definitions (as tests/python/decode_support.py). Each is
// empty when absent, so a test can skip.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace quorvex::testing {

inline std::string definitions_root() {
  const char* env = std::getenv("QUORVEX_TEST_DEFINITIONS");
  const std::filesystem::path root =
      env != nullptr && *env != '\0' ? env : "/usr/share/eccodes/definitions";
  return std::filesystem::is_directory(root / "bufr" / "tables" / "0") ? root.string()
                                                                         : std::string();
}

inline std::string corpus_root() {
  const char* env = std::getenv("QUORVEX_CORPUS");
  const std::filesystem::path candidates[] = {
      env != nullptr ? std::filesystem::path(env) : std::filesystem::path(),
      std::filesystem::path(QUORVEX_SOURCE_DIR).parent_path() / "shared" / "corpus",
      "/work/shared/corpus",
  };
  for (const auto& c : candidates) {
    if (!c.empty() && std::filesystem::is_regular_file(c / "messages.tsv")) return c.string() + "/";
  }
  return {};
}

}  // namespace quorvex::testing
