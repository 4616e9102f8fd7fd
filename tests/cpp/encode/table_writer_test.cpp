// Rows laid out by the descriptors: delayed replications counted from the numbered keys the
// template bears only in the repeated group, or from the factor's own column; counts that the
// keys cannot tell, and cells no field takes, refused.
#include "encode/table_writer.hpp"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../decode/decode_fixture.hpp"
#include "decode/decode.hpp"
#include "encode/header_fields.hpp"

namespace quorvex {
namespace {

struct Column {
  std::string name;
  std::vector<double> cells;  // NaN: missing
};

struct Case {
  const char* name;
  std::vector<std::uint32_t> codes;
  std::vector<Column> columns;
  const char* expected;  // the decoded values ("code=value ..."), or the error text
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class TableWriterTest : public ::testing::TestWithParam<Case> {};

// The test tables with every element's name as its key.
TableSet keyed_tables() {
  TableSet tables = testing::test_tables();
  std::vector<ElementDefinition> defs;
  for (const auto& [code, def] : tables.elements()) defs.push_back(def);
  for (ElementDefinition& def : defs) {
    def.abbreviation = def.name;
    tables.insert_element(std::move(def));
  }
  return tables;
}

std::string outcome(const Case& c) {
  const TableSet tables = keyed_tables();
  InputTable table;
  table.rows = c.columns.front().cells.size();
  for (const Column& column : c.columns) {
    InputColumn in;
    in.name = column.name;
    ColumnChunk chunk;
    chunk.type = ColumnChunk::Type::Float64;
    chunk.values = column.cells.data();
    in.append(chunk, table.rows);
    table.columns.push_back(in);
  }
  BufrMessage header = default_header();
  header.typical_year = 2024;
  header.typical_month = 1;
  header.typical_day = 1;
  const auto written = write_table(table, c.codes, header, tables, {});
  if (!written) return written.error().message();
  const auto message = parse_message(*written);
  if (!message) return message.error().message();
  const auto decoded = decode_data_section(*message, tables, section4_data(*written, *message));
  if (!decoded) return decoded.error().message();
  std::string out;
  for (const DecodedValue& v : decoded->values) {
    out += std::to_string(v.descriptor) + "=" +
           (v.has_value() ? std::to_string(std::lround(v.raw_value * 100)) : "-");
    out += " ";
  }
  return out;
}

TEST_P(TableWriterTest, LaysOutOrRefuses) { EXPECT_EQ(outcome(GetParam()), GetParam().expected); }

const double kMissing = std::nan("");

INSTANTIATE_TEST_SUITE_P(
    Cases, TableWriterTest,
    ::testing::Values(
        Case{"count_from_the_highest_number",
             {1001, 101000, 31001, 12101},
             {{"#1#blockNumber", {7}}, {"#1#airTemperature", {250}}, {"#3#airTemperature", {260}}},
             "1001=700 31001=300 12101=25000 12101=- 12101=26000 "},
        Case{"count_from_the_factor_column",
             {101000, 31001, 12101},
             {{"#1#delayedDescriptorReplicationFactor", {4}}, {"#1#airTemperature", {250}}},
             "31001=400 12101=25000 12101=- 12101=- 12101=- "},
        // A flat frame has the columns of all-missing repetitions: each is written, missing.
        Case{"a_column_without_values_is_a_missing_repetition",
             {101000, 31001, 12101},
             {{"#1#airTemperature", {kMissing}}, {"#2#airTemperature", {kMissing}}},
             "31001=200 12101=- 12101=- "},
        Case{"no_column_is_no_repetition",
             {1001, 101000, 31001, 12101},
             {{"#1#blockNumber", {7}}},
             "1001=700 31001=0 "},
        // Met once per repetition of the fixed replication, the group cannot take its count from
        // the numbers of its keys.
        Case{"a_group_in_another_replication_cannot_tell_its_count",
             {103002, 101000, 31001, 12101},
             {{"#1#airTemperature", {250}}, {"#2#airTemperature", {260}}},
             "delayedDescriptorReplicationFactor (031001), row 0: the replication count cannot be told from "
             "the keys it repeats (airTemperature): they occur elsewhere in the template too, or the group "
             "stands in another replication, so #2#airTemperature does not say which repetition it belongs "
             "to; add the count as column #1#delayedDescriptorReplicationFactor (the row's factors numbered "
             "in walk order)"},
        Case{"key_elsewhere_cannot_tell_the_count",
             {12101, 101000, 31001, 12101},
             {{"#1#airTemperature", {250}}, {"#2#airTemperature", {260}}},
             "delayedDescriptorReplicationFactor (031001), row 0: the replication count cannot be told from "
             "the keys it repeats (airTemperature): they occur elsewhere in the template too, or the group "
             "stands in another replication, so #2#airTemperature does not say which repetition it belongs "
             "to; add the count as column #1#delayedDescriptorReplicationFactor (the row's factors numbered "
             "in walk order)"},
        // The columns ask for more repetitions than the 8-bit factor counts.
        Case{
            "columns_beyond_what_the_factor_counts",
            {101000, 31001, 12101},
            {{"#256#airTemperature", {250}}},
            "delayedDescriptorReplicationFactor (031001), row 0: the highest numbered columns of the keys it "
            "repeats (airTemperature) ask for 256 repetitions, more than its 8 bits count (at most 255)"},
        Case{"factor_contradicted_by_a_cell",
             {101000, 31001, 12101},
             {{"#1#delayedDescriptorReplicationFactor", {1}}, {"#2#airTemperature", {250}}},
             "#2#airTemperature, row 0: value 250 is not written: the descriptors do not produce this key "
             "here (a "
             "replication count contradicted by the data?)"},
        Case{"a_key_the_descriptors_do_not_produce",
             {1001},
             {{"#1#blockNumber", {7}}, {"#1#stationNumber", {1}}},
             "#1#stationNumber, row 0: value 1 is not written: the descriptors do not produce this key here "
             "(a "
             "replication count contradicted by the data?)"}));

}  // namespace
}  // namespace quorvex
