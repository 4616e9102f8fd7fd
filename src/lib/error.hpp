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
  // No table source holds a message's tables; `text` says what each source lacked.
  static BufrError tables_unavailable(std::string text) {
    BufrError e(ErrorKind::TablesUnavailable);
    e.text_ = std::move(text);
    return e;
  }
  // An I/O failure reported by the operating system: "<strerror> (os error <n>)".
  static BufrError io_errno(int err);

  ErrorKind kind() const { return kind_; }
  std::uint64_t first() const { return a_; }
  std::uint64_t second() const { return b_; }
  const std::string& text() const { return text_; }

  // The display text of the error, exactly as it reaches Python.
  std::string message() const;

 private:
  explicit BufrError(ErrorKind kind, std::uint64_t a = 0, std::uint64_t b = 0) : kind_(kind), a_(a), b_(b) {}

  ErrorKind kind_;
  std::uint64_t a_;
  std::uint64_t b_;
  std::string text_;
};

template <class T>
using Result = std::expected<T, BufrError>;
using Status = std::expected<void, BufrError>;

inline std::unexpected<BufrError> fail(BufrError e) { return std::unexpected<BufrError>(std::move(e)); }

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
