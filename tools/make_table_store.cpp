// Build-time tool: the table store of the package from the vendored ecCodes tables, and the
// list of every disagreement between them and the WMO's own CSV releases.
//
//     make_table_store DEFINITIONS_ROOT WMO_DIR STORE_OUT CROSSCHECK_OUT
//
// DEFINITIONS_ROOT holds bufr/tables/ as ecCodes lays it out; WMO_DIR holds one folder per
// WMO release (v31 ... v45). The store follows ecCodes everywhere (its key names are the
// ones users write, and its entries are what ecCodes decodes with); CROSSCHECK_OUT lists,
// per version, the elements and sequences where the WMO release says otherwise.
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "lib/file_system.hpp"
#include "lib/text_scan.hpp"
#include "tables/csv_reader.hpp"
#include "tables/decimal.hpp"
#include "tables/eccodes_loader.hpp"
#include "tables/table_store.hpp"

namespace {

using quorvex::TableSet;

std::string code_text(std::uint32_t code) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%06u", code % 1000000);
  return buf;
}

std::string members_text(const std::vector<std::uint32_t>& members) {
  std::string out;
  for (std::uint32_t m : members) {
    if (!out.empty()) out += ' ';
    out += code_text(m);
  }
  return out;
}

// Counted disagreements of one version, written as lines "vN\tcode\twhat\tecCodes\tWMO".
struct Crosscheck {
  std::ofstream out;
  std::map<std::string, int> counts;

  void note(int version, std::uint32_t code, const std::string& what, const std::string& eccodes,
            const std::string& wmo) {
    out << 'v' << version << '\t' << code_text(code) << '\t' << what << '\t' << eccodes << '\t' << wmo
        << '\n';
    ++counts[what];
  }

  void compare(int version, const TableSet& eccodes, const TableSet& wmo) {
    std::set<std::uint32_t> codes;
    for (const auto& [code, _] : eccodes.elements()) codes.insert(code);
    for (const auto& [code, _] : wmo.elements()) codes.insert(code);
    for (std::uint32_t code : codes) {
      const auto* e = eccodes.find_element(code);
      const auto* w = wmo.find_element(code);
      if (e == nullptr || w == nullptr) {
        note(version, code, "element only in one", e ? "present" : "absent", w ? "present" : "absent");
        continue;
      }
      if (e->width != w->width)
        note(version, code, "width", std::to_string(e->width), std::to_string(w->width));
      if (e->scale != w->scale)
        note(version, code, "scale", std::to_string(e->scale), std::to_string(w->scale));
      if (e->reference != w->reference) {
        note(version, code, "reference", std::to_string(e->reference), std::to_string(w->reference));
      }
      if (e->unit != w->unit) note(version, code, "unit", e->unit, w->unit);
    }
    codes.clear();
    for (const auto& [code, _] : eccodes.sequences()) codes.insert(code);
    for (const auto& [code, _] : wmo.sequences()) codes.insert(code);
    for (std::uint32_t code : codes) {
      const auto* e = eccodes.find_sequence(code);
      const auto* w = wmo.find_sequence(code);
      if (e == nullptr || w == nullptr) {
        note(version, code, "sequence only in one", e ? "present" : "absent", w ? "present" : "absent");
      } else if (e->members != w->members) {
        note(version, code, "sequence members", members_text(e->members), members_text(w->members));
      }
    }
  }
};

// A WMO release's Table B and Table D, columns found by their header names (they move
// between releases: v38 added noteIDs, v40 moved the notes to the end).
class WmoRelease {
 public:
  static quorvex::Result<TableSet> load(const std::string& dir) {
    WmoRelease r;
    for (const auto& path : QV_TRY(quorvex::list_directory_files(dir, "BUFRCREX_TableB_en_", ".csv"))) {
      QV_CHECK(r.read(path, [&r](quorvex::RecordFields f) { return r.element(f); }));
    }
    for (const auto& path : QV_TRY(quorvex::list_directory_files(dir, "BUFR_TableD_en_", ".csv"))) {
      QV_CHECK(r.read(path, [&r](quorvex::RecordFields f) { return r.member(f); }));
    }
    for (auto& [code, members] : r.members_) r.tables_.insert_sequence({code, std::move(members)});
    return std::move(r.tables_);
  }

