// The one error type of the core: a kind, the data of that kind, and its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace quorvex {

enum class ErrorKind : std::uint8_t {
  TooShort,
  MissingMarker,
  UnsupportedEdition,
  LengthMismatch,
  SectionTruncated,
  BadTerminator,
  OddDescriptorArea,
  SequenceNotFound,
  IncompleteDelayedReplication,
  UnsupportedReplication,
  ElementNotFound,
  TableText,
  Io,
  ImpossibleDate,
  MessageOverrun,
  MessageUnterminated,
  TablesUnavailable,
  DataFault,
  OverBudget,
  Unencodable,
};

// The walks over descriptor lists, named in their depth and step errors.
enum class WalkName : std::uint8_t { Decode, CompressedDecode, Expansion };

// Where a CSV reader stands: the record (from 0) and the line and byte it starts at.
struct CsvPosition {
  std::uint64_t record = 0;
  std::uint64_t line = 0;
  std::uint64_t byte = 0;
};

class BufrError {
 public:
  static BufrError too_short() { return BufrError(ErrorKind::TooShort); }
  static BufrError missing_marker() { return BufrError(ErrorKind::MissingMarker); }
  static BufrError unsupported_edition(std::uint8_t edition) {
    return BufrError(ErrorKind::UnsupportedEdition, edition);
  }
  static BufrError length_mismatch(std::size_t declared, std::size_t actual) {
    return BufrError(ErrorKind::LengthMismatch, declared, actual);
  }
  static BufrError section_truncated(std::uint8_t section, std::size_t offset) {
    return BufrError(ErrorKind::SectionTruncated, section, offset);
  }
  static BufrError bad_terminator() { return BufrError(ErrorKind::BadTerminator); }
  static BufrError odd_descriptor_area() { return BufrError(ErrorKind::OddDescriptorArea); }
  static BufrError sequence_not_found(std::uint32_t code) {
    return BufrError(ErrorKind::SequenceNotFound, code);
  }
  static BufrError incomplete_delayed_replication(std::uint32_t code) {
    return BufrError(ErrorKind::IncompleteDelayedReplication, code);
  }
  static BufrError unsupported_replication(std::uint32_t code) {
    return BufrError(ErrorKind::UnsupportedReplication, code);
  }
  static BufrError element_not_found(std::uint32_t code) {
    return BufrError(ErrorKind::ElementNotFound, code);
  }
  static BufrError invalid_descriptor(std::uint32_t code);
  // A walk nested more than its limit allows, or visiting more descriptors than `max_steps`.
  static BufrError walk_too_deep(WalkName walk);
  static BufrError walk_too_long(WalkName walk, std::uint64_t max_steps);
  // Failures of the data decoders.
  static BufrError too_many_values();
  static BufrError bitmap_outside_history();
  static BufrError compressed_new_references(std::uint32_t code);
  static BufrError compressed_varying_factors();
  static BufrError bits_too_wide(std::uint16_t width);
  static BufrError bits_exhausted(std::uint64_t position, std::uint16_t width, std::uint64_t available);
  // Failures of the table loaders. `what` names the field ("bad i32 "), `fault` what is wrong
  // with its text.
  static BufrError bad_table_field(std::string_view what, std::string_view field, std::string_view fault);
  static BufrError bad_sequence_statement(std::string_view statement);
  static BufrError missing_table_directory(std::string_view path);
  static BufrError invalid_table_alias(std::string_view path, std::string_view alias);
  static BufrError csv_field_count(const CsvPosition& at, std::size_t found, std::size_t previous);
  static BufrError csv_invalid_utf8(const CsvPosition& at, std::size_t field, std::size_t byte);
  static BufrError csv_reader_failure(const CsvPosition& at, std::string_view reason);
  static BufrError csv_text_after_quote(const CsvPosition& at, std::size_t field);
  static BufrError csv_unclosed_quote(const CsvPosition& at, std::size_t field);
  // A file of a table that could not be read: the reader's text, as a table error.
  static BufrError unreadable_table(const BufrError& read_error) {
    return table_text(read_error.text_).as_transient(read_error.transient_);
  }
  // A table file of a definitions root that failed to load: "<path>: <what failed>".
  static BufrError in_table_file(std::string_view path, const BufrError& failure) {
    return table_text(std::string(path) + ": " +
                      (failure.kind() == ErrorKind::TableText ? failure.text() : failure.message()))
        .as_transient(failure.transient_);
  }
  // A table row that failed: "line <n>: <what failed>".
  static BufrError on_line(std::uint64_t line, const BufrError& failure) {
    return table_text("line " + std::to_string(line) + ": " +
                      (failure.kind() == ErrorKind::TableText ? failure.text() : failure.message()))
        .as_transient(failure.transient_);
  }
  // File-system failures.
  static BufrError nul_in_path();
  static BufrError invalid_utf8_stream();
  // A fault of a message's template or data section, in free text.
  static BufrError data_fault(std::string text);
  // Free text; displayed behind "csv/table parse error: ".
  static BufrError table_text(std::string text) {
    BufrError e(ErrorKind::TableText);
    e.text_ = std::move(text);
    return e;
  }
  // A file-system failure; `description` is the platform's text for it.
  static BufrError io(std::string description) {
    BufrError e(ErrorKind::Io);
    e.text_ = std::move(description);
    return e;
  }
  static BufrError impossible_date(std::uint16_t year, std::uint8_t month, std::uint8_t day,
                                   std::uint8_t hour, std::uint8_t minute, std::uint8_t second) {
    return BufrError(ErrorKind::ImpossibleDate,
                     (std::uint64_t{year} << 16) | (month << 8) | day,
                     (std::uint64_t{hour} << 16) | (minute << 8) | second);
  }
  // A "BUFR" at `offset` whose declared length runs past the end of the data.
  static BufrError message_overrun(std::size_t offset, std::size_t length) {
    return BufrError(ErrorKind::MessageOverrun, offset, length);
  }
  // A "BUFR" at `offset` whose declared length does not end on "7777".
  static BufrError message_unterminated(std::size_t offset, std::size_t length) {
    return BufrError(ErrorKind::MessageUnterminated, offset, length);
  }
  // A definitions root named by `named_by` ("tables=" or an environment variable) that is
  // not one (it holds no bufr/tables).
  static BufrError not_a_definitions_root(std::string_view named_by, std::string_view path);
  // The package's table store could not be used (missing, unreadable or damaged file).
  static BufrError unusable_table_store(std::string_view what);
  // The table store holds no tables of that master table, or not that version of it.
  static BufrError store_lacks_master_table(std::uint8_t master_table);
  static BufrError store_lacks_master_version(std::uint8_t master_table, std::uint8_t version);
  // A batch whose texts would overflow its 32-bit text offsets.
  static BufrError batch_text_overflow();
  // A message that gives more rows, or more octets of text, than its budget allows. `what`
  // is "rows" or "octets of text"; `rule` says how the budget was set.
  static BufrError over_budget(std::string_view what, std::uint64_t amount, std::uint64_t budget,
                               std::string_view rule);
  // Data that cannot be written as asked: the text names the key, the subset and the value.
  static BufrError unencodable(std::string text) {
    BufrError e(ErrorKind::Unencodable);
    e.text_ = std::move(text);
    return e;
  }
  // An I/O failure reported by the operating system: "<strerror> (os error <n>)".
  static BufrError io_errno(int err);

