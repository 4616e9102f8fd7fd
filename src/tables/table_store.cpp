#include "tables/table_store.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tables/table_store_format.hpp"

namespace quorvex {

using namespace store_format;

namespace {

BufrError damaged(std::string_view what) { return BufrError::unusable_table_store(what); }

template <class T>
Result<std::span<const T>> section(std::span<const char> bytes, const Header& header, Section s) {
  const store_format::Span at = header.spans[s];
  if (at.offset % alignof(T) != 0 || at.offset > bytes.size() ||
      at.count > (bytes.size() - at.offset) / sizeof(T)) {
    return fail(damaged("a section lies outside the file"));
  }
  return std::span<const T>(reinterpret_cast<const T*>(bytes.data() + at.offset), at.count);
}

bool valid_range(Range r, std::size_t size) { return r.begin <= r.end && r.end <= size; }

bool holds(const Layer& layer, std::uint8_t version) {
  return (layer.versions[version / 64] >> (version % 64) & 1U) != 0;
}

bool in_versions(std::uint8_t first, std::uint8_t last, std::uint8_t version, bool versioned) {
  return !versioned || (first <= version && version <= last);
}

}  // namespace

// The WMO code tables of one content and version, made when a message first needs one.
class StoreCodeTables final : public CodeTableSupplier {
 public:
  StoreCodeTables(std::shared_ptr<const TableStore> store, std::uint32_t content, std::uint8_t version)
      : store_(std::move(store)), version_(version) {
    const Range r = store_->contents_[content].code_tables;
    records_ = store_->code_tables_.subspan(r.begin, r.end - r.begin);
  }

  bool supply(std::uint32_t code, CodeTable& out) const override {
    const CodeTableRecord* record = find(code);
    if (record == nullptr) return false;
    const auto meanings =
        store_->meanings_.subspan(record->meanings.begin, record->meanings.end - record->meanings.begin);
    out.reserve(meanings.size());
    for (const Meaning& m : meanings) out.emplace(m.raw, store_->text(m.text));
    return true;
  }

  std::vector<std::uint32_t> codes() const override {
    std::vector<std::uint32_t> out;
    for (const CodeTableRecord& t : records_) {
      if (in_versions(t.first, t.last, version_, true)) out.push_back(t.code);
    }
    return out;
  }

 private:
  // Records are sorted by code, then first version.
  const CodeTableRecord* find(std::uint32_t code) const {
    auto it = std::ranges::lower_bound(records_, code, {}, &CodeTableRecord::code);
    for (; it != records_.end() && it->code == code; ++it) {
      if (in_versions(it->first, it->last, version_, true)) return &*it;
    }
    return nullptr;
  }

  std::shared_ptr<const TableStore> store_;
  std::span<const CodeTableRecord> records_;
  std::uint8_t version_;
};

TableStore::~TableStore() {
  if (mapping_ != nullptr) munmap(mapping_, bytes_.size());
}

Result<std::shared_ptr<const TableStore>> TableStore::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(BufrError::unusable_table_store(path + ": " + os_error_text(errno)));
  struct stat st {};
  void* map = MAP_FAILED;
  int err = 0;
  if (fstat(fd, &st) != 0) {
    err = errno;
  } else if (st.st_size > 0) {
    map = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) err = errno;
  }
  ::close(fd);
  if (map == MAP_FAILED) {
    return fail(
        BufrError::unusable_table_store(path + ": " + (err != 0 ? os_error_text(err) : "empty file")));
  }
  auto store = std::unique_ptr<TableStore>(new TableStore());
  store->mapping_ = map;
  store->bytes_ = std::span<const char>(static_cast<const char*>(map), static_cast<std::size_t>(st.st_size));
  return adopt(std::move(store));
}

Result<std::shared_ptr<const TableStore>> TableStore::from_bytes(std::string bytes) {
  auto store = std::unique_ptr<TableStore>(new TableStore());
  store->owned_ = std::move(bytes);
  store->bytes_ = std::span<const char>(store->owned_.data(), store->owned_.size());
  return adopt(std::move(store));
}

Result<std::shared_ptr<const TableStore>> TableStore::adopt(std::unique_ptr<TableStore> s) {
  Header header;
  if (s->bytes_.size() < sizeof header) return fail(damaged("shorter than its header"));
  std::memcpy(&header, s->bytes_.data(), sizeof header);
  if (header.magic != kMagic) return fail(damaged("not a table store"));
  if (header.format != kFormat || header.sections != kSectionCount) return fail(damaged("another format"));
  if (reinterpret_cast<std::uintptr_t>(s->bytes_.data()) % alignof(std::uint64_t) != 0) {
    return fail(damaged("misaligned in memory"));
  }
  s->strings_ = QV_TRY(section<char>(s->bytes_, header, kStrings));
  s->string_offsets_ = QV_TRY(section<std::uint32_t>(s->bytes_, header, kStringOffsets));
  s->contents_ = QV_TRY(section<Content>(s->bytes_, header, kContents));
  s->layers_ = QV_TRY(section<Layer>(s->bytes_, header, kLayers));
  s->elements_ = QV_TRY(section<Element>(s->bytes_, header, kElements));
  s->sequences_ = QV_TRY(section<Sequence>(s->bytes_, header, kSequences));
  s->members_ = QV_TRY(section<std::uint32_t>(s->bytes_, header, kMembers));
  s->code_tables_ = QV_TRY(section<CodeTableRecord>(s->bytes_, header, kCodeTables));
  s->meanings_ = QV_TRY(section<Meaning>(s->bytes_, header, kMeanings));
  QV_CHECK(s->check());
  return std::shared_ptr<const TableStore>(std::move(s));
}

