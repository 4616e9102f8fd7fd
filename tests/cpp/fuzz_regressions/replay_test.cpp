// Replays every input kept under tests/data/fuzz/<target>/ through the entry point of the
// fuzz target <target> (fuzz/<target>_fuzz.cpp), with the invariant checks the fuzzers
// apply. Built into the normal and the sanitizer test binaries, so each kept input also
// runs under AddressSanitizer and UndefinedBehaviorSanitizer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../../fuzz/fuzz_columnar.hpp"
#include "../../../fuzz/fuzz_decode.hpp"
#include "../../../fuzz/fuzz_encode.hpp"
#include "../../../fuzz/fuzz_expand.hpp"
#include "../../../fuzz/fuzz_message.hpp"
#include "../../../fuzz/fuzz_tables.hpp"

namespace quorvex::fuzz {
namespace {

struct Target {
  const char* name;
  std::string (*run)(const std::uint8_t*, std::size_t);
  bool needs_reference_tables;
};

constexpr Target kTargets[] = {
    {"scan_parse", run_scan_parse, false},
    {"element_table", run_element_table, false},
    {"sequence_def", run_sequence_def, false},
    {"code_table", run_code_table, false},
    {"wmo_csv", run_wmo_csv, false},
    {"expand", run_expand, true},
    {"decode_uncompressed", run_decode_uncompressed, true},
    {"decode_compressed", run_decode_compressed, true},
    {"encode", run_encode, true},
    {"columnar", run_columnar, true},
    {"header_older", run_header_older, false},
};

const Target* find_target(const std::string& name) {
  for (const Target& t : kTargets) {
    if (name == t.name) return &t;
  }
  return nullptr;
}

const std::filesystem::path& kept_inputs() {
  static const std::filesystem::path dir = std::filesystem::path(QUORVEX_SOURCE_DIR) / "tests/data/fuzz";
  return dir;
}

struct KeptInput {
  std::string target;
  std::filesystem::path path;
};

std::vector<KeptInput> all_kept_inputs() {
  std::vector<KeptInput> inputs;
  std::error_code ec;
  for (const auto& dir : std::filesystem::directory_iterator(kept_inputs(), ec)) {
    if (!dir.is_directory()) continue;
    for (const auto& file : std::filesystem::directory_iterator(dir.path())) {
      if (file.is_regular_file()) inputs.push_back({dir.path().filename().string(), file.path()});
    }
  }
  std::sort(
      inputs.begin(), inputs.end(), [](const KeptInput& a, const KeptInput& b) { return a.path < b.path; });
  return inputs;
}

std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// tests/data/fuzz/outcomes.tsv: "<target>/<file>", a tab, and the outcome the entry must
// report for it ("ok <count>" or the error message), for the inputs whose result matters.
const std::map<std::string, std::string>& expected_outcomes() {
  static const std::map<std::string, std::string> outcomes = [] {
    std::map<std::string, std::string> m;
    std::ifstream in(kept_inputs() / "outcomes.tsv");
    std::string line;
    while (std::getline(in, line)) {
      const std::size_t tab = line.find('\t');
      if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
      m[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return m;
  }();
  return outcomes;
}

class FuzzReplayTest : public ::testing::TestWithParam<KeptInput> {};

TEST_P(FuzzReplayTest, EndsWithAResultOrAnError) {
  const KeptInput& input = GetParam();
  const Target* target = find_target(input.target);
  ASSERT_NE(target, nullptr) << "tests/data/fuzz/" << input.target << " names no fuzz target";
  if (target->needs_reference_tables && !reference_tables_available()) {
    GTEST_SKIP() << "the ecCodes WMO tables are not installed";
  }
  const std::string bytes = read_all(input.path);
  ASSERT_FALSE(bytes.empty() && std::filesystem::file_size(input.path) != 0);
  // The entry aborts on a broken invariant; sanitizers report memory faults.
  const std::string outcome = target->run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  EXPECT_FALSE(outcome.empty());
  const auto expected = expected_outcomes().find(input.target + "/" + input.path.filename().string());
  if (expected != expected_outcomes().end()) {
    EXPECT_EQ(outcome, expected->second);
  }
}

INSTANTIATE_TEST_SUITE_P(Kept, FuzzReplayTest, ::testing::ValuesIn(all_kept_inputs()),
                         [](const ::testing::TestParamInfo<KeptInput>& info) {
                           std::string name = info.param.target + "_" + info.param.path.filename().string();
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FuzzReplayTest);

// Every directory of kept inputs belongs to a target, and every target has a directory,
// so an input filed under a misspelt name cannot go unreplayed.
TEST(FuzzReplayLayoutTest, DirectoriesMatchTheTargets) {
  std::vector<std::string> dirs;
  for (const auto& dir : std::filesystem::directory_iterator(kept_inputs())) {
    if (dir.is_directory()) dirs.push_back(dir.path().filename().string());
  }
  for (const std::string& d : dirs) EXPECT_NE(find_target(d), nullptr) << d;
  for (const Target& t : kTargets) {
    EXPECT_NE(std::find(dirs.begin(), dirs.end(), t.name), dirs.end()) << t.name;
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(QUORVEX_SOURCE_DIR) / "fuzz" /
                                        (std::string(t.name) + "_fuzz.cpp")))
        << t.name;
  }
}

// Every expected outcome names a kept input.
TEST(FuzzReplayLayoutTest, OutcomesNameKeptInputs) {
  ASSERT_FALSE(expected_outcomes().empty());
  for (const auto& [name, outcome] : expected_outcomes()) {
    EXPECT_TRUE(std::filesystem::is_regular_file(kept_inputs() / name)) << name;
  }
}

}  // namespace
}  // namespace quorvex::fuzz
