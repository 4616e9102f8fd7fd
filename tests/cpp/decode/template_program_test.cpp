// Real templates decoded through their compiled programs: the messages of the raw corpus
// (the first megabyte of each file) and the first messages of each benchmark file must
// decode exactly as the walk decodes them, records, texts, subset starts and error texts
// alike, and state the same well-formed nesting.
#include "decode/template_program.hpp"

#include <algorithm>
#include <bit>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "../corpus_location.hpp"
#include "columnar/table_choice.hpp"
#include "decode/decode.hpp"
#include "decode/structure.hpp"
#include "decode/template_cache.hpp"
#include "decode/uncompressed.hpp"
#include "decode_fixture.hpp"

namespace quorvex {
namespace {

struct Tally {
  std::size_t messages = 0;
  std::size_t replayed = 0;
  std::size_t failures = 0;
  std::size_t groups = 0;      // sequences and replications stated
  std::size_t attributes = 0;  // attribute links stated
};

using Event = std::tuple<StructureEvent::Kind, std::uint32_t, std::uint64_t, std::size_t>;

std::vector<Event> events_of(const MessageStructure& s) {
  std::vector<Event> out;
  for (const StructureEvent& e : s.events) out.emplace_back(e.kind, e.code, e.count, e.at);
  return out;
}

std::vector<std::pair<std::size_t, std::size_t>> links_of(const MessageStructure& s) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for (const AttributeLink& l : s.attributes) out.emplace_back(l.value, l.target);
  return out;
}

// The nesting of each subset is balanced, never goes back in the values, and a replication
// holds exactly its count of repetitions numbered from 1; every attribute qualifies another
// value of the message.
void expect_well_formed(const MessageStructure& s, std::size_t values, const std::string& where,
                        Tally& tally) {
  ASSERT_FALSE(s.subset_starts.empty()) << where;
  for (std::size_t k = 0; k < s.subset_starts.size(); ++k) {
    const std::size_t last = k + 1 < s.subset_starts.size() ? s.subset_starts[k + 1] : s.events.size();
    // Per open group: its replication count (0 for a sequence) and repetitions seen.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> open;
    std::vector<bool> replication;
    std::size_t at = 0;
    for (std::size_t e = s.subset_starts[k]; e < last; ++e) {
      const StructureEvent& ev = s.events[e];
      ASSERT_GE(ev.at, at) << where;
      ASSERT_LE(ev.at, values) << where;
      at = ev.at;
      switch (ev.kind) {
        case StructureEvent::Kind::Sequence:
        case StructureEvent::Kind::Replication:
          open.emplace_back(ev.count, 0);
          replication.push_back(ev.kind == StructureEvent::Kind::Replication);
          ++tally.groups;
          break;
        case StructureEvent::Kind::Repetition:
          ASSERT_TRUE(!open.empty() && replication.back()) << where;
          ASSERT_EQ(ev.count, ++open.back().second) << where;
          break;
        case StructureEvent::Kind::Close:
          ASSERT_FALSE(open.empty()) << where;
          if (replication.back()) {
            ASSERT_EQ(open.back().first, open.back().second) << where;
          }
          open.pop_back();
          replication.pop_back();
          break;
      }
    }
    EXPECT_TRUE(open.empty()) << where;
  }
  for (const AttributeLink& link : s.attributes) {
    EXPECT_LT(link.value, values) << where;
    EXPECT_LT(link.target, values) << where;
    EXPECT_NE(link.value, link.target) << where;
  }
  tally.attributes += s.attributes.size();
}

// The records of `v` in subset order, as decode_data_section gives them.
DecodeResult records_of(MessageValues&& v) {
  if (!v.compressed) return std::move(v.records);
  DecodeResult out;
  for (std::size_t s = 0; s < v.columns.subsets; ++s) {
    out.subset_starts.push_back(out.values.size());
    for (const CompressedColumn& col : v.columns.columns) out.values.push_back(v.columns.value_at(col, s));
  }
  out.texts = std::move(v.columns.texts);
  return out;
}

// Uncompressed data read with only some elements wanted: the records left are those of the
// whole decode, in order, with every record of a recorded code among them; each record left
// out is a number of an element not recorded, and is counted.
::testing::AssertionResult keeps_what_is_wanted(const DecodeResult& whole, const Status& status,
                                                const MessageValues& wanted_values,
                                                const WantedElements& wanted) {
  if (!status) return ::testing::AssertionFailure() << status.error().message();
  const DecodeResult& kept = wanted_values.records;
  std::size_t k = 0;
  for (const DecodedValue& v : whole.values) {
    const bool same =
        k < kept.values.size() && kept.values[k].descriptor == v.descriptor &&
        kept.values[k].role == v.role && kept.values[k].flags == v.flags &&
        std::bit_cast<std::uint64_t>(kept.values[k].raw_value) == std::bit_cast<std::uint64_t>(v.raw_value) &&
        (!v.has_text() || kept.texts[kept.values[k].text_index] == whole.texts[v.text_index]);
    if (same) {
      ++k;
    } else if (wanted.records(v.descriptor) || v.has_text()) {
      return ::testing::AssertionFailure() << "value of descriptor " << v.descriptor << " left out";
    }
  }
  if (k != kept.values.size()) return ::testing::AssertionFailure() << "records not in the whole decode";
  if (kept.values.size() + kept.passed_over != whole.values.size())
    return ::testing::AssertionFailure() << "values left out not counted";
  return ::testing::AssertionSuccess();
}

// Decodes the whole messages within the first `max_octets` of `path` with and without their
// programs, with and without recording the nesting, and with some elements wanted.
void compare_file(const std::string& path, std::size_t max_octets, TableChooser& chooser,
                  TemplateCache& cache, Tally& tally) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> file(std::min<std::uintmax_t>(std::filesystem::file_size(path), max_octets));
  in.read(reinterpret_cast<char*>(file.data()), static_cast<std::streamsize>(file.size()));
  for (const FoundMessage& found : scan_resync(file, 0, file.size())) {
    if (!found.ok) continue;
    const Bytes octets(file.data() + found.offset, found.length);
    const auto message = parse_message(octets);
    if (!message) continue;
    const auto chosen = chooser.choose(*message);
    if (!chosen) continue;
    const TableSet& tables = *chosen->tables;
    const auto program = cache.get(chosen->tables, message->unexpanded_descriptors);
    // The whole data, and the data cut short within a field (errors raised alike).
    const Bytes whole = section4_data(octets, *message);
    const Result<DecodeResult> plain = decode_data_section(*message, tables, whole);
    if (plain && !message->compressed_data) {
      WantedElements wanted;  // temperatures and winds, and the elements of classes 00 to 09
      wanted.recorded_below = 10000;
      for (std::uint32_t y = 0; y < 256; ++y) {
        wanted.add(11000 + y);
        wanted.add(12000 + y);
      }
      MessageValues some;
      const Status read =
          decode_message_values(*message, tables, whole, some, program.get(), &wanted, nullptr);
      EXPECT_TRUE(keeps_what_is_wanted(*plain, read, some, wanted)) << path << " message at " << found.offset;
    }
    for (const Bytes data : {whole, whole.first(whole.size() / 2)}) {
      const Result<DecodeResult> walked = decode_data_section(*message, tables, data);
      EXPECT_TRUE(testing::identical(walked, decode_data_section(*message, tables, data, program.get())))
          << path << " message at " << found.offset << ", " << data.size() << " octets of data";
      tally.failures += !walked;
    }
    // The nesting, walked and replayed.
    MessageValues walked_values, replayed_values;
    MessageStructure walked_nesting, replayed_nesting;
    const Status walked =
        decode_message_values(*message, tables, whole, walked_values, nullptr, nullptr, &walked_nesting);
    const Status replayed = decode_message_values(
        *message, tables, whole, replayed_values, program.get(), nullptr, &replayed_nesting);
    const std::string where = path + " message at " + std::to_string(found.offset);
    if (walked && replayed) {
      EXPECT_EQ(events_of(walked_nesting), events_of(replayed_nesting)) << where;
      EXPECT_EQ(walked_nesting.subset_starts, replayed_nesting.subset_starts) << where;
      EXPECT_EQ(links_of(walked_nesting), links_of(replayed_nesting)) << where;
      const std::size_t values = walked_values.compressed ? walked_values.columns.columns.size()
                                                          : walked_values.records.values.size();
      expect_well_formed(walked_nesting, values, where, tally);
    }
    // Recording the nesting changes nothing in the values (the readers that record are
    // built apart from the ordinary ones).
    EXPECT_TRUE(testing::identical(walked,
                                   walked ? records_of(std::move(walked_values)) : DecodeResult{},
                                   plain ? Status{} : Status(fail(plain.error())),
                                   plain ? *plain : DecodeResult{}))
        << where;
    ++tally.messages;
    tally.replayed += program != nullptr;
  }
}

