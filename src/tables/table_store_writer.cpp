// Writes the table store of a definitions root (see table_store.hpp): the build runs it
// once over the vendored ecCodes tables.
#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>

#include "lib/file_system.hpp"
#include "lib/text.hpp"
#include "tables/table_selection.hpp"
#include "tables/table_store.hpp"
#include "tables/table_store_format.hpp"

namespace quorvex {

using namespace store_format;

namespace {

// The names of the entries of `dir`.
Result<std::vector<std::string>> entry_names(const std::string& dir) {
  std::vector<std::string> names;
  for (const std::string& path : QV_TRY(list_directory_files(dir, "", "")))
    names.emplace_back(file_name(path));
  return names;
}

std::optional<unsigned> number_of(std::string_view name, unsigned max) {
  if (name.empty() || name.size() > 5 ||
      !std::ranges::all_of(name, [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  unsigned v = 0;
  for (char c : name) v = v * 10 + static_cast<unsigned>(c - '0');
  return v <= max ? std::optional<unsigned>(v) : std::nullopt;
}

class StoreWriter {
 public:
  StoreWriter() { offsets_.push_back(0); }

  // The WMO tables of one master table, by version.
  void add_master(std::uint8_t master_table, const std::map<std::uint8_t, TableSet>& versions) {
    Layer layer{.kind = kWmo, .master_table = master_table};
    for (const auto& [v, _] : versions) layer.versions[v / 64] |= std::uint64_t{1} << (v % 64);
    layer.name = intern("");
    layer.content = add_content(versions);
    layers_.push_back(layer);
  }

  void add_local(std::uint8_t master_table, std::string_view name, std::uint16_t centre,
                 std::uint16_t subcentre, TableSet tables) {
    Layer layer{.kind = kLocal, .master_table = master_table, .centre = centre, .subcentre = subcentre};
    layer.name = intern(name);
    auto same = std::ranges::find_if(locals_, [&](const auto& seen) { return seen.first == tables; });
    if (same != locals_.end()) {
      layer.content = same->second;
    } else {
      std::map<std::uint8_t, TableSet> one;
      one.emplace(0, std::move(tables));
      layer.content = add_content(one);
      locals_.emplace_back(std::move(one.begin()->second), layer.content);
    }
    layers_.push_back(layer);
  }

  std::string finish() const {
    std::string out(sizeof(Header), '\0');
    Header header;
    const auto put = [&]<class T>(Section s, const std::vector<T>& records) {
      out.resize((out.size() + 7) / 8 * 8, '\0');
      header.spans[s] = {out.size(), records.size()};
      out.append(reinterpret_cast<const char*>(records.data()), records.size() * sizeof(T));
    };
    put(kStrings, strings_);
    put(kStringOffsets, offsets_);
    put(kContents, contents_);
    put(kLayers, layers_);
    put(kElements, elements_);
    put(kSequences, sequences_);
    put(kMembers, members_);
    put(kCodeTables, code_tables_);
    put(kMeanings, meanings_);
    std::memcpy(out.data(), &header, sizeof header);
    return out;
  }

 private:
  std::uint32_t intern(std::string_view text) {
    auto [it, added] = ids_.try_emplace(std::string(text), static_cast<std::uint32_t>(offsets_.size() - 1));
    if (added) {
      strings_.insert(strings_.end(), text.begin(), text.end());
      offsets_.push_back(static_cast<std::uint32_t>(strings_.size()));
    }
    return it->second;
  }

  // For each code held by some version, runs of consecutive versions holding the same entry:
  // `emit(entry, first, last)` once per run, in order of code then first version.
  template <class Find, class Emit>
  static void runs(const std::map<std::uint8_t, TableSet>& versions, const std::set<std::uint32_t>& codes,
                   Find find, Emit emit) {
    for (std::uint32_t code : codes) {
      const auto* open = decltype(find(versions.begin()->second, code)){};
      std::uint8_t first = 0, last = 0;
      for (const auto& [v, tables] : versions) {
        const auto* entry = find(tables, code);
        if (open != nullptr && entry != nullptr && *entry == *open) {
          last = v;
          continue;
        }
        if (open != nullptr) emit(code, *open, first, last);
        open = entry;
        first = last = v;
      }
      if (open != nullptr) emit(code, *open, first, last);
    }
  }

  template <class Map>
  static std::set<std::uint32_t> codes_of(const std::map<std::uint8_t, TableSet>& versions, Map map) {
    std::set<std::uint32_t> codes;
    for (const auto& [_, tables] : versions) {
      for (const auto& [code, _entry] : map(tables)) codes.insert(code);
    }
    return codes;
  }

  std::uint32_t add_content(const std::map<std::uint8_t, TableSet>& versions) {
    Content c;
    c.elements.begin = static_cast<std::uint32_t>(elements_.size());
    runs(
        versions,
        codes_of(
            versions, [](const TableSet& t) -> auto& { return t.elements(); }),
        [](const TableSet& t, std::uint32_t code) { return t.find_element(code); },
        [&](std::uint32_t, const ElementDefinition& d, std::uint8_t first, std::uint8_t last) {
          elements_.push_back(Element{.code = d.code,
                                      .first = first,
                                      .last = last,
                                      .width = d.width,
                                      .scale = d.scale,
                                      .key = intern(d.abbreviation),
                                      .reference = d.reference,
                                      .type = intern(d.element_type),
                                      .name = intern(d.name),
                                      .unit = intern(d.unit)});
        });
    c.elements.end = static_cast<std::uint32_t>(elements_.size());
    c.sequences.begin = static_cast<std::uint32_t>(sequences_.size());
    runs(
        versions,
        codes_of(
            versions, [](const TableSet& t) -> auto& { return t.sequences(); }),
        [](const TableSet& t, std::uint32_t code) { return t.find_sequence(code); },
        [&](std::uint32_t, const SequenceDefinition& d, std::uint8_t first, std::uint8_t last) {
          const auto begin = static_cast<std::uint32_t>(members_.size());
          members_.insert(members_.end(), d.members.begin(), d.members.end());
          sequences_.push_back(Sequence{.code = d.code,
                                        .first = first,
                                        .last = last,
                                        .members = {begin, static_cast<std::uint32_t>(members_.size())}});
        });
    c.sequences.end = static_cast<std::uint32_t>(sequences_.size());
    c.code_tables.begin = static_cast<std::uint32_t>(code_tables_.size());
    runs(
        versions,
        codes_of(
            versions, [](const TableSet& t) -> auto& { return t.code_tables(); }),
        [](const TableSet& t, std::uint32_t code) { return t.find_code_table(code); },
        [&](std::uint32_t code, const CodeTable& table, std::uint8_t first, std::uint8_t last) {
          std::map<std::uint64_t, std::string_view> sorted(table.begin(), table.end());
          const auto begin = static_cast<std::uint32_t>(meanings_.size());
          for (const auto& [raw, text] : sorted)
            meanings_.push_back(Meaning{.raw = raw, .text = intern(text)});
          code_tables_.push_back(
              CodeTableRecord{.code = code,
                              .first = first,
                              .last = last,
                              .meanings = {begin, static_cast<std::uint32_t>(meanings_.size())}});
        });
    c.code_tables.end = static_cast<std::uint32_t>(code_tables_.size());
    contents_.push_back(c);
    return static_cast<std::uint32_t>(contents_.size() - 1);
  }

  std::vector<char> strings_;
  std::vector<std::uint32_t> offsets_;
  std::unordered_map<std::string, std::uint32_t> ids_;
  std::vector<Content> contents_;
  std::vector<Layer> layers_;
  std::vector<Element> elements_;
  std::vector<Sequence> sequences_;
  std::vector<std::uint32_t> members_;
  std::vector<CodeTableRecord> code_tables_;
  std::vector<Meaning> meanings_;
  std::vector<std::pair<TableSet, std::uint32_t>> locals_;
};

Status add_master_table(StoreWriter& writer, const std::string& dir, std::uint8_t master_table) {
  const std::string wmo = join_path(dir, "wmo");
  std::map<std::uint8_t, TableSet> versions;
  if (path_exists(wmo)) {
    for (const std::string& name : QV_TRY(entry_names(wmo))) {
      const auto version = number_of(name, 255);
      if (!version) continue;
      const std::string resolved = QV_TRY(resolve_table_directory(join_path(wmo, name)));
      TableSet tables;
      QV_CHECK(load_table_parts(resolved, true, tables, TableRows::AsEccodes));
      versions.emplace(static_cast<std::uint8_t>(*version), std::move(tables));
    }
  }
  if (!versions.empty()) writer.add_master(master_table, versions);

  const std::string local = join_path(dir, "local");
  if (!path_exists(local)) return {};
  for (const std::string& name : QV_TRY(entry_names(local))) {
    const std::string_view digits = name.starts_with("19-") ? std::string_view(name).substr(3) : name;
    if (!number_of(digits, 255)) continue;
    const std::string by_name = join_path(local, name);
    for (const std::string& centre : QV_TRY(entry_names(by_name))) {
      const auto c = number_of(centre, 65535);
      if (!c) continue;
      const std::string by_centre = join_path(by_name, centre);
      for (const std::string& sub : QV_TRY(entry_names(by_centre))) {
        const auto s = number_of(sub, 65535);
        if (!s) continue;
        const std::string resolved = QV_TRY(resolve_table_directory(join_path(by_centre, sub)));
        TableSet tables;
        QV_CHECK(load_table_parts(resolved, false, tables, TableRows::AsEccodes));
        writer.add_local(master_table,
                         name,
                         static_cast<std::uint16_t>(*c),
                         static_cast<std::uint16_t>(*s),
                         std::move(tables));
      }
    }
  }
  return {};
}

}  // namespace

Result<std::string> build_table_store(const std::string& definitions_root) {
  const std::string tables = join_path(join_path(definitions_root, "bufr"), "tables");
  StoreWriter writer;
  for (const std::string& name : QV_TRY(entry_names(tables))) {
    const auto master_table = number_of(name, 255);
    if (!master_table || file_kind(join_path(tables, name)) != FileKind::Directory) continue;
    QV_CHECK(add_master_table(writer, join_path(tables, name), static_cast<std::uint8_t>(*master_table)));
  }
  return writer.finish();
}

}  // namespace quorvex
