// Where the real-data corpus and the ecCodes definitions lie, for the tests that read them:
// $QUORVEX_CORPUS, else shared/corpus beside the checkout, else /work/shared/corpus (the
// same search as tests/python/corpus_location.py). Empty when there is none.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace quorvex::testing {

inline constexpr const char* kDefinitionsRoot = "/usr/share/eccodes/definitions";

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