// The walk reports a fault only where the data lead it: a missing sequence in a group
// repeated 0 times is never visited. Such a list has no program, and decodes.
TEST(TemplateProgramTest, FaultsTheDataNeverReachDoNotCompileAndDecode) {
  const TableSet tables = testing::test_tables();
  const std::vector<std::uint32_t> codes = {1001, 101000, 31001, 399999};
  EXPECT_FALSE(compile_template(tables, codes).has_value());
  testing::BitWriter w;
  w.put(5, 7).put(0, 8);
  DecodeResult out;
  BitReader reader{Bytes(w.octets())};
  const Status status = decode_uncompressed(codes, tables, reader, 1, out);
  ASSERT_TRUE(status) << status.error().message();
  EXPECT_EQ(testing::seen(out), (std::vector<testing::Seen>{testing::num(1001, 5), testing::num(31001, 0)}));
}

// Sequences are inlined, so a short list can name a template too large to hold: level k
// of these sequences holds two copies of level k - 1, 2^k elements. A replication stays one
// loop over its group, whatever its count.
TEST(TemplateProgramTest, SizeBoundAndLoopsNotUnrolled) {
  TableSet tables = testing::test_tables();
  tables.insert_sequence({350000, {1001}});
  for (std::uint32_t k = 1; k <= 17; ++k) tables.insert_sequence({350000 + k, {349999 + k, 349999 + k}});
  EXPECT_FALSE(compile_template(tables, std::vector<std::uint32_t>{350017}).has_value());
  // 350004: its own step, 2 + 4 + 8 + 16 nested sequences and 16 elements.
  const std::size_t group = 1 + 30 + 16;
  for (const auto& codes : {std::vector<std::uint32_t>{101255, 350004}, {101000, 31002, 350004}}) {
    const std::optional<TemplateProgram> program = compile_template(tables, codes);
    ASSERT_TRUE(program.has_value());
    EXPECT_EQ(program->steps().size(), 1 + group);
    EXPECT_EQ(program->steps()[0].body, group);
  }
}

