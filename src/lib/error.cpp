#include "lib/error.hpp"

#include <cstdio>
#include <cstring>

#include "lib/text.hpp"

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

BufrError BufrError::io_errno(int err) { return io(os_error_text(err)); }

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
      return "csv/table parse error: " + text_;
    case ErrorKind::Io:
      return "io error: " + text_;
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

}  // namespace quorvex