  ErrorKind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  // Whether the failure may not recur: the system ran short of descriptors, memory or
  // buffers, or a read was interrupted or failed on the device. Such a failure is never kept
  // in place of a result.
  bool transient() const { return transient_; }

  // The display text of the error, exactly as it reaches Python.
  std::string message() const;
  // What is wrong, without where: the text a bad-message report carries beside its message
  // index and offset. A data-section fault reads as itself here (message() puts it under the
  // table-error heading, as the per-value module has always shown it).
  std::string reason() const;

 private:
  explicit BufrError(ErrorKind kind, std::uint64_t a = 0, std::uint64_t b = 0) : kind_(kind), a_(a), b_(b) {}

  BufrError as_transient(bool transient) && {
    transient_ = transient;
    return std::move(*this);
  }

  ErrorKind kind_;
  std::uint64_t a_;
  std::uint64_t b_;
  std::string text_;
  bool transient_ = false;
};

template <class T>
using Result = std::expected<T, BufrError>;
using Status = std::expected<void, BufrError>;

inline std::unexpected<BufrError> fail(BufrError e) { return std::unexpected<BufrError>(std::move(e)); }

// A stable lowercase name of each kind ("message_overrun", "data_fault", ...): what the
// Python layer receives as an error's kind.
const char* kind_name(ErrorKind kind);

// The platform's description of an errno value: "<strerror> (os error <n>)".
std::string os_error_text(int err);

}  // namespace quorvex

// Propagate the error of a Result/Status expression; yields the value (GNU statement expression).
#define QV_TRY(expr)                                                                \
  ({                                                                                \
    auto qv_try_result_ = (expr);                                                   \
    if (!qv_try_result_) return ::quorvex::fail(std::move(qv_try_result_).error()); \
    std::move(qv_try_result_).value();                                              \
  })

// Propagate the error of a Status expression.
#define QV_CHECK(expr)                                                                  \
  do {                                                                                  \
    auto qv_check_result_ = (expr);                                                     \
    if (!qv_check_result_) return ::quorvex::fail(std::move(qv_check_result_).error()); \
  } while (0)