// Every index of every record points inside its array, so that reading never checks again.
Status TableStore::check() const {
  if (string_offsets_.empty() || string_offsets_.back() > strings_.size() ||
      !std::ranges::is_sorted(string_offsets_)) {
    return fail(damaged("bad text offsets"));
  }
  const std::size_t texts = string_offsets_.size() - 1;
  for (const Content& c : contents_) {
    if (!valid_range(c.elements, elements_.size()) || !valid_range(c.sequences, sequences_.size()) ||
        !valid_range(c.code_tables, code_tables_.size())) {
      return fail(damaged("a table source outside the records"));
    }
  }
  for (const Layer& l : layers_) {
    if (l.content >= contents_.size() || l.name >= texts) return fail(damaged("a bad layer"));
  }
  for (const Element& e : elements_) {
    if (std::max({e.key, e.type, e.name, e.unit}) >= texts)
      return fail(damaged("an element without its texts"));
  }
  for (const Sequence& s : sequences_) {
    if (!valid_range(s.members, members_.size())) return fail(damaged("a sequence outside its members"));
  }
  for (const CodeTableRecord& t : code_tables_) {
    if (!valid_range(t.meanings, meanings_.size())) return fail(damaged("a code table outside its meanings"));
  }
  for (const Meaning& m : meanings_) {
    if (m.text >= texts) return fail(damaged("a meaning without its text"));
  }
  return {};
}

std::string_view TableStore::text(std::uint32_t id) const {
  return {strings_.data() + string_offsets_[id], string_offsets_[id + 1] - string_offsets_[id]};
}

std::vector<std::uint8_t> TableStore::versions(std::uint8_t master_table) const {
  std::vector<std::uint8_t> out;
  for (const Layer& l : layers_) {
    if (l.kind != kWmo || l.master_table != master_table) continue;
    for (unsigned v = 0; v < 256; ++v) {
      if (holds(l, static_cast<std::uint8_t>(v))) out.push_back(static_cast<std::uint8_t>(v));
    }
  }
  return out;
}

const Layer* TableStore::find_local(std::uint8_t master_table, std::string_view name, std::uint16_t centre,
                                    std::uint16_t subcentre) const {
  for (const Layer& l : layers_) {
    if (l.kind == kLocal && l.master_table == master_table && l.centre == centre &&
        l.subcentre == subcentre && text(l.name) == name) {
      return &l;
    }
  }
  return nullptr;
}

void TableStore::add_content(std::uint32_t content, std::uint8_t version, bool versioned, TableSet& out,
                             bool code_tables) const {
  const Content& c = contents_[content];
  for (const Element& e : elements_.subspan(c.elements.begin, c.elements.end - c.elements.begin)) {
    if (!in_versions(e.first, e.last, version, versioned)) continue;
    ElementDefinition def;
    def.code = e.code;
    def.abbreviation = text(e.key);
    def.element_type = text(e.type);
    def.name = text(e.name);
    def.unit = text(e.unit);
    def.scale = e.scale;
    def.reference = e.reference;
    def.width = e.width;
    out.insert_element(std::move(def));
  }
  for (const Sequence& s : sequences_.subspan(c.sequences.begin, c.sequences.end - c.sequences.begin)) {
    if (!in_versions(s.first, s.last, version, versioned)) continue;
    const auto members = members_.subspan(s.members.begin, s.members.end - s.members.begin);
    out.insert_sequence(SequenceDefinition{s.code, {members.begin(), members.end()}});
  }
  if (!code_tables) return;
  for (const CodeTableRecord& t :
       code_tables_.subspan(c.code_tables.begin, c.code_tables.end - c.code_tables.begin)) {
    if (!in_versions(t.first, t.last, version, versioned)) continue;
    CodeTable table;
    table.reserve(t.meanings.end - t.meanings.begin);
    for (const Meaning& m : meanings_.subspan(t.meanings.begin, t.meanings.end - t.meanings.begin)) {
      table.emplace(m.raw, text(m.text));
    }
    out.insert_code_table(t.code, std::move(table));
  }
}

Result<StoreTables> TableStore::table_set(const TableKey& key) const {
  const Layer* wmo = nullptr;
  for (const Layer& l : layers_) {
    if (l.kind == kWmo && l.master_table == key.master_table) wmo = &l;
  }
  if (wmo == nullptr) return fail(BufrError::store_lacks_master_table(key.master_table));
  const std::vector<std::uint8_t> held = versions(key.master_table);
  StoreTables out;
  out.master_version = key.master_version;
  if (!held.empty() && key.master_version > held.back()) out.master_version = held.back();
  if (!holds(*wmo, out.master_version)) {
    return fail(BufrError::store_lacks_master_version(key.master_table, key.master_version));
  }
  const Content& c = contents_[wmo->content];
  out.tables.reserve(c.elements.end - c.elements.begin, c.sequences.end - c.sequences.begin, 0);
  add_content(wmo->content, out.master_version, true, out.tables, false);
  out.tables.supply_code_tables(
      std::make_shared<StoreCodeTables>(shared_from_this(), wmo->content, out.master_version));
  if (key.local_version != 0) {
    // Local directories are named by the message's own master version, as ecCodes names them.
    std::string name = std::to_string(key.local_version);
    if (key.master_version == 19) name = "19-" + name;
    if (const Layer* local = find_local(key.master_table, name, key.centre, key.subcentre)) {
      add_content(local->content, 0, false, out.tables, true);
    }
  }
  return out;
}

}  // namespace quorvex
