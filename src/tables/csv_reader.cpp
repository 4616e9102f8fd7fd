#include "tables/csv_reader.hpp"

#include <cstring>
#include <csv.h>
#include <optional>

#include "lib/file_system.hpp"
#include "lib/text.hpp"
#include "lib/text_scan.hpp"

namespace quorvex {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr unsigned char kOptions = CSV_STRICT | CSV_STRICT_FINI;

int never_space(unsigned char) { return 0; }

// Offset of the first CR or LF at or after `pos`, or npos.
std::size_t line_end(std::string_view text, std::size_t pos) {
  const char* const begin = text.data() + pos;
  const std::size_t rest = text.size() - pos;
  const void* lf = std::memchr(begin, '\n', rest);
  const std::size_t span = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - begin) : rest;
  if (const void* cr = std::memchr(begin, '\r', span)) {
    return pos + static_cast<std::size_t>(static_cast<const char*>(cr) - begin);
  }
  return lf ? pos + span : std::string_view::npos;
}

// Whether a field of this line begins with a double quote (a quoted field, which may run
// on over line ends); a quote anywhere else is an ordinary character.
bool opens_quoted_field(std::string_view line, char delimiter) {
  for (std::size_t q = line.find('"'); q != std::string_view::npos; q = line.find('"', q + 1)) {
    if (q == 0 || line[q - 1] == delimiter) return true;
  }
  return false;
}

// One pass over a text held in memory. The text is fed to libcsv one physical line at a
// time, which gives record positions and lets comment lines be dropped between records.
class DelimitedParser {
 public:
  DelimitedParser(const DelimitedFormat& format, const RecordVisitor& visit)
      : format_(format), visit_(visit) {
    csv_init(&parser_, kOptions);
    csv_set_delim(&parser_, static_cast<unsigned char>(format.delimiter));
    csv_set_quote(&parser_, CSV_QUOTE);
    csv_set_space_func(&parser_, never_space);
  }
  ~DelimitedParser() { csv_free(&parser_); }
  DelimitedParser(const DelimitedParser&) = delete;
  DelimitedParser& operator=(const DelimitedParser&) = delete;

  Status run(std::string_view text);

 private:
  void split_line(std::string_view content);
  void deliver(RecordFields fields);
  static void on_field(void* bytes, std::size_t len, void* self);
  static void on_record(int terminator, void* self);
  void end_record();
  void next_record() {
    between_records_ = true;
    ++record_index_;
  }
  void feed(std::string_view chunk);
  void check_utf8(RecordFields fields);
  void set_error(BufrError e) {
    if (!error_) error_ = std::move(e);
  }
  CsvPosition position() const { return {record_index_, record_line_, record_byte_}; }

  csv_parser parser_{};
  const DelimitedFormat& format_;
  const RecordVisitor& visit_;
  std::vector<std::string> fields_;  // libcsv's fields of the record being read
  std::vector<std::string_view> views_;
  std::size_t field_count_ = 0;  // fields of the record being read
  std::optional<std::size_t> expected_count_;
  bool between_records_ = true;
  std::uint64_t record_index_ = 0;  // index of the record being read
  std::uint64_t record_line_ = 0;
  std::uint64_t record_byte_ = 0;
  std::optional<BufrError> error_;
};

void DelimitedParser::on_field(void* bytes, std::size_t len, void* self) {
  auto& p = *static_cast<DelimitedParser*>(self);
  if (p.error_) return;
  const std::string_view field(static_cast<const char*>(bytes), bytes ? len : 0);
  if (p.field_count_ < p.fields_.size()) {
    p.fields_[p.field_count_].assign(field);
  } else {
    p.fields_.emplace_back(field);
  }
  ++p.field_count_;
}

void DelimitedParser::on_record(int, void* self) {
  auto& p = *static_cast<DelimitedParser*>(self);
  if (!p.error_) p.end_record();
  p.field_count_ = 0;
  p.next_record();
}

void DelimitedParser::end_record() {
  views_.assign(fields_.begin(), fields_.begin() + static_cast<std::ptrdiff_t>(field_count_));
  deliver(views_);
}

