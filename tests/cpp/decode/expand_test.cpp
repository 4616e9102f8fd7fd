#include "decode/expand.hpp"

#include <utility>

#include <gtest/gtest.h>

namespace quorvex {
namespace {

using Codes = std::vector<std::uint32_t>;

TableSet with_sequences(std::initializer_list<SequenceDefinition> defs) {
  TableSet t;
  for (const auto& d : defs) t.insert_sequence(d);
  return t;
}

struct ExpandCase {
  Codes input;
  Codes want;
};

class ExpandOkTest : public ::testing::TestWithParam<ExpandCase> {};

TEST_P(ExpandOkTest, Expands) {
  const TableSet t = with_sequences({{301001, {1001, 1002}},
                                     {301002, {204002, 1001}},
                                     {301003, {}},
                                     {301004, {301001, 102002, 301003, 1003}}});
  auto got = expand_descriptor_list(t, GetParam().input);
  ASSERT_TRUE(got.has_value()) << got.error().message();
  EXPECT_EQ(*got, GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ExpandOkTest,
    ::testing::Values(ExpandCase{{}, {}}, ExpandCase{{1001}, {1001}}, ExpandCase{{63255}, {63255}},
                      ExpandCase{{101002, 1001}, {1001, 1001}},
                      ExpandCase{{102003, 1001, 1002}, {1001, 1002, 1001, 1002, 1001, 1002}},
                      ExpandCase{{102000, 31001, 1001, 1002}, {31001, 1001, 1002}},
                      ExpandCase{{101000, 31002, 1001, 1003}, {31002, 1001, 1003}},
                      ExpandCase{{204008, 1001, 31021, 204000, 1002}, {999999, 1001, 31021, 1002}},
                      ExpandCase{{201130, 1001, 201000}, {1001}},
                      ExpandCase{{202129, 206008, 207001, 208010, 1001}, {1001}},
                      ExpandCase{{222000, 1001}, {222000, 1001}}, ExpandCase{{205010}, {205010}},
                      ExpandCase{{203014, 236000, 237000}, {203014, 236000, 237000}},
                      ExpandCase{{301001}, {1001, 1002}},
                      // An associated field switched on inside a sequence lasts after it.
                      ExpandCase{{301002, 1002, 31001}, {999999, 1001, 999999, 1002, 31001}},
                      ExpandCase{{204001, 301001}, {999999, 1001, 999999, 1002}},
                      ExpandCase{{301003, 1001}, {1001}},
                      ExpandCase{{301004}, {1001, 1002, 1003, 1003}},  // an empty sequence replicated twice
                      // Fixed replications nest multiplicatively.
                      ExpandCase{{102002, 101003, 1001}, Codes(6, 1001)},
                      // A replicated group that contains a delayed replication.
                      ExpandCase{{103002, 101000, 31001, 1001}, {31001, 1001, 31001, 1001}},
                      // Y is reduced modulo 256: 1-01-256 is delayed.
                      ExpandCase{{101256, 31001, 1001}, {31001, 1001}}));

using Tree = std::vector<std::pair<unsigned, std::uint32_t>>;

struct TreeCase {
  Codes input;
  Tree want;
};

class ExpandTreeTest : public ::testing::TestWithParam<TreeCase> {};

TEST_P(ExpandTreeTest, NestsAsTheWalk) {
  const TableSet t = with_sequences({{301001, {1001, 1002}}, {301002, {301001, 1003}}});
  auto got = expand_descriptor_tree(t, GetParam().input);
  ASSERT_TRUE(got.has_value()) << got.error().message();
  Tree tree;
  for (const ExpansionNode& n : *got) tree.emplace_back(n.depth, n.code);
  EXPECT_EQ(tree, GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ExpandTreeTest,
    ::testing::Values(
        TreeCase{{301002, 1004}, {{0, 301002}, {1, 301001}, {2, 1001}, {2, 1002}, {1, 1003}, {0, 1004}}},
        // A fixed replication shows its group once; a delayed one its factor first.
        TreeCase{{101002, 301001, 1003}, {{0, 101002}, {1, 301001}, {2, 1001}, {2, 1002}, {0, 1003}}},
        TreeCase{{101000, 31001, 1001, 1002}, {{0, 101000}, {1, 31001}, {1, 1001}, {0, 1002}}},
        TreeCase{{103002, 101000, 31001, 1001, 1002},
                 {{0, 103002}, {1, 101000}, {2, 31001}, {2, 1001}, {0, 1002}}},
        // Operators stay as written.
        TreeCase{{204008, 1001, 204000}, {{0, 204008}, {0, 1001}, {0, 204000}}}));

TEST(ExpandTreeTest, FailsAsTheList) {
  const TableSet t = with_sequences({{301001, {1001, 1002}}});
  for (const Codes& codes : {Codes{301001, 301009}, Codes{101000, 31001}, Codes{400000}}) {
    auto tree = expand_descriptor_tree(t, codes);
    auto list = expand_descriptor_list(t, codes);
    ASSERT_FALSE(tree.has_value());
    ASSERT_FALSE(list.has_value());
    EXPECT_EQ(tree.error().message(), list.error().message());
  }
}

struct FailCase {
  Codes input;
  std::string message;
};

class ExpandFailTest : public ::testing::TestWithParam<FailCase> {};

TEST_P(ExpandFailTest, Fails) {
  const TableSet t =
      with_sequences({{301001, {1001, 1002}}, {301005, {1001, 301005}}, {301006, {101000, 31001}}});
  auto got = expand_descriptor_list(t, GetParam().input);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ExpandFailTest,
    ::testing::Values(FailCase{{101000, 31001},
                               "delayed replication descriptor 101000 is missing its replication factor or "
                               "replicated descriptors"},
                      FailCase{{101000}, "unsupported replication descriptor 101000"},
                      FailCase{{100002, 1001}, "unsupported replication descriptor 100002"},
                      FailCase{{102002, 1001}, "unsupported replication descriptor 102002"},
                      FailCase{{301002}, "descriptor 301002 was not found in Table D"},
                      FailCase{{1001, 301006},
                               "delayed replication descriptor 101000 is missing its replication factor or "
                               "replicated descriptors"},
                      FailCase{{301005},
                               "csv/table parse error: sequence expansion exceeded recursion depth"},
                      FailCase{{400000}, "csv/table parse error: invalid descriptor 400000"},
                      FailCase{{1234567}, "csv/table parse error: invalid descriptor 1234567"},
                      // The first failure wins, whatever follows.
                      FailCase{{301001, 301009, 400000}, "descriptor 301009 was not found in Table D"}));

// A chain of sequences 300001 -> 300002 -> ... -> 300000+n, the last holding 1001.
TableSet chain(int n) {
  TableSet t;
  for (int k = 1; k <= n; ++k) {
    const std::uint32_t code = 300000 + static_cast<std::uint32_t>(k);
    t.insert_sequence({code, {k == n ? 1001u : code + 1}});
  }
  return t;
}

TEST(ExpandDepthTest, SixtyFourLevelsExpandSixtyFiveFail) {
  auto ok = expand_descriptor_list(chain(64), {300001});
  ASSERT_TRUE(ok.has_value()) << ok.error().message();
  EXPECT_EQ(*ok, Codes{1001});
  auto too_deep = expand_descriptor_list(chain(65), {300001});
  ASSERT_FALSE(too_deep.has_value());
  EXPECT_EQ(too_deep.error().text(), "sequence expansion exceeded recursion depth");
}

TEST(ExpandBoundTest, NestedFixedReplicationStopsAtTheBound) {
  // 255^4 codes: far beyond any real template.
  auto got = expand_descriptor_list(TableSet{}, {104255, 103255, 102255, 101255, 1001});
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().kind(), ErrorKind::DataFault);
  EXPECT_EQ(got.error().text(), "sequence expansion exceeded 4194304 descriptors");
}

TEST(ExpandBoundTest, ReplicatedOperatorsThatOutputNothingStillCount) {
  // Output stays empty, but the walk would visit 255^60 codes without the bound.
  Codes input;
  for (std::uint32_t x = 60; x >= 1; --x) input.push_back(100000 + x * 1000 + 255);
  input.push_back(201000);
  auto got = expand_descriptor_list(TableSet{}, input);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().text(), "sequence expansion exceeded 4194304 descriptors");
}

TEST(ExpandBoundTest, JustBelowTheBoundExpands) {
  // 1 + 255 * (1 + 255 * (1 + 63)) = 4,161,856 codes visited.
  auto got = expand_descriptor_list(TableSet{}, {103255, 102255, 101063, 1001});
  ASSERT_TRUE(got.has_value()) << got.error().message();
  EXPECT_EQ(got->size(), 255u * 255u * 63u);
}

}  // namespace
}  // namespace quorvex
