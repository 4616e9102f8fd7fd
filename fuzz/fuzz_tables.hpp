// Fuzz entries of the table loaders: the input becomes the content of one table file in a
// scratch directory, which the loader then reads like any other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "fuzz_support.hpp"
#include "fuzz_text_oracle.hpp"
#include "tables/eccodes_loader.hpp"
#include "tables/table_set.hpp"
#include "tables/wmo_csv_loader.hpp"

namespace quorvex::fuzz {

// What every successful load promises: each stored entry is found under its own code.
inline void check_tables(const TableSet& t) {
  for (const auto& [code, def] : t.elements()) {
    QV_FUZZ_CHECK(def.code == code);
    QV_FUZZ_CHECK(t.find_element(code) == &def);
  }
  for (const auto& [code, def] : t.sequences()) {
    QV_FUZZ_CHECK(def.code == code);
    QV_FUZZ_CHECK(t.find_sequence(code) == &def);
  }
}

inline std::string check_status(const Status& s, const TableSet& t) {
  if (!s) return failed(s.error());
  check_tables(t);
  return ok(t.element_count() + t.sequence_count() + t.code_table_count());
}

// What the rules say a load must give: the entries, an error message, an I/O error (whose
// text is the platform's), or any error at all where the rules leave it open.
template <class Entries>
struct Expected {
  enum class Kind { Loaded, Error, IoError, AnyError } kind = Kind::Loaded;
  std::string error;
  Entries entries;

  static Expected failed_with(const BufrError& e) { return {Kind::Error, e.message(), {}}; }
  static Expected io_error() { return {Kind::IoError, {}, {}}; }
  static Expected any_error() { return {Kind::AnyError, {}, {}}; }

