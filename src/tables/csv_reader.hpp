// Record-by-record reader of delimited text (the ecCodes "element.table" and the WMO CSV
// tables), on top of libcsv.
//
// Rules: one delimiter; a field that begins with a double quote is quoted (delimiters and
// line ends inside it are literal, a doubled quote stands for one, and the closing quote
// must end the field); a quote elsewhere is an ordinary character; records end at LF, CR
// or CRLF; blank lines are no records; optionally a record beginning with the comment
// character is skipped and the first record is a header row; fields are never trimmed;
// every record has the field count of the first unless the format allows uneven records;
// fields of data records are UTF-8. A UTF-8 byte-order mark at the very start of the text
// is skipped.
//
// Failures are TableText errors whose texts give the record index (0-based, header
// included), the line where it starts (1-based) and its byte offset (0-based).
//
// A record that starts on a line where no field begins with a double quote is that line,
// split at the delimiter in place; records with quoted fields go through libcsv.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "lib/error.hpp"

namespace quorvex {

struct DelimitedFormat {
  char delimiter = ',';
  char comment = '\0';     // '\0': no comment lines
  bool header = false;     // the first record is a header row, not handed to the visitor
  bool uneven = false;     // records may differ in field count (ecCodes's element tables)
  bool name_line = false;  // a record the visitor refuses is named by the line it starts on
};

// The fields of one record, valid only during the visitor's call.
using RecordFields = std::span<const std::string_view>;

// Receives the fields of each data record; an error stops the reading and is returned.
using RecordVisitor = std::function<Status(RecordFields fields)>;

// Reads the file whole and visits its records. An unreadable file is a TableText error
// carrying the platform's text.
[[nodiscard]] Status read_delimited_file(const std::string& path, const DelimitedFormat& format,
                                         const RecordVisitor& visit);

[[nodiscard]] Status read_delimited_text(std::string_view text, const DelimitedFormat& format,
                                         const RecordVisitor& visit);

}  // namespace quorvex
