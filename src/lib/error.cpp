#include "lib/error.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "lib/text.hpp"
#include "lib/text_scan.hpp"

namespace quorvex {

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r returns the text, possibly not in buf.
  const char* desc = strerror_r(err, buf, sizeof buf);
  std::string out(desc);
  out += " (os error ";
  out += std::to_string(err);
  out += ')';
  return out;
}

BufrError BufrError::io_errno(int err) {
  const bool transient = err == EMFILE || err == ENFILE || err == ENOMEM || err == EAGAIN || err == EINTR ||
                         err == EIO || err == ENOBUFS;
  return io(os_error_text(err)).as_transient(transient);
}

BufrError BufrError::data_fault(std::string text) {
  BufrError e(ErrorKind::DataFault);
  e.text_ = std::move(text);
  return e;
}

BufrError BufrError::invalid_descriptor(std::uint32_t code) {
  return data_fault("invalid descriptor " + code_text(code));
}

BufrError BufrError::walk_too_deep(WalkName walk) {
  switch (walk) {
    case WalkName::Decode:
      break;
    case WalkName::CompressedDecode:
      return data_fault("compressed descriptor decode exceeded recursion depth");
    case WalkName::Expansion:
      return data_fault("sequence expansion exceeded recursion depth");
  }
  return data_fault("descriptor decode exceeded recursion depth");
}

BufrError BufrError::walk_too_long(WalkName walk, std::uint64_t max_steps) {
  if (walk == WalkName::Expansion) {
    return data_fault("sequence expansion exceeded " + std::to_string(max_steps) + " descriptors");
  }
  return data_fault("descriptor walk exceeds the limit for the size of section 4");
}

BufrError BufrError::too_many_values() {
  return data_fault("decoded value count exceeds the limit for the size of section 4");
}

BufrError BufrError::bitmap_outside_history() {
  return data_fault("bitmap reference is outside descriptor history");
}

BufrError BufrError::compressed_new_references(std::uint32_t code) {
  return data_fault("new reference values (operator " + code_text(code) +
                    ") are not supported in compressed data");
}

BufrError BufrError::compressed_varying_factors() {
  return data_fault("compressed delayed replication with varying factors is not implemented");
}

BufrError BufrError::bits_too_wide(std::uint16_t width) {
  return data_fault("cannot read " + std::to_string(width) + " bits into u64");
}

BufrError BufrError::bits_exhausted(std::uint64_t position, std::uint16_t width, std::uint64_t available) {
  return data_fault("not enough bits while reading section 4 at bit " + std::to_string(position) +
                    " for width " + std::to_string(width) + " (" + std::to_string(available) +
                    " bits available)");
}

BufrError BufrError::bad_table_field(std::string_view what, std::string_view field, std::string_view fault) {
  std::string text(what);
  append_quoted(text, field);
  text += ": ";
  text += fault;
  return table_text(std::move(text));
}

BufrError BufrError::bad_sequence_statement(std::string_view statement) {
  return table_text(std::string(statement));
}

BufrError BufrError::missing_table_directory(std::string_view path) {
  return table_text("ecCodes table directory does not exist: " + lossy_utf8(path));
}

BufrError BufrError::invalid_table_alias(std::string_view path, std::string_view alias) {
  std::string text = "invalid ecCodes table alias " + lossy_utf8(path) + " -> ";
  append_quoted(text, alias);
  return table_text(std::move(text));
}

namespace {

std::string csv_position(const CsvPosition& at) {
  return "record " + std::to_string(at.record) + " (line: " + std::to_string(at.line) +
         ", byte: " + std::to_string(at.byte) + ")";
}

}  // namespace

BufrError BufrError::csv_field_count(const CsvPosition& at, std::size_t found, std::size_t previous) {
  return table_text("CSV error: " + csv_position(at) + ": found record with " + std::to_string(found) +
                    " fields, but the previous record has " + std::to_string(previous) + " fields");
}

BufrError BufrError::csv_invalid_utf8(const CsvPosition& at, std::size_t field, std::size_t byte) {
  return table_text("CSV parse error: record " + std::to_string(at.record) + " (line " +
                    std::to_string(at.line) + ", field: " + std::to_string(field) +
                    ", byte: " + std::to_string(at.byte) + "): invalid utf-8: invalid UTF-8 in field " +
                    std::to_string(field) + " near byte index " + std::to_string(byte));
}

BufrError BufrError::csv_reader_failure(const CsvPosition& at, std::string_view reason) {
  return table_text("CSV error: " + csv_position(at) + ": " + std::string(reason));
}

BufrError BufrError::csv_text_after_quote(const CsvPosition& at, std::size_t field) {
  return table_text("CSV error: " + csv_position(at) + ": text after the closing quote of field " +
                    std::to_string(field));
}

BufrError BufrError::csv_unclosed_quote(const CsvPosition& at, std::size_t field) {
  return table_text("CSV error: " + csv_position(at) + ": quoted field " + std::to_string(field) +
                    " is not closed at end of file");
}

BufrError BufrError::nul_in_path() { return io("file name contained an unexpected NUL byte"); }

BufrError BufrError::invalid_utf8_stream() { return io("stream did not contain valid UTF-8"); }

