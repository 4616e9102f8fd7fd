#include "lib/error.hpp"

#include <cerrno>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace quorvex {
namespace {

struct MessageCase {
  BufrError error;
  const char* text;
};

class ErrorMessageTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ErrorMessageTest, DisplayText) { EXPECT_EQ(GetParam().error.message(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    AllKinds, ErrorMessageTest,
    ::testing::Values(
        MessageCase{BufrError::too_short(), "message is too short to be BUFR"},
        MessageCase{BufrError::missing_marker(), "missing BUFR marker"},
        MessageCase{BufrError::unsupported_edition(3),
                    "unsupported BUFR edition 3; only edition 4 is implemented"},
        MessageCase{BufrError::length_mismatch(120, 121),
                    "declared length 120 does not match buffer length 121"},
        MessageCase{BufrError::section_truncated(3, 30), "section 3 at offset 30 is truncated"},
        MessageCase{BufrError::bad_terminator(), "section 5 terminator is not 7777"},
        MessageCase{BufrError::odd_descriptor_area(), "section 3 descriptor area has odd byte count"},
        MessageCase{BufrError::sequence_not_found(301011), "descriptor 301011 was not found in Table D"},
        MessageCase{BufrError::incomplete_delayed_replication(101000),
                    "delayed replication descriptor 101000 is missing its replication factor or "
                    "replicated descriptors"},
        MessageCase{BufrError::unsupported_replication(100002), "unsupported replication descriptor 100002"},
        // Codes are zero-filled to six digits, never cut.
        MessageCase{BufrError::element_not_found(1001), "descriptor 001001 was not found in Table B"},
        MessageCase{BufrError::element_not_found(0), "descriptor 000000 was not found in Table B"},
        MessageCase{BufrError::element_not_found(1234567), "descriptor 1234567 was not found in Table B"},
        MessageCase{BufrError::table_text("not enough bits"), "csv/table parse error: not enough bits"},
        MessageCase{BufrError::io("stream did not contain valid UTF-8"),
                    "io error: stream did not contain valid UTF-8"},
        // The walks name themselves in their limits.
        MessageCase{BufrError::walk_too_deep(WalkName::Decode),
                    "csv/table parse error: descriptor decode exceeded recursion depth"},
        MessageCase{BufrError::walk_too_deep(WalkName::CompressedDecode),
                    "csv/table parse error: compressed descriptor decode exceeded recursion depth"},
        MessageCase{BufrError::walk_too_deep(WalkName::Expansion),
                    "csv/table parse error: sequence expansion exceeded recursion depth"},
        MessageCase{BufrError::walk_too_long(WalkName::CompressedDecode, 9),
                    "csv/table parse error: descriptor walk exceeds the limit for the size of section 4"},
        MessageCase{BufrError::walk_too_long(WalkName::Expansion, 4194304),
                    "csv/table parse error: sequence expansion exceeded 4194304 descriptors"},
        MessageCase{BufrError::invalid_descriptor(400001),
                    "csv/table parse error: invalid descriptor 400001"},
        MessageCase{BufrError::csv_field_count({2, 3, 40}, 4, 5),
                    "csv/table parse error: CSV error: record 2 (line: 3, byte: 40): found record with 4 "
                    "fields, but the previous record has 5 fields"},
        MessageCase{BufrError::csv_unclosed_quote({0, 1, 0}, 2),
                    "csv/table parse error: CSV error: record 0 (line: 1, byte: 0): quoted field 2 is not "
                    "closed at end of file"},
        MessageCase{BufrError::nul_in_path(), "io error: file name contained an unexpected NUL byte"}));

// The reason a bad-message report carries: the place left out (the report has the offset),
// data faults without the table loader's heading; the display text stays as it was.
struct ReasonCase {
  BufrError error;
  const char* kind;
  const char* reason;
};

class ErrorReasonTest : public ::testing::TestWithParam<ReasonCase> {};

TEST_P(ErrorReasonTest, KindAndReason) {
  EXPECT_STREQ(kind_name(GetParam().error.kind()), GetParam().kind);
  EXPECT_EQ(GetParam().error.reason(), GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Reports, ErrorReasonTest,
    ::testing::Values(
        ReasonCase{BufrError::message_overrun(120, 5000),
                   "message_overrun",
                   "declared length 5000 runs past the end of the data"},
        ReasonCase{BufrError::message_unterminated(0, 64),
                   "message_unterminated",
                   "declared length 64 does not end in 7777"},
        ReasonCase{BufrError::bits_exhausted(80, 12, 3),
                   "data_fault",
                   "not enough bits while reading section 4 at bit 80 for width 12 (3 bits available)"},
        ReasonCase{BufrError::walk_too_deep(WalkName::Decode),
                   "data_fault",
                   "descriptor decode exceeded recursion depth"},
        ReasonCase{BufrError::batch_text_overflow(),
                   "data_fault",
                   "text of the batch exceeds 2 GiB; decode fewer messages at once"},
        ReasonCase{BufrError::element_not_found(1001),
                   "element_not_found",
                   "descriptor 001001 was not found in Table B"},
        ReasonCase{BufrError::impossible_date(2024, 2, 30, 0, 0, 0),
                   "impossible_date",
                   "impossible typical date in section 1: 2024-02-30 00:00:00"},
        ReasonCase{BufrError::table_text("bad"), "table_text", "csv/table parse error: bad"}));

TEST(ErrorTest, EveryKindHasItsOwnName) {
  std::set<std::string> names;
  for (int k = 0; k <= static_cast<int>(ErrorKind::DataFault); ++k) {
    names.insert(kind_name(static_cast<ErrorKind>(k)));
  }
  EXPECT_EQ(names.size(), static_cast<std::size_t>(ErrorKind::DataFault) + 1);
}

TEST(ErrorTest, OsErrorCarriesDescriptionAndCode) {
  EXPECT_EQ(BufrError::io_errno(ENOENT).message(), "io error: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace quorvex