  // Checks a load's status against this; `entries` gives what the load stored.
  template <class Stored>
  void check(const Status& s, Stored&& stored) const {
    switch (kind) {
      case Kind::Loaded:
        QV_FUZZ_CHECK(s.has_value());
        QV_FUZZ_CHECK(stored() == entries);
        break;
      case Kind::Error:
        QV_FUZZ_CHECK(!s.has_value());
        QV_FUZZ_CHECK(s.error().message() == error);
        break;
      case Kind::IoError:
        QV_FUZZ_CHECK(!s.has_value());
        QV_FUZZ_CHECK(s.error().kind() == ErrorKind::Io);
        break;
      case Kind::AnyError:
        QV_FUZZ_CHECK(!s.has_value());
        break;
    }
  }
};

using SequenceMap = std::map<std::uint32_t, std::vector<std::uint32_t>>;

// "sequence.def" by the rules, statement by statement.
inline Expected<SequenceMap> reference_sequence_def(std::string_view bytes) {
  using E = Expected<SequenceMap>;
  const auto text = oracle::decode_utf8(bytes);
  if (!text) return E::io_error();
  E expected;
  std::u32string pending;
  for (const std::u32string& line : oracle::kept_lines(*text)) {
    if (!pending.empty()) pending += U' ';
    pending += line;
    if (pending.find(U']') == std::u32string::npos) continue;
    const std::u32string statement = std::move(pending);
    pending.clear();
    const std::size_t eq = statement.find(U'=');
    if (eq == std::u32string::npos) continue;
    std::u32string_view key = oracle::trim(std::u32string_view(statement).substr(0, eq));
    while (!key.empty() && key.front() == U'"') key.remove_prefix(1);
    while (!key.empty() && key.back() == U'"') key.remove_suffix(1);
    const auto code = oracle::descriptor_code(key);
    if (!code) return E::failed_with(code.error());
    const std::u32string_view rest = std::u32string_view(statement).substr(eq + 1);
    const std::size_t open = rest.find(U'[');
    const std::size_t close = rest.find(U']');
    if (open == std::u32string_view::npos || close == std::u32string_view::npos) {
      return E::failed_with(BufrError::table_text(oracle::encode_utf8(statement)));
    }
    if (close < open) return E::any_error();
    std::vector<std::uint32_t> members;
    std::u32string_view list = rest.substr(open + 1, close - open - 1);
    while (true) {
      const std::size_t comma = list.find(U',');
      const std::u32string_view piece = oracle::trim(list.substr(0, comma));
      if (!piece.empty()) {
        const auto member = oracle::descriptor_code(piece);
        if (!member) return E::failed_with(member.error());
        members.push_back(*member);
      }
      if (comma == std::u32string_view::npos) break;
      list.remove_prefix(comma + 1);
    }
    expected.entries[*code] = std::move(members);
  }
  return expected;
}

// One code table file by the rules: key, an ignored token, the meaning's words.
inline Expected<CodeTable> reference_code_table(std::string_view bytes) {
  using E = Expected<CodeTable>;
  const auto text = oracle::decode_utf8(bytes);
  if (!text) return E::io_error();
  E expected;
  for (const std::u32string& line : oracle::kept_lines(*text)) {
    std::vector<std::u32string_view> tokens;
    std::u32string_view rest = line;
    while (true) {
      while (!rest.empty() && oracle::is_space(rest.front())) rest.remove_prefix(1);
      if (rest.empty()) break;
      std::size_t end = 0;
      while (end < rest.size() && !oracle::is_space(rest[end])) ++end;
      tokens.push_back(rest.substr(0, end));
      rest.remove_prefix(end);
    }
    if (tokens.size() < 3) continue;
    std::uint64_t key = 0;
    if (auto fault = oracle::unsigned_fault(tokens[0], UINT64_MAX, key)) {
      return E::failed_with(BufrError::table_text(
          "bad code table key " + quote_literal(oracle::encode_utf8(tokens[0])) + ": " + *fault));
    }
    std::u32string meaning;
    for (std::size_t k = 2; k < tokens.size(); ++k) {
      if (k > 2) meaning += U' ';
      meaning += tokens[k];
    }
    expected.entries[key] = oracle::encode_utf8(meaning);
  }
  return expected;
}

using ElementRow = std::tuple<std::string, std::string, std::string, std::string, std::int32_t, std::int64_t,
                              std::uint16_t>;  // abbreviation, type, name, unit, scale, reference, width
using ElementMap = std::map<std::uint32_t, ElementRow>;

inline ElementMap stored_elements(const TableSet& t) {
  ElementMap m;
  for (const auto& [code, d] : t.elements()) {
    m[code] = {d.abbreviation, d.element_type, d.name, d.unit, d.scale, d.reference, d.width};
  }
  return m;
}

// Scale, reference and width of a Table B row by the strict grammar, with the loaders' texts.
inline Status reference_numbers(const std::string& scale, const std::string& reference,
                                const std::string& width, ElementRow& row) {
  std::int64_t v = 0;
  if (auto fault = oracle::signed_fault(scale, INT32_MIN, INT32_MAX, v)) {
    return fail(BufrError::table_text("bad i32 " + quote_literal(scale) + ": " + *fault));
  }
  std::get<4>(row) = static_cast<std::int32_t>(v);
  if (auto fault = oracle::signed_fault(reference, INT64_MIN, INT64_MAX, v)) {
    return fail(BufrError::table_text("bad i64 " + quote_literal(reference) + ": " + *fault));
  }
  std::get<5>(row) = v;
  std::uint64_t w = 0;
  if (auto fault = oracle::unsigned_fault(*oracle::decode_utf8(width), 65535, w)) {
    return fail(BufrError::table_text("bad u16 " + quote_literal(width) + ": " + *fault));
  }
  std::get<6>(row) = static_cast<std::uint16_t>(w);
  return {};
}

inline Result<std::uint32_t> reference_code(const std::string& field) {
  return oracle::descriptor_code(*oracle::decode_utf8(field));
}

// "element.table" by the rules, for texts without double quotes (quoting is the CSV
// library's business); nothing for other texts.
inline std::optional<Expected<ElementMap>> reference_element_table(std::string_view bytes) {
  using E = Expected<ElementMap>;
  if (bytes.find('"') != std::string_view::npos) return std::nullopt;
  E expected;
  const Status s =
      oracle::delimited_records(bytes, '|', '#', false, [&](const std::vector<std::string>& f) -> Status {
        if (f.size() < 8) return {};
        const std::uint32_t code = QV_TRY(reference_code(f[0]));
        ElementRow row{f[1], f[2], f[3], f[4], 0, 0, 0};
        QV_CHECK(reference_numbers(f[5], f[6], f[7], row));
        expected.entries[code] = std::move(row);
        return {};
      });
  if (!s) return E::failed_with(s.error());
  return expected;
}

// One WMO CSV file (Table B or D) by the rules, for texts without double quotes.
inline std::optional<Expected<ElementMap>> reference_wmo_table_b(std::string_view bytes) {
  using E = Expected<ElementMap>;
  if (bytes.find('"') != std::string_view::npos) return std::nullopt;
  E expected;
  const Status s =
      oracle::delimited_records(bytes, ',', '\0', true, [&](const std::vector<std::string>& f) -> Status {
        if (f.size() < 8) return {};
        const std::uint32_t code = QV_TRY(reference_code(f[2]));
        const std::string& unit = f[4];
        const std::string type = unit == "Code table"   ? "code"
                                 : unit == "Flag table" ? "flags"
                                 : unit == "CCITT IA5"  ? "string"
                                                        : "long";
        ElementRow row{"", type, f[3], unit, 0, 0, 0};
        QV_CHECK(reference_numbers(f[5], f[6], f[7], row));
        expected.entries[code] = std::move(row);
        return {};
      });
  if (!s) return E::failed_with(s.error());
  return expected;
}

inline std::optional<Expected<SequenceMap>> reference_wmo_table_d(std::string_view bytes) {
  using E = Expected<SequenceMap>;
  if (bytes.find('"') != std::string_view::npos) return std::nullopt;
  E expected;
  const Status s =
      oracle::delimited_records(bytes, ',', '\0', true, [&](const std::vector<std::string>& f) -> Status {
        if (f.size() < 6) return {};
        const std::uint32_t code = QV_TRY(reference_code(f[2]));
        const std::uint32_t member = QV_TRY(reference_code(f[5]));
        expected.entries[code].push_back(member);
        return {};
      });
  if (!s) return E::failed_with(s.error());
  return expected;
}

inline std::string run_element_table(const std::uint8_t* data, std::size_t size) {
  static const std::string path = scratch().fresh_dir("element") + "/element.table";
  write_file(path, as_text(data, size));
  TableSet t;
  const Status s = load_element_table(path, t);
  if (auto expected = reference_element_table(as_text(data, size))) {
    expected->check(s, [&t] { return stored_elements(t); });
  }
  return check_status(s, t);
}

inline std::string run_sequence_def(const std::uint8_t* data, std::size_t size) {
  static const std::string path = scratch().fresh_dir("sequence") + "/sequence.def";
  write_file(path, as_text(data, size));
  TableSet t;
  const Status s = load_sequence_file(path, t);
  reference_sequence_def(as_text(data, size)).check(s, [&t] {
    SequenceMap stored;
    for (const auto& [code, def] : t.sequences()) stored[code] = def.members;
    return stored;
  });
  return check_status(s, t);
}

// One code table file (for code 20003) in an otherwise empty "codetables" directory.
inline std::string run_code_table(const std::uint8_t* data, std::size_t size) {
  static const std::string dir = scratch().fresh_dir("codetables");
  write_file(dir + "/20003.table", as_text(data, size));
  TableSet t;
  const Status s = load_code_table_directory(dir, t);
  if (s) QV_FUZZ_CHECK(t.code_table_count() == 1 && t.find_code_table(20003) != nullptr);
  reference_code_table(as_text(data, size)).check(s, [&t] { return *t.find_code_table(20003); });
  return check_status(s, t);
}

// The first octet chooses the file: even, a Table B file; odd, a Table D file. The rest
// is its content.
inline std::string run_wmo_csv(const std::uint8_t* data, std::size_t size) {
  static const std::string b_dir = scratch().fresh_dir("wmo-b");
  static const std::string d_dir = scratch().fresh_dir("wmo-d");
  if (size == 0) return "empty input";
  const bool table_d = (data[0] & 1) != 0;
  const std::string& dir = table_d ? d_dir : b_dir;
  write_file(dir + (table_d ? "/BUFR_TableD_en_00.csv" : "/BUFRCREX_TableB_en_00.csv"),
             as_text(data + 1, size - 1));
  auto loaded = load_wmo_csv_directory(dir);
  const Status status = loaded ? Status{} : Status(std::unexpected(loaded.error()));
  const std::string_view content = as_text(data + 1, size - 1);
  if (table_d) {
    if (auto expected = reference_wmo_table_d(content)) {
      expected->check(status, [&loaded] {
        SequenceMap stored;
        for (const auto& [code, def] : loaded->sequences()) stored[code] = def.members;
        return stored;
      });
    }
  } else if (auto expected = reference_wmo_table_b(content)) {
    expected->check(status, [&loaded] { return stored_elements(*loaded); });
  }
  if (!loaded) return failed(loaded.error());
  check_tables(*loaded);
  QV_FUZZ_CHECK(loaded->code_table_count() == 0);
  QV_FUZZ_CHECK(table_d ? loaded->element_count() == 0 : loaded->sequence_count() == 0);
  return ok(loaded->element_count() + loaded->sequence_count());
}

}  // namespace quorvex::fuzz
