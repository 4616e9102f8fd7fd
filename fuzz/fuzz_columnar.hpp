// Fuzz entries of the columnar decoder and of the header reader for editions 2 and 3.
//
// columnar: the input is a file of messages. The resynchronising scan finds them; the
// columnar decoder decodes every whole one on two threads against the reference tables,
// under a budget of rows with a small cap; each message is then parsed and decoded again
// alone, by the per-message decoder, and its rows must equal that decode value for value
// (or the message must be reported bad with the same text, or as over its budget when the
// decode gives more rows or text than the budget allows).
//
// header_older: the input is one message. Read with editions 2 and 3 allowed, an edition
// 4 message gives exactly what the edition-4 parser gives; an edition 2 or 3 message gives
// the fields at their places in its section 1, a real date, and the edition-4 parser
// refuses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "columnar/columns.hpp"
#include "decode/decode.hpp"
#include "fuzz_message.hpp"
#include "fuzz_support.hpp"
#include "message/message.hpp"

namespace quorvex::fuzz {

// The dictionary string of id `k`.
inline std::string_view dictionary_at(const Dictionary& d, std::int32_t k) {
  QV_FUZZ_CHECK(k >= 0 && static_cast<std::size_t>(k) < d.values.size());
  return d.values[static_cast<std::size_t>(k)];
}

inline bool bit(const Bitmap& m, std::size_t row) { return (m.bits[row >> 3] >> (row & 7)) & 1; }

// The rows [row, row + n) of `b` against the per-message decode `r` of message `index`.
inline void check_rows(const ColumnBatch& b, std::size_t row, const DecodeResult& r, std::int64_t index) {
  for (std::size_t j = 0; j < r.values.size(); ++j, ++row) {
    const DecodedValue& v = r.values[j];
    QV_FUZZ_CHECK(b.message[row] == index);
    QV_FUZZ_CHECK(b.descriptor[row] == v.descriptor);
    QV_FUZZ_CHECK(dictionary_at(b.names, b.name[row]) == *v.name);
    QV_FUZZ_CHECK(bit(b.raw_valid, row) == v.has_raw());
    if (v.has_raw()) QV_FUZZ_CHECK(b.raw[row] == v.raw);
    const bool number = v.has_raw() && v.has_value();
    QV_FUZZ_CHECK(bit(b.value_valid, row) == number);
    if (number) QV_FUZZ_CHECK(std::memcmp(&b.value[row], &v.raw_value, sizeof(double)) == 0);
    QV_FUZZ_CHECK(bit(b.text_valid, row) == v.has_text());
    if (v.has_text()) {
      const std::string& t = r.texts[v.text_index];
      const auto from = static_cast<std::size_t>(b.text.offsets[row]);
      QV_FUZZ_CHECK(static_cast<std::size_t>(b.text.offsets[row + 1]) - from == t.size());
      QV_FUZZ_CHECK(std::memcmp(b.text.data.data() + from, t.data(), t.size()) == 0);
    }
    // a missing value has no meaning in the columns, whatever its code table says of its bits
    const bool meaning = number && v.meaning != nullptr;
    QV_FUZZ_CHECK(bit(b.meaning_valid, row) == meaning);
    if (meaning) QV_FUZZ_CHECK(dictionary_at(b.meanings, b.meaning[row]) == *v.meaning);
  }
}

inline constexpr std::uint64_t kFuzzMaxRows = 4096;

inline std::string run_columnar(const std::uint8_t* data, std::size_t size) {
  const Bytes file(data, size);
  std::vector<MessageRef> refs;
  for (const FoundMessage& f : scan_resync(file, 0, size)) {
    QV_FUZZ_CHECK(f.offset < size);
    if (f.ok) {
      QV_FUZZ_CHECK(f.length <= size - f.offset);
      refs.push_back(MessageRef{0, static_cast<std::int64_t>(refs.size()), f.offset, f.length});
    } else {
      check_error(f.error());
    }
  }
  const std::shared_ptr<const TableSet> tables(&reference_tables(), [](const TableSet*) {});
  TableChooser chooser(TableSource::of(tables));
  const Bytes sources[] = {file};
  // A small cap on the rows of a message, so that the budget's refusals are met often.
  const MessageBudget budget{.max_rows = kFuzzMaxRows};
  const ColumnarOutput out =
      decode_columns(sources, refs, chooser, ColumnarOptions{.threads = 2, .budget = budget});
  // A message's rows never straddle two batches, and no batch is empty unless it is the
  // only one.
  std::size_t batch = 0, total = 0;
  for (const auto& b : out.batches) total += static_cast<std::size_t>(b->rows);
  QV_FUZZ_CHECK(!out.batches.empty());

  std::size_t row = 0, bad = 0;
  for (const MessageRef& ref : refs) {
    const Bytes octets = file.subspan(ref.offset, ref.length);
    Result<DecodeResult> alone = [&]() -> Result<DecodeResult> {
      const BufrMessage m = QV_TRY(parse_message(octets, ParseOptions{.older_editions = true}));
      return decode_data_section(m, *tables, section4_data(octets, m));
    }();
    if (!alone) {
      QV_FUZZ_CHECK(bad < out.bad.size() && out.bad[bad].index == ref.index);
      QV_FUZZ_CHECK(out.bad[bad].error.message() == alone.error().message());
      ++bad;
      continue;
    }
    // Over its budget exactly when the message's values are more rows or text than it allows.
    std::uint64_t text = 0;
    for (const DecodedValue& v : alone->values) {
      if (v.has_text()) text += alone->texts[v.text_index].size();
    }
    if (alone->values.size() > budget.rows(ref.length) || text > budget.text_octets(ref.length)) {
      QV_FUZZ_CHECK(bad < out.bad.size() && out.bad[bad].index == ref.index);
      QV_FUZZ_CHECK(out.bad[bad].error.kind() == ErrorKind::OverBudget);
      ++bad;
      continue;
    }
    if (alone->values.empty()) continue;
    while (batch < out.batches.size() && row == static_cast<std::size_t>(out.batches[batch]->rows)) {
      ++batch;
      row = 0;
    }
    QV_FUZZ_CHECK(batch < out.batches.size());
    const ColumnBatch& b = *out.batches[batch];
    QV_FUZZ_CHECK(row + alone->values.size() <= static_cast<std::size_t>(b.rows));
    check_rows(b, row, *alone, ref.index);
    row += alone->values.size();
  }
  QV_FUZZ_CHECK(bad == out.bad.size());
  QV_FUZZ_CHECK(out.batches.size() == 1 || batch + 1 == out.batches.size());
  QV_FUZZ_CHECK(batch >= out.batches.size() || row == static_cast<std::size_t>(out.batches[batch]->rows));
  return ok(total);
}

inline std::string run_header_older(const std::uint8_t* data, std::size_t size) {
  const Bytes octets(data, size);
  const Result<BufrMessage> older = parse_message(octets, ParseOptions{.older_editions = true});
  const Result<BufrMessage> plain = parse_message(octets);
  const bool edition4 = size > 7 && data[7] == 4;
  if (edition4 || size <= 7) {
    QV_FUZZ_CHECK(older.has_value() == plain.has_value());
    if (older) {
      QV_FUZZ_CHECK(same_record(*older, *plain));
    } else {
      QV_FUZZ_CHECK(older.error().message() == plain.error().message());
    }
  }
  if (!older) return failed(older.error());
  const BufrMessage& m = *older;
  QV_FUZZ_CHECK(m.total_length == size);
  QV_FUZZ_CHECK(m.section4_data_offset + m.section4_data_length <= size);
  if (m.edition == 4) return ok(m.unexpanded_descriptors.size());

  QV_FUZZ_CHECK(m.edition == 2 || m.edition == 3);
  QV_FUZZ_CHECK(!plain && plain.error().kind() == ErrorKind::UnsupportedEdition);
  constexpr std::size_t s1 = 8;
  QV_FUZZ_CHECK(m.master_table_number == data[s1 + 3]);
  const unsigned centre = m.edition == 2 ? (data[s1 + 4] << 8) | data[s1 + 5] : data[s1 + 5];
  QV_FUZZ_CHECK(m.originating_centre == centre);
  QV_FUZZ_CHECK(m.originating_subcentre == (m.edition == 2 ? 0 : data[s1 + 4]));
  QV_FUZZ_CHECK(m.local_section_present == ((data[s1 + 7] & 0x80) != 0));
  QV_FUZZ_CHECK(m.data_category == data[s1 + 8] && m.local_data_subcategory == data[s1 + 9]);
  QV_FUZZ_CHECK(m.international_data_subcategory == kNoInternationalSubcategory);
  QV_FUZZ_CHECK(m.typical_year == 2000 + data[s1 + 12] && m.typical_month == data[s1 + 13]);
  QV_FUZZ_CHECK(m.typical_day == data[s1 + 14] && m.typical_hour == data[s1 + 15]);
  QV_FUZZ_CHECK(m.typical_minute == data[s1 + 16] && m.typical_second == 0);
  QV_FUZZ_CHECK(check_typical_date(m).has_value());
  QV_FUZZ_CHECK(m.typical_month >= 1 && m.typical_month <= 12 && m.typical_day >= 1 && m.typical_day <= 31);
  QV_FUZZ_CHECK(m.typical_hour < 24 && m.typical_minute < 60);
  return ok(m.unexpanded_descriptors.size());
}

}  // namespace quorvex::fuzz