void DelimitedParser::deliver(RecordFields fields) {
  if (!expected_count_) expected_count_ = fields.size();
  if (fields.size() != *expected_count_ && !format_.uneven) {
    set_error(BufrError::csv_field_count(position(), fields.size(), *expected_count_));
    return;
  }
  if (format_.header && record_index_ == 0) return;  // the header row is not data
  check_utf8(fields);
  if (error_) return;
  if (Status s = visit_(fields); !s) {
    error_ = format_.name_line ? BufrError::on_line(record_line_, s.error()) : std::move(s).error();
  }
}

void DelimitedParser::check_utf8(RecordFields fields) {
  for (std::size_t f = 0; f < fields.size(); ++f) {
    std::size_t bad = 0;
    if (utf8_text(fields[f], &bad)) continue;
    set_error(BufrError::csv_invalid_utf8(position(), f, bad));
    return;
  }
}

// A record with no quoted field, all on this line: its fields, cut at each delimiter.
void DelimitedParser::split_line(std::string_view content) {
  views_.clear();
  for (;;) {
    const std::size_t cut = content.find(format_.delimiter);
    views_.push_back(content.substr(0, cut));
    if (cut == std::string_view::npos) break;
    content.remove_prefix(cut + 1);
  }
  deliver(views_);
  next_record();
}

void DelimitedParser::feed(std::string_view chunk) {
  while (!chunk.empty() && !error_) {
    const std::size_t used = csv_parse(&parser_, chunk.data(), chunk.size(), on_field, on_record, this);
    chunk.remove_prefix(used);
    if (chunk.empty() || error_) return;
    if (csv_error(&parser_) != CSV_EPARSE) {
      set_error(BufrError::csv_reader_failure(position(), csv_strerror(csv_error(&parser_))));
      return;
    }
    if (chunk.front() != '"') {
      set_error(BufrError::csv_text_after_quote(position(), field_count_));
      return;
    }
    // A quote inside an unquoted field is an ordinary character: take it leniently.
    parser_.status = CSV_SUCCESS;
    csv_set_opts(&parser_, kOptions & ~CSV_STRICT);
    csv_parse(&parser_, chunk.data(), 1, on_field, on_record, this);
    csv_set_opts(&parser_, kOptions);
    chunk.remove_prefix(1);
  }
}

Status DelimitedParser::run(std::string_view text) {
  std::size_t pos = text.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
  std::uint64_t line = 1;
  while (pos < text.size() && !error_) {
    std::size_t end = line_end(text, pos);
    std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
    if (end != std::string_view::npos && text[end] == '\r' && next < text.size() && text[next] == '\n') {
      ++next;
    }
    const std::string_view content =
        text.substr(pos, (end == std::string_view::npos ? text.size() : end) - pos);
    const bool skip = between_records_ &&
                      (content.empty() || (format_.comment != '\0' && content.front() == format_.comment));
    if (!skip) {
      const bool starts_record = between_records_;
      if (starts_record) {
        between_records_ = false;
        record_line_ = line;
        record_byte_ = pos;
      }
      // A record that starts on this line and quotes no field is this line: it is split in
      // place. Anything else (a quoted field, or the rest of one) goes through libcsv.
      if (starts_record && !opens_quoted_field(content, format_.delimiter)) {
        split_line(content);
      } else {
        feed(text.substr(pos, next - pos));
      }
    }
    pos = next;
    ++line;
  }
  if (!error_ && csv_fini(&parser_, on_field, on_record, this) != 0 && !error_) {
    set_error(BufrError::csv_unclosed_quote(position(), field_count_));
  }
  if (error_) return fail(std::move(*error_));
  return {};
}

}  // namespace

Status read_delimited_text(std::string_view text, const DelimitedFormat& format, const RecordVisitor& visit) {
  DelimitedParser parser(format, visit);
  return parser.run(text);
}

Status read_delimited_file(const std::string& path, const DelimitedFormat& format,
                           const RecordVisitor& visit) {
  auto text = read_file(path);
  if (!text) return fail(BufrError::unreadable_table(text.error()));
  return read_delimited_text(*text, format, visit);
}

}  // namespace quorvex