std::string BufrError::message() const {
  std::string out;
  switch (kind_) {
    case ErrorKind::TooShort:
      return "message is too short to be BUFR";
    case ErrorKind::MissingMarker:
      return "missing BUFR marker";
    case ErrorKind::UnsupportedEdition:
      return "unsupported BUFR edition " + std::to_string(a_) + "; only edition 4 is implemented";
    case ErrorKind::LengthMismatch:
      return "declared length " + std::to_string(a_) + " does not match buffer length " + std::to_string(b_);
    case ErrorKind::SectionTruncated:
      return "section " + std::to_string(a_) + " at offset " + std::to_string(b_) + " is truncated";
    case ErrorKind::BadTerminator:
      return "section 5 terminator is not 7777";
    case ErrorKind::OddDescriptorArea:
      return "section 3 descriptor area has odd byte count";
    case ErrorKind::SequenceNotFound:
      return "descriptor " + code_text(static_cast<std::uint32_t>(a_)) + " was not found in Table D";
    case ErrorKind::IncompleteDelayedReplication:
      return "delayed replication descriptor " + code_text(static_cast<std::uint32_t>(a_)) +
             " is missing its replication factor or replicated descriptors";
    case ErrorKind::UnsupportedReplication:
      return "unsupported replication descriptor " + code_text(static_cast<std::uint32_t>(a_));
    case ErrorKind::ElementNotFound:
      return "descriptor " + code_text(static_cast<std::uint32_t>(a_)) + " was not found in Table B";
    case ErrorKind::TableText:
    case ErrorKind::DataFault:
      return "csv/table parse error: " + text_;
    case ErrorKind::Io:
      return "io error: " + text_;
    case ErrorKind::OverBudget:
    case ErrorKind::Unencodable:
      return text_;
    case ErrorKind::ImpossibleDate: {
      char buf[96];
      std::snprintf(buf,
                    sizeof buf,
                    "impossible typical date in section 1: %04u-%02u-%02u %02u:%02u:%02u",
                    static_cast<unsigned>(a_ >> 16),
                    static_cast<unsigned>((a_ >> 8) & 0xFF),
                    static_cast<unsigned>(a_ & 0xFF),
                    static_cast<unsigned>(b_ >> 16),
                    static_cast<unsigned>((b_ >> 8) & 0xFF),
                    static_cast<unsigned>(b_ & 0xFF));
      return buf;
    }
    case ErrorKind::MessageOverrun:
      return "message at offset " + std::to_string(a_) + ": declared length " + std::to_string(b_) +
             " runs past the end of the data";
    case ErrorKind::MessageUnterminated:
      return "message at offset " + std::to_string(a_) + ": declared length " + std::to_string(b_) +
             " does not end in 7777";
    case ErrorKind::TablesUnavailable:
      return "no tables for this message: " + text_;
  }
  return "unknown error";
}

std::string BufrError::reason() const {
  switch (kind_) {
    case ErrorKind::DataFault:
      return text_;
    case ErrorKind::MessageOverrun:
      return "declared length " + std::to_string(b_) + " runs past the end of the data";
    case ErrorKind::MessageUnterminated:
      return "declared length " + std::to_string(b_) + " does not end in 7777";
    default:
      return message();
  }
}

namespace {

// In the order of ErrorKind.
constexpr const char* kKindNames[] = {
    "too_short",
    "missing_marker",
    "unsupported_edition",
    "length_mismatch",
    "section_truncated",
    "bad_terminator",
    "odd_descriptor_area",
    "sequence_not_found",
    "incomplete_delayed_replication",
    "unsupported_replication",
    "element_not_found",
    "table_text",
    "io",
    "impossible_date",
    "message_overrun",
    "message_unterminated",
    "tables_unavailable",
    "data_fault",
    "over_budget",
    "unencodable",
};
static_assert(std::size(kKindNames) == static_cast<std::size_t>(ErrorKind::Unencodable) + 1,
              "one name per error kind");

}  // namespace

const char* kind_name(ErrorKind kind) { return kKindNames[static_cast<std::size_t>(kind)]; }

BufrError BufrError::not_a_definitions_root(std::string_view named_by, std::string_view path) {
  std::string text = std::string(named_by);
  if (!text.ends_with('=')) text += '=';
  BufrError e(ErrorKind::TablesUnavailable);
  e.text_ = text + "'" + std::string(path) + "' is not an ecCodes definitions root (no bufr/tables in it)";
  return e;
}

BufrError BufrError::unusable_table_store(std::string_view what) {
  BufrError e(ErrorKind::TablesUnavailable);
  e.text_ = "table store unusable: " + std::string(what);
  return e;
}

BufrError BufrError::store_lacks_master_table(std::uint8_t master_table) {
  BufrError e(ErrorKind::TablesUnavailable);
  e.text_ = "the table store has no master table " + std::to_string(master_table);
  return e;
}

BufrError BufrError::store_lacks_master_version(std::uint8_t master_table, std::uint8_t version) {
  BufrError e(ErrorKind::TablesUnavailable);
  e.text_ = "the table store has no version " + std::to_string(version) + " of master table " +
            std::to_string(master_table);
  return e;
}

BufrError BufrError::over_budget(std::string_view what, std::uint64_t amount, std::uint64_t budget,
                                 std::string_view rule) {
  BufrError e(ErrorKind::OverBudget);
  e.text_ = "message gives " + std::to_string(amount) + " " + std::string(what) + ", over its budget of " +
            std::to_string(budget) + " (" + std::string(rule) + ")";
  return e;
}

BufrError BufrError::batch_text_overflow() {
  return data_fault("text of the batch exceeds 2 GiB; decode fewer messages at once");
}

}  // namespace quorvex