TEST(TemplateProgramCorpusTest, ProgramsDecodeAsTheWalk) {
  const std::string root = testing::corpus_root();
  const std::string definitions = testing::definitions_root();
  if (root.empty() || definitions.empty()) GTEST_SKIP() << "no corpus or definitions";
  TableChooser chooser(TableSource::at_root(definitions));
  TemplateCache cache;
  Tally tally;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root + "raw")) {
    if (entry.is_regular_file()) compare_file(entry.path().string(), 1 << 20, chooser, cache, tally);
  }
  for (const char* name : {"synop_ed4.bufr",
                           "temp_ed4.bufr",
                           "aircraft_ed4.bufr",
                           "satellite_compressed_ed4.bufr",
                           "mixed_ed4.bufr"}) {
    compare_file(root + "bench/" + name, 256 << 10, chooser, cache, tally);
  }
  // Most messages replay a program, and many cut ones fail, so that errors are compared too.
  EXPECT_GT(tally.replayed, tally.messages * 9 / 10);
  EXPECT_GT(tally.failures, tally.messages / 2);
  EXPECT_GT(tally.groups, tally.messages);
  EXPECT_GT(tally.attributes, 0u);
  RecordProperty("messages", static_cast<int>(tally.messages));
  RecordProperty("replayed", static_cast<int>(tally.replayed));
  RecordProperty("failures", static_cast<int>(tally.failures));
}

}  // namespace
}  // namespace quorvex