 private:
  template <class Row>
  quorvex::Status read(const std::string& path, Row row) {
    columns_.clear();
    const quorvex::DelimitedFormat csv{.delimiter = ',', .comment = '\0', .header = false};
    return quorvex::read_delimited_file(path, csv, [&](quorvex::RecordFields f) -> quorvex::Status {
      if (columns_.empty()) {
        for (std::size_t i = 0; i < f.size(); ++i) columns_[std::string(f[i])] = i;
        return {};
      }
      return row(f);
    });
  }
  std::string_view at(quorvex::RecordFields f, const char* column) const {
    auto it = columns_.find(column);
    return it == columns_.end() || it->second >= f.size() ? std::string_view()
                                                          : quorvex::trim_space(f[it->second]);
  }
  quorvex::Status element(quorvex::RecordFields f) {
    quorvex::ElementDefinition def;
    def.code = QV_TRY(quorvex::parse_descriptor_code(at(f, "FXY")));
    def.name = at(f, "ElementName_en");
    def.unit = at(f, "BUFR_Unit");
    def.scale = QV_TRY(quorvex::parse_i32_field(at(f, "BUFR_Scale")));
    def.reference = QV_TRY(quorvex::parse_i64_field(at(f, "BUFR_ReferenceValue")));
    def.width = QV_TRY(quorvex::parse_u16_field(at(f, "BUFR_DataWidth_Bits")));
    tables_.insert_element(std::move(def));
    return {};
  }
  quorvex::Status member(quorvex::RecordFields f) {
    const std::uint32_t code = QV_TRY(quorvex::parse_descriptor_code(at(f, "FXY1")));
    members_[code].push_back(QV_TRY(quorvex::parse_descriptor_code(at(f, "FXY2"))));
    return {};
  }

  std::map<std::string, std::size_t> columns_;
  std::map<std::uint32_t, std::vector<std::uint32_t>> members_;
  TableSet tables_;
};

int failed(const std::string& what, const quorvex::BufrError& e) {
  std::fprintf(stderr, "make_table_store: %s: %s\n", what.c_str(), e.message().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: make_table_store DEFINITIONS_ROOT WMO_DIR STORE_OUT CROSSCHECK_OUT\n");
    return 2;
  }
  const std::string root = argv[1], wmo_dir = argv[2], store_out = argv[3], crosscheck_out = argv[4];
  auto store = quorvex::build_table_store(root);
  if (!store) return failed(root, store.error());
  // Read back before writing: the file must open as the package will open it.
  if (auto check = quorvex::TableStore::from_bytes(*store); !check)
    return failed("the store built", check.error());
  std::ofstream(store_out, std::ios::binary)
      .write(store->data(), static_cast<std::streamsize>(store->size()));

  Crosscheck cross{std::ofstream(crosscheck_out), {}};
  cross.out << "version\tcode\tdisagreement\tecCodes (the store)\tWMO\n";
  for (int v = 31; v <= 45; ++v) {
    std::string name = "v";
    name += std::to_string(v);
    const std::string release = quorvex::join_path(wmo_dir, name);
    auto wmo = WmoRelease::load(release);
    if (!wmo) return failed(release, wmo.error());
    const std::string dir = root + "/bufr/tables/0/wmo/" + std::to_string(v);
    TableSet eccodes;
    if (auto s = quorvex::load_table_directory(dir, eccodes, quorvex::TableRows::AsEccodes); !s) {
      return failed(dir, s.error());
    }
    cross.compare(v, eccodes, *wmo);
  }
  std::printf("table store: %zu bytes; ecCodes and WMO disagree on", store->size());
  for (const auto& [what, n] : cross.counts) std::printf(" %s %d,", what.c_str(), n);
  std::printf(" listed in %s\n", crosscheck_out.c_str());
  return 0;
}
