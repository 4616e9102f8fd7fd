#include "encode/table_writer.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "decode/data_consumer.hpp"
#include "decode/template_program.hpp"
#include "decode/walk.hpp"
#include "encode/data_writer.hpp"
#include "encode/field_encoding.hpp"
#include "encode/header_fields.hpp"
#include "encode/message_writer.hpp"
#include "message/header_keys.hpp"

namespace quorvex {

namespace {

// The key of 2-05 characters in a row.
constexpr std::string_view kTextKey = "text";
// The column of the subset's number in its message (from 1), as the flat reader names it.
constexpr std::string_view kSubsetNumber = "subsetNumber";

// The attributes of an element a column may hold, as ecCodes names them: the associated field
// before it (2-04) and that field's significance (the 0-31-021 in force), as the flat reader
// gives them, and the percentage of confidence (0-33-007) a quality block (2-22) gives it.
constexpr std::string_view kAssociated = "->associatedField";
constexpr std::string_view kSignificance = "->associatedField->associatedFieldSignificance";
constexpr std::string_view kConfidence = "->percentConfidence";
// The value a bitmap selects in place of an element's: substituted (2-23) or replaced and
// retained (2-32).
constexpr std::string_view kSubstituted = "->substitutedValue";
constexpr std::string_view kReplaced = "->replacedRetainedValue";
// ecCodes also names a replaced value by a key of its own, numbered among the replaced values.
constexpr std::string_view kReplacedKey = "replacedRetainedValue";
constexpr std::uint32_t kSubstitution = 223000;
constexpr std::uint32_t kReplacement = 232000;
// The reference value in force for an element, as a 2-03 definition before it set it.
constexpr std::string_view kReference = "->reference";

bool is_element_attribute(std::string_view suffix) {
  return suffix == kAssociated || suffix == kSignificance || suffix == kConfidence ||
         suffix == kSubstituted || suffix == kReplaced || suffix == kReference;
}

// The column name of the `rank`-th occurrence of `key`: #rank#key.
std::string numbered_key(std::uint32_t rank, std::string_view key) {
  std::string name(1, '#');
  name.append(std::to_string(rank)).append(1, '#').append(key);
  return name;
}

// The columns by key: every rank of a key with its column, in rank order.
class ColumnIndex {
 public:
  static Result<ColumnIndex> of(const InputTable& table);

  // The (rank, column) pairs of `key`, in rank order.
  std::span<const std::pair<std::uint32_t, std::uint32_t>> ranks(std::string_view key) const {
    const auto it = by_key_.find(key);
    if (it == by_key_.end()) return {};
    return it->second;
  }
  int find(std::string_view key, std::uint32_t rank) const { return find_in(ranks(key), rank); }
  // The column of `rank` among a key's (rank, column) pairs; -1 when none.
  static int find_in(std::span<const std::pair<std::uint32_t, std::uint32_t>> ranks, std::uint32_t rank) {
    const auto at = std::lower_bound(
        ranks.begin(), ranks.end(), rank, [](const auto& r, std::uint32_t n) { return r.first < n; });
    return at != ranks.end() && at->first == rank ? static_cast<int>(at->second) : -1;
  }
  // The columns named by header keys, and subsetNumber's (-1 when absent).
  std::span<const std::uint32_t> header_columns() const { return header_columns_; }
  int subset_number() const { return subset_number_; }
  // Some column gives percentages of confidence (#n#key->percentConfidence).
  bool confidences() const { return confidences_; }
  // The highest rank of `key` among the columns; 0 when none.
  std::uint32_t highest_column(std::string_view key) const {
    const auto it = by_key_.find(key);
    return it == by_key_.end() || it->second.empty() ? 0 : it->second.back().first;
  }
  // The highest rank of `key` whose cell is valid in `row`; 0 when none.
  std::uint32_t highest(const InputTable& table, std::string_view key, std::size_t row) const {
    const auto it = by_key_.find(key);
    if (it == by_key_.end()) return 0;
    for (auto r = it->second.rbegin(); r != it->second.rend(); ++r) {
      if (table.columns[r->second].valid(row)) return r->first;
    }
    return 0;
  }

 private:
  std::unordered_map<std::string_view, std::vector<std::pair<std::uint32_t, std::uint32_t>>> by_key_;
  std::vector<std::uint32_t> header_columns_;
  int subset_number_ = -1;
  bool rising_ = true;  // every key's ranks met so far in rising order
  bool confidences_ = false;
};

Result<ColumnIndex> ColumnIndex::of(const InputTable& table) {
  ColumnIndex index;
  for (std::size_t c = 0; c < table.columns.size(); ++c) {
    const std::string_view name = table.columns[c].name;
    if (name == kSubsetNumber) {
      index.subset_number_ = static_cast<int>(c);
      continue;
    }
    if (!name.starts_with('#') && header_key_index(name) >= 0) {  // header keys are not numbered
      index.header_columns_.push_back(static_cast<std::uint32_t>(c));
      continue;
    }
    std::uint32_t rank = 0;
    const std::size_t hash = name.size() > 2 && name[0] == '#' ? name.find('#', 1) : std::string_view::npos;
    const auto parsed = hash == std::string_view::npos
                            ? std::from_chars_result{nullptr, std::errc::invalid_argument}
                            : std::from_chars(name.data() + 1, name.data() + hash, rank);
    if (parsed.ec != std::errc{} || parsed.ptr != name.data() + hash || rank == 0 || hash + 1 >= name.size())
      return fail(BufrError::unencodable("column " + std::string(name) + ": not a numbered key (#n#key)"));
    if (const std::size_t arrow = name.find("->");
        arrow != std::string_view::npos && !is_element_attribute(name.substr(arrow)))
      return fail(BufrError::unencodable(
          "column " + std::string(name) +
          ": attributes (key->name) other than associated fields, percentages of confidence, "
          "substituted or replaced values and references cannot be written from a table: other quality "
          "values go by the key of the element they qualify (#n#key)"));
    if (name.ends_with(kConfidence)) index.confidences_ = true;
    auto& ranks = index.by_key_[name.substr(hash + 1)];
    // Columns mostly come in rising rank: a rank above the last, while every rank so far has
    // risen, is one not given before; else every rank is looked at.
    const bool rising = ranks.empty() || (ranks.back().first < rank && index.rising_);
    if (!rising && std::any_of(ranks.begin(), ranks.end(), [&](const auto& r) { return r.first == rank; }))
      return fail(BufrError::unencodable("column " + std::string(name) + " is given twice"));
    index.rising_ = index.rising_ && (ranks.empty() || ranks.back().first < rank);
    ranks.emplace_back(rank, static_cast<std::uint32_t>(c));
  }
  for (auto& [key, ranks] : index.by_key_) std::sort(ranks.begin(), ranks.end());
  return index;
}

// A field of compressed data as a column of the table: the cells of `column` (none: missing
// in every row), or one number in every row (a replication count). A data-present indicator
// without a value is 1.
struct PlannedField {
  static constexpr std::uint32_t kNoColumn = ~std::uint32_t{0};
  std::uint32_t column = kNoColumn;
  bool constant = false;
  bool present_by_default = false;
  double number = 0.0;  // of a constant
};

// One row's values in walk order, found by walking the descriptors as the uncompressed writer
// will: elements take their numbered keys' cells, delayed replications their counts. For
// compressed data the walk is made once for the rows of a message, and plans each field as a
// column of the table (the compressed writer then reads each column where it stands): every
// row numbers its keys alike, and a replication count must be the same in every row.
class RowPlanner : public DataConsumer<RowPlanner> {
 public:
  static constexpr WalkRules kRules{.name = WalkName::Decode};
  static constexpr DataRules kDataRules{};

  // `places`: how many element steps of the template bear each key.
  // `top_level`: the bodies of the template's delayed replications that stand in no other
  // replication. `substitutes`: the template may hold substituted or replaced values (2-23, 2-32).
  RowPlanner(const TableSet& tables, const InputTable& table, const ColumnIndex& index,
             const std::unordered_map<std::string_view, std::uint32_t>& places,
             std::unordered_set<const ProgramStep*> top_level, bool substitutes)
      : DataConsumer(tables),
        table_(table),
        index_(index),
        places_(places),
        top_level_(std::move(top_level)),
        ranks_history_(substitutes || index.confidences()),
        taken_(table.columns.size(), 0),
        numbers_(table.columns.size()) {
    for (std::size_t c = 0; c < table.columns.size(); ++c) {
      const InputColumn& column = table.columns[c];
      if (column.chunks.size() != 1) continue;
      const ColumnChunk& chunk = column.chunks.front();
      if (chunk.type != ColumnChunk::Type::Float64 || chunk.dictionary) continue;
      numbers_[c] = {.values = static_cast<const double*>(chunk.values) + chunk.offset * chunk.stride,
                     .validity = chunk.validity,
                     .offset = chunk.offset,
                     .stride = chunk.stride};
    }
    for (const std::uint32_t c : index.header_columns()) taken_[c] = kHeaderColumn;
    if (index.subset_number() >= 0) taken_[static_cast<std::size_t>(index.subset_number())] = kHeaderColumn;
  }

  // Counts the valid cells of every row among the columns of data, in one pass down each
  // column, so that a row's check of what no field took compares two counts.
  void count_valid_cells();
  void start_row(std::size_t row, std::size_t table_row, std::vector<FieldValue>& out) {
    restart(row, table_row);
    taken_valid_ = 0;
    end_ = 0;
    out_ = &out;
  }
  // The rows [row, end) of one message of compressed data, planned into `plan`.
  void start_message(std::size_t row, std::size_t end, std::size_t table_row,
                     std::vector<PlannedField>& plan) {
    restart(row, table_row);
    end_ = end;
    plan_ = &plan;
  }
  // Refuses a valid cell of the row that no field took.
  Status finish_row();
  // The same for every row of the message planned.
  Status finish_message();

  bool after_step() { return true; }
  bool define_reference(std::uint32_t code);
  // Its value is the element's attribute column: held until that element is met.
  bool associated_field() {
    if (columnar()) {
      associated_at_ = plan_->size();
      plan_->emplace_back();
    } else {
      associated_at_ = out_->size();
      out_->emplace_back();
    }
    return true;
  }
  bool read_element(const ElementInfo& info);
  bool read_factor(const ElementParams& params, std::uint64_t& count);
  bool read_selected(const ElementParams& params, bool attribute);
  // An operator's marker ends a quality block: its values are numbered under their elements' keys.
  bool marker(std::uint32_t code) {
    number_quality();
    confidence_stale_ = true;
    if (code == kQualityBlock) confidences_ = 0;
    if (code == kSubstitution) substitution_ = kSubstituted;
    if (code == kReplacement) substitution_ = kReplaced;
    return true;
  }
  // The quality values numbered under the key of the element they qualify, as the walk finds them.
  std::vector<QualityKey>& quality_keys() { return quality_; }
  std::size_t values_made() const { return columnar() ? plan_->size() : out_->size(); }
  bool characters(std::uint32_t) {
    if (columnar()) {
      plan_->push_back({.column = column_of(slot(kTextKey))});
    } else {
      out_->push_back(cell(slot(kTextKey)));
    }
    return true;
  }
  void set_role(ValueRole) {}
  void delayed_steps(std::span<const ProgramStep> body);

 private:
  // A key with its columns, and how many times the row has met it so far.
  struct KeySlot {
    std::string_view key;
    std::span<const std::pair<std::uint32_t, std::uint32_t>> ranks;  // (rank, column), in rank order
    std::uint32_t counter = 0;
    std::uint32_t cursor = 0;  // in `ranks`: the first whose rank may still be met
  };
  // The slot of a key, made when first met (keys are hashed once per call, not per cell).
  std::uint32_t slot(std::string_view key);
  std::uint32_t slot(const ElementDefinition& def) {
    auto& [known, s] = recent_[(reinterpret_cast<std::uintptr_t>(&def) >> 4) % recent_.size()];
    if (known == &def) return s;
    const auto [it, added] = slot_by_def_.try_emplace(&def, 0);
    if (added) it->second = slot(def.abbreviation);
    known = &def;
    s = it->second;
    return s;
  }
  // The occurrences of `key` the row took so far.
  std::uint32_t occurrences(std::string_view key) const {
    const auto it = slot_by_key_.find(key);
    return it == slot_by_key_.end() ? 0 : slots_[it->second].counter;
  }
  void restart(std::size_t row, std::size_t table_row) {
    start_subset();
    quality_.clear();
    history_ranks_.clear();
    confidences_ = 0;
    for (const std::uint32_t s : used_) slots_[s].counter = slots_[s].cursor = 0;
    used_.clear();
    bitmap_defaulted_ = false;
    associated_at_ = significance_at_ = kNone;
    significance_column_.clear();
    row_ = row;
    table_row_ = table_row;
  }
  bool columnar() const { return end_ != 0; }
  // Places the quality values held (quality_) in the columns of their elements' keys: after the
  // rest of their block, as the reader numbers them.
  void number_quality();
  // Records the rank of the element just read (its key's occurrence, 0 when it has none) beside
  // the history the walk keeps, when percentages of confidence or substituted values are to be
  // found by it.
  void rank_history(std::size_t before, std::uint32_t slot) {
    if (!ranks_history_) return;
    if (history_ranks_.size() != before)
      history_ranks_.resize(before, {0, kNoSlot});  // the factors recorded since the last element
    if (state_.history.size() > before)
      history_ranks_.emplace_back(slot == kNoSlot ? 0 : slots_[slot].counter, slot);
  }
  bool check_reference(const ElementDefinition& def, std::uint32_t slot);
  // The substituted (2-23) or replaced (2-32) value the bitmap selects for `def`.
  bool substituted_value(const ElementDefinition& def);
  // The column of the next percentage of confidence of the quality block: the element the
  // bitmap selects for it, at its rank (kNoColumn when none).
  std::uint32_t confidence_column();
  // The (rank, column) pairs of the percentages of confidence of `def`'s key.
  std::span<const std::pair<std::uint32_t, std::uint32_t>> confidence_ranks(std::uint32_t slot);
  // A 0-31-031 of compressed data: the same in every row, since the values it selects are.
  bool same_bitmap_entry(const ElementDefinition& def, std::uint32_t column);
  // Marks column `c` taken by the row, or by the message's rows.
  void take(std::uint32_t c) {
    if (columnar()) {
      taken_[c] = end_;  // a message's rows end at different rows
    } else if (taken_[c] != row_ + 1) {
      taken_[c] = row_ + 1;
      taken_valid_ += valid_at(c, row_) ? 1 : 0;
    }
  }
  // The column of the next occurrence of the slot's key, taken (kNoColumn when absent).
  std::uint32_t column_of(std::uint32_t slot);
  // The cell of the next occurrence of the slot's key in the row (missing when its column is
  // absent).
  FieldValue cell(std::uint32_t slot) {
    const std::uint32_t c = column_of(slot);
    if (c == PlannedField::kNoColumn) return FieldValue::missing();
    const InputColumn& column = table_.columns[c];
    return column.valid(row_) ? column.value(row_) : FieldValue::missing();
  }
  FieldValue cell_at(std::uint32_t c, std::size_t row) const {
    if (c == PlannedField::kNoColumn) return FieldValue::missing();
    if (const NumberCells& n = numbers_[c]; n.values != nullptr) {
      const double v = n.at(row);
      return v == v ? FieldValue::of_number(v) : FieldValue::missing();
    }
    if (!table_.columns[c].valid(row)) return FieldValue::missing();
    return table_.columns[c].value(row);
  }
  bool valid_at(std::uint32_t c, std::size_t row) const {
    if (const NumberCells& n = numbers_[c]; n.values != nullptr) {
      const double v = n.at(row);
      return v == v;
    }
    return table_.columns[c].valid(row);
  }
  // The replication count of `row` from the factor's cell `v`, or inferred.
  bool factor_in_row(const ElementDefinition& def, std::uint16_t width, FieldValue v, std::size_t row,
                     FieldValue& count);
  // Refuses the valid cell of `row` that no field took, if any (`defaulted`: a data-present
  // indicator of the row was written as 1).
  Status untaken(std::size_t row, std::size_t taken_mark, bool defaulted) const;
  void count_key(std::string_view key, std::uint32_t times);
  std::string group_named() const;
  // A 0-31-021 of the row that no column gave (checked when the next one is met, and at the end).
  bool significance_untold() const {
    if (significance_at_ == kNone) return false;
    return columnar() ? (*plan_)[significance_at_].column == PlannedField::kNoColumn
                      : (*out_)[significance_at_].kind == FieldValue::Kind::Missing;
  }
  // The significance in force in `row`.
  FieldValue significance_in(std::size_t row) const {
    return columnar() ? cell_at((*plan_)[significance_at_].column, row) : (*out_)[significance_at_];
  }
  // The element met: `column` its key's (kNoColumn when absent), `slot` its key's (kNoSlot when
  // it has none).
  static constexpr std::uint32_t kNoSlot = ~std::uint32_t{0};
  bool element_attributes(const ElementDefinition& def, std::uint32_t column, std::uint32_t slot);
  BufrError untold_significance() const {
    return refuse_row({nullptr, kAssociatedFieldSignificance, table_row_},
                      "no column gives this significance of associated fields: give it as "
                      "#n#key->associatedField->associatedFieldSignificance beside a field it stands for");
  }
  // The associated field held before the element of `def` (its `rank`-th occurrence), and the
  // significance in force, from the element's attribute columns.
  bool place_associated(const ElementDefinition& def, std::uint32_t rank);
  void group_steps(std::span<const ProgramStep> steps, std::uint32_t times, bool delayed,
                   std::unordered_map<std::string_view, std::uint32_t>& untelling);

  const InputTable& table_;
  const ColumnIndex& index_;
  const std::unordered_map<std::string_view, std::uint32_t>& places_;
  const std::unordered_set<const ProgramStep*> top_level_;
  const bool ranks_history_;  // history_ranks_ is kept
  // Per column: 1 + the row that took its cell (kHeaderColumn: not a column of the data).
  static constexpr std::size_t kHeaderColumn = ~std::size_t{0};
  std::vector<std::size_t> taken_;
  // The float64 numbers of a column of one chunk where they stand, a missing cell read as NaN
  // (values null for other columns, read through InputColumn).
  struct NumberCells {
    const double* values = nullptr;  // of the table's first row
    const std::uint8_t* validity = nullptr;
    std::size_t offset = 0;
    std::size_t stride = 1;
    double at(std::size_t row) const {
      const std::size_t i = offset + row;
      if (validity != nullptr && ((validity[i / 8] >> (i % 8)) & 1) == 0) return std::nan("");
      return values[row * stride];
    }
  };
  std::vector<NumberCells> numbers_;
  // Per row, its valid cells among the columns of data (counted when given rows one by one),
  // and how many of them the row's fields took so far.
  std::vector<std::uint32_t> valid_cells_;
  std::uint32_t taken_valid_ = 0;
  std::vector<KeySlot> slots_;
  std::unordered_map<std::string_view, std::uint32_t> slot_by_key_;
  std::unordered_map<const ElementDefinition*, std::uint32_t> slot_by_def_;
  // The slots of elements met lately, by their address (most templates' elements all fit).
  std::array<std::pair<const ElementDefinition*, std::uint32_t>, 1024> recent_{};
  std::vector<std::uint32_t> used_;  // the slots the row has met
  // The keys of the next delayed replication's group with their occurrences per repetition:
  // those the template bears nowhere else (nor in nested replications), whose numbers then
  // tell the count.
  std::vector<std::pair<std::string_view, std::uint32_t>> group_keys_;
  // The keys of the group that do not tell the count, with their occurrences per repetition
  // (0 when unknown: in a nested delayed replication).
  std::vector<std::pair<std::string_view, std::uint32_t>> other_keys_;
  std::size_t row_ = 0;
  std::size_t table_row_ = 0;
  std::size_t end_ = 0;            // compressed: one past the message's last row; else 0
  bool bitmap_defaulted_ = false;  // a data-present indicator of the row was written as 1
  static constexpr std::size_t kNone = ~std::size_t{0};
  std::size_t associated_at_ = kNone;    // in out_: the associated field before the next element
  std::size_t significance_at_ = kNone;  // in out_: the 0-31-021 in force
  std::string significance_column_;      // the column that gave it, if any
  std::vector<FieldValue>* out_ = nullptr;
  std::vector<PlannedField>* plan_ = nullptr;
  std::vector<QualityKey> quality_;  // quality values not yet numbered (value: in out_ or plan_)
  // The rank of each history entry's key (0 when it has none), and its slot.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> history_ranks_;
  std::size_t confidences_ = 0;  // percentages of confidence of the block so far
  // Where the block's bitmap was looked through for the last percentage of confidence: the next
  // entry, the selected entries before it, and the bitmap's size then.
  std::size_t confidence_entry_ = 0;
  std::size_t confidence_selected_ = 0;
  std::size_t confidence_bitmap_ = 0;
  bool confidence_stale_ = false;  // an operator or a bitmap entry met since
  // By slot: the (rank, column) pairs of the key's percentages of confidence, once looked up.
  std::vector<std::optional<std::span<const std::pair<std::uint32_t, std::uint32_t>>>> confidence_ranks_;
  std::string_view substitution_ = kSubstituted;  // the attribute the last 2-23 or 2-32 operator names
  static constexpr std::uint32_t kQualityBlock = 222000;
};

std::uint32_t RowPlanner::slot(std::string_view key) {
  const auto [it, added] = slot_by_key_.try_emplace(key, static_cast<std::uint32_t>(slots_.size()));
  if (added) slots_.push_back({.key = key, .ranks = index_.ranks(key)});
  return it->second;
}

inline std::uint32_t RowPlanner::column_of(std::uint32_t s) {
  KeySlot& k = slots_[s];
  if (k.counter++ == 0) used_.push_back(s);
  // Ranks are met in increasing order within a row: the cursor only moves forward.
  while (k.cursor < k.ranks.size() && k.ranks[k.cursor].first < k.counter) ++k.cursor;
  if (k.cursor == k.ranks.size() || k.ranks[k.cursor].first != k.counter) return PlannedField::kNoColumn;
  const std::uint32_t c = k.ranks[k.cursor].second;
  take(c);
  return c;
}

bool RowPlanner::read_element(const ElementInfo& info) {
  const ElementDefinition& def = *info.def;
  // A value of class 33 in a quality block is no key of its own: it is named by the element it
  // qualifies (placed when its block ends) or, a percentage of confidence, not at all.
  const bool quality = state_.quality_block && split_code(def.code).x == kQualityClass;
  if (columnar()) {
    // The walk goes on with the first row's values, as the compressed writer records them.
    const std::uint32_t s = def.abbreviation.empty() || quality ? kNoSlot : slot(def);
    const bool confidence = quality && def.code == kPercentConfidence && index_.confidences();
    const PlannedField field{.column = confidence     ? confidence_column()
                                       : s == kNoSlot ? PlannedField::kNoColumn
                                                      : column_of(s),
                             .present_by_default = def.code == kDataPresentIndicator};
    plan_->push_back(field);
    if (field.present_by_default && !same_bitmap_entry(def, field.column)) return false;
    if ((associated_at_ != kNone || def.code == kAssociatedFieldSignificance) &&
        !element_attributes(def, field.column, s))
      return false;
    // Only a data-present indicator's value matters to the walk: the cells of the other
    // columns are left unread until the writer reads each column whole.
    std::optional<double> indicator;
    if (field.present_by_default) {
      const FieldValue v = cell_at(field.column, row_);
      const bool missing = v.kind == FieldValue::Kind::Missing;
      if (missing || (v.kind == FieldValue::Kind::Number && !std::isnan(v.number)))
        indicator = missing ? 1.0 : v.number;
    }
    const std::size_t before = state_.history.size();
    confidence_stale_ |= field.present_by_default;
    record_element(state_, def, indicator);
    rank_history(before, s);
    return true;
  }
  // Made in place: a copy of the value, or an optional built beside it, costs more than the
  // rest of this function where the stores of its parts are read back whole.
  FieldValue& v = out_->emplace_back();
  const std::uint32_t s = def.abbreviation.empty() || quality ? kNoSlot : slot(def);
  const bool confidence = quality && def.code == kPercentConfidence && index_.confidences();
  const std::uint32_t column = confidence     ? confidence_column()
                               : s == kNoSlot ? PlannedField::kNoColumn
                                              : column_of(s);
  v = cell_at(column, row_);
  if (def.code == kDataPresentIndicator) {
    confidence_stale_ = true;
    if (v.kind == FieldValue::Kind::Missing) {
      v = FieldValue::of_number(1.0);
      bitmap_defaulted_ = true;
    }
  }
  const bool number = v.kind == FieldValue::Kind::Number && !std::isnan(v.number);
  const std::size_t before = state_.history.size();
  record_element(state_, def, number ? std::optional<double>(v.number) : std::nullopt);
  rank_history(before, s);
  if (!state_.new_references.empty() && !check_reference(def, s)) return false;
  return (associated_at_ == kNone && def.code != kAssociatedFieldSignificance) ||
         element_attributes(def, column, s);
}

bool RowPlanner::read_selected(const ElementParams& params, bool attribute) {
  const ElementDefinition& def = *params.def;
  if (attribute) return substituted_value(def);
  // Statistics (2-24, 2-25) are values of their own, numbered under the key of the element selected.
  if (def.abbreviation.empty())
    return fail_with(refuse_row({key_of(def), def.code, table_row_},
                                "a bitmap selects an element without a key: no column names its value"));
  const std::uint32_t column = column_of(slot(def));
  if (columnar()) {
    plan_->push_back({.column = column});
  } else {
    out_->push_back(cell_at(column, row_));
  }
  return true;
}

// A substituted or replaced value is an attribute of the element the bitmap selects: the column
// of that element at its rank, as ecCodes names it (#n#key->substitutedValue, or
// ->replacedRetainedValue), or a replaced value's own key (#n#replacedRetainedValue).
bool RowPlanner::substituted_value(const ElementDefinition& def) {
  const bool replaced = substitution_ == kReplaced;
  const std::uint32_t own = replaced ? column_of(slot(kReplacedKey)) : PlannedField::kNoColumn;
  const std::size_t h = bitmap_history_index(state_, state_.bitmap_cursor - 1);
  const std::uint32_t rank = h < history_ranks_.size() ? history_ranks_[h].first : 0;
  if (rank == 0 || def.abbreviation.empty())
    return fail_with(refuse_row({key_of(def), def.code, table_row_},
                                "a bitmap selects an element without a key for a substituted (2-23) or "
                                "replaced (2-32) value: no column names it"));
  const std::string attribute = std::string(def.abbreviation).append(substitution_);
  const int c = index_.find(attribute, rank);
  if (c >= 0 && own != PlannedField::kNoColumn)
    return fail_with(refuse_row({key_of(def), def.code, table_row_},
                                "its replaced (2-32) value is given twice: in " +
                                    numbered_key(rank, attribute) + " and in " +
                                    numbered_key(slots_[slot(kReplacedKey)].counter, kReplacedKey)));
  if (c < 0 && own == PlannedField::kNoColumn)
    return fail_with(refuse_row(
        {key_of(def), def.code, table_row_},
        "a bitmap selects it for a " + std::string(replaced ? "replaced (2-32)" : "substituted (2-23)") +
            " value: give column " + numbered_key(rank, attribute) +
            (replaced ? " (or " + numbered_key(slots_[slot(kReplacedKey)].counter, kReplacedKey) + ")"
                      : "")));
  const std::uint32_t column = c >= 0 ? static_cast<std::uint32_t>(c) : own;
  take(column);
  if (columnar()) {
    plan_->push_back({.column = column});
  } else {
    out_->push_back(cell_at(column, row_));
  }
  return true;
}

// The new reference of `code`: from the column of the element it is defined for, at the rank of
// its next occurrence, as ecCodes names it (#n#key->reference).
bool RowPlanner::define_reference(std::uint32_t code) {
  const ElementInfo* info = elements_.find(code);
  if (info == nullptr) return fail_with(BufrError::element_not_found(code));
  const ElementDefinition& def = *info->def;
  if (columnar())
    return fail_with(refuse_row({key_of(def), code, table_row_},
                                "new reference values (2-03) cannot be written compressed: quorvex's "
                                "readers refuse them in compressed data, and ecCodes does not write them "
                                "there; write this table uncompressed"));
  const std::uint32_t rank = occurrences(def.abbreviation) + 1;
  const int c =
      def.abbreviation.empty() ? -1 : index_.find(std::string(def.abbreviation).append(kReference), rank);
  if (c < 0 || !table_.columns[static_cast<std::size_t>(c)].valid(row_))
    return fail_with(refuse_row({key_of(def), code, table_row_},
                                "a new reference value (2-03) has no missing value: give column " +
                                    numbered_key(rank, def.abbreviation) + std::string(kReference)));
  take(static_cast<std::uint32_t>(c));
  const FieldValue v = table_.columns[static_cast<std::size_t>(c)].value(row_);
  out_->push_back(v);
  if (v.kind == FieldValue::Kind::Number && v.number == std::nearbyint(v.number) &&
      std::fabs(v.number) < 9.0e18)
    state_.new_references[code] = static_cast<std::int64_t>(v.number);
  return true;
}

// The reference columns of an element under a 2-03 definition: the defined value, where given.
bool RowPlanner::check_reference(const ElementDefinition& def, std::uint32_t slot) {
  const auto defined = state_.new_references.find(def.code);
  if (defined == state_.new_references.end() || slot == kNoSlot) return true;
  const std::uint32_t rank = slots_[slot].counter;
  const int c = index_.find(std::string(def.abbreviation).append(kReference), rank);
  if (c < 0) return true;
  take(static_cast<std::uint32_t>(c));
  const FieldValue given = cell_at(static_cast<std::uint32_t>(c), row_);
  if (given.kind == FieldValue::Kind::Number && given.number == static_cast<double>(defined->second))
    return true;
  return fail_with(refuse_value({key_of(def), def.code, table_row_},
                                given,
                                "in " + numbered_key(rank, def.abbreviation) + std::string(kReference) +
                                    " differs from the reference " + std::to_string(defined->second) +
                                    " a 2-03 definition set for it"));
}

std::uint32_t RowPlanner::confidence_column() {
  // The n-th percentage of confidence of a block qualifies the n-th element the bitmap selects:
  // the entries are looked through once per block, from where the last one was found.
  const std::size_t n = confidences_++;
  if (n == 0 || confidence_stale_ || confidence_bitmap_ != state_.bitmap.size()) {
    confidence_stale_ = false;
    confidence_entry_ = 0;
    confidence_selected_ = 0;
    confidence_bitmap_ = state_.bitmap.size();
  }
  for (std::size_t& e = confidence_entry_; e < state_.bitmap.size(); ++e) {
    if (state_.bitmap[e] != 0 || confidence_selected_++ != n) continue;
    const std::size_t h = bitmap_history_index(state_, e++);
    if (h >= state_.history.size() || h >= history_ranks_.size() || history_ranks_[h].first == 0)
      return PlannedField::kNoColumn;
    const auto [rank, key] = history_ranks_[h];
    const int c = ColumnIndex::find_in(confidence_ranks(key), rank);
    if (c < 0) return PlannedField::kNoColumn;
    take(static_cast<std::uint32_t>(c));
    return static_cast<std::uint32_t>(c);
  }
  return PlannedField::kNoColumn;
}

std::span<const std::pair<std::uint32_t, std::uint32_t>> RowPlanner::confidence_ranks(std::uint32_t slot) {
  if (confidence_ranks_.size() <= slot) confidence_ranks_.resize(slots_.size());
  auto& ranks = confidence_ranks_[slot];
  if (!ranks) ranks = index_.ranks(std::string(slots_[slot].key).append(kConfidence));
  return *ranks;
}

void RowPlanner::number_quality() {
  for (const QualityKey& q : quality_) {
    const std::uint32_t column = column_of(slot(*q.qualified));
    if (columnar()) {
      (*plan_)[q.value].column = column;
    } else {
      (*out_)[q.value] = cell_at(column, row_);
    }
  }
  quality_.clear();
}

bool RowPlanner::same_bitmap_entry(const ElementDefinition& def, std::uint32_t column) {
  if (column == PlannedField::kNoColumn) return true;  // 1 in every row
  // Numbers where they stand, looked at in one pass: a missing one (NaN) is 1. Where they
  // differ, the rows are looked at again one by one to name the first that differs.
  const InputColumn& numbers = table_.columns[column];
  const ColumnChunk& chunk = numbers.chunks.front();
  if (numbers.chunks.size() == 1 && chunk.type == ColumnChunk::Type::Float64 && !chunk.dictionary &&
      chunk.validity == nullptr) {
    const double* at = static_cast<const double*>(chunk.values) + (chunk.offset + row_) * chunk.stride;
    // A bitmap's indicators are columns side by side: the reads of the one after next are
    // started now, so that its numbers have arrived when it is looked at.
    if (column + 2 < table_.columns.size() && chunk.stride == 1) {
      const InputColumn& ahead = table_.columns[column + 2];
      const ColumnChunk& next = ahead.chunks.front();
      if (ahead.chunks.size() == 1 && next.type == ColumnChunk::Type::Float64 && next.stride == 1)
        prefetch_numbers({static_cast<const double*>(next.values) + next.offset + row_, end_ - row_});
    }
    const double first = at[0] == at[0] ? at[0] : 1.0;
    bool same = true;
    if (chunk.stride == 1) {
      same = every_number_is({at, end_ - row_}, first, 1.0);
    } else {
      for (std::size_t i = 1; i < end_ - row_; ++i) {
        const double v = at[i * chunk.stride];
        same &= (v == v ? v : 1.0) == first;
      }
    }
    if (same) {
      // One number in every row: the writer takes it as such, without reading the rows again.
      plan_->back().constant = true;
      plan_->back().number = first;
      return true;
    }
  }
  const auto entry = [&](std::size_t row) {
    const FieldValue v = cell_at(column, row);
    return v.kind == FieldValue::Kind::Missing ? FieldValue::of_number(1.0) : v;
  };
  const FieldValue first = entry(row_);
  for (std::size_t row = row_ + 1; row < end_; ++row) {
    const FieldValue other = entry(row);
    if (other.kind != first.kind || other.number != first.number)
      return fail_with(refuse_value({key_of(def), def.code, table_row_ + (row - row_)},
                                    other,
                                    "differs from row " + std::to_string(table_row_) +
                                        "'s: compressed data hold one bitmap for all subsets"));
  }
  return true;
}

bool RowPlanner::element_attributes(const ElementDefinition& def, std::uint32_t column, std::uint32_t slot) {
  const std::uint32_t rank = slot == kNoSlot ? 0 : slots_[slot].counter;
  if (associated_at_ != kNone) {
    if (slot == kNoSlot)
      return fail_with(
          refuse_row({key_of(def), def.code, table_row_},
                     "an element without a key carries an associated field: no column names it"));
    if (!place_associated(def, rank)) return false;
  }
  if (def.code == kAssociatedFieldSignificance) {
    if (significance_untold()) return fail_with(untold_significance());
    significance_at_ = columnar() ? plan_->size() - 1 : out_->size() - 1;
    significance_column_.clear();
    if (column != PlannedField::kNoColumn) significance_column_ = numbered_key(rank, def.abbreviation);
  }
  return true;
}

bool RowPlanner::place_associated(const ElementDefinition& def, std::uint32_t rank) {
  const std::string prefix = numbered_key(rank, def.abbreviation);
  const auto column = [&](std::string_view suffix) {
    const int c = index_.find(std::string(def.abbreviation).append(suffix), rank);
    if (c < 0) return PlannedField::kNoColumn;
    take(static_cast<std::uint32_t>(c));
    return static_cast<std::uint32_t>(c);
  };
  const std::uint32_t field = column(kAssociated);
  for (std::size_t row = row_; row < (columnar() ? end_ : row_ + 1); ++row) {
    if (field == PlannedField::kNoColumn || !table_.columns[field].valid(row))
      return fail_with(refuse_row(
          {&associated_field_name(), kAssociatedFieldCode, table_row_ + (row - row_)},
          "an associated field has no missing value: give column " + prefix + std::string(kAssociated)));
  }
  if (columnar()) {
    (*plan_)[associated_at_].column = field;
  } else {
    (*out_)[associated_at_] = cell_at(field, row_);
  }
  associated_at_ = kNone;
  const std::uint32_t significance = column(kSignificance);
  if (significance == PlannedField::kNoColumn) return true;
  const std::string named = prefix + std::string(kSignificance);
  if (significance_at_ == kNone)
    return fail_with(refuse_value({key_of(def), def.code, table_row_},
                                  cell_at(significance, row_),
                                  "is given in " + named + " where no 0-31-021 stands before the field"));
  if (significance_untold()) {
    if (columnar()) {
      (*plan_)[significance_at_].column = significance;
    } else {
      (*out_)[significance_at_] = cell_at(significance, row_);
    }
    significance_column_ = named;
    return true;
  }
  // One 0-31-021 gives the significance of every associated field up to the next.
  for (std::size_t row = row_; row < (columnar() ? end_ : row_ + 1); ++row) {
    const FieldValue given = cell_at(significance, row);
    const FieldValue held = significance_in(row);
    if (given.kind != held.kind || given.number != held.number)
      return fail_with(
          refuse_value({key_of(def), def.code, table_row_ + (row - row_)},
                       given,
                       "in " + named + " differs from " + value_text(held) + " in " + significance_column_ +
                           ": one 0-31-021 gives the significance of the fields up to the next"));
  }
  return true;
}

// The factor's own cell when it holds a value, else the repetitions the highest numbered
// key of the group present in the row asks for.
bool RowPlanner::read_factor(const ElementParams& params, std::uint64_t& count) {
  const ElementDefinition& def = *params.def;
  const std::uint32_t c = column_of(slot(def));
  FieldValue v;
  if (!factor_in_row(def, params.width, cell_at(c, row_), row_, v)) return false;
  if (columnar()) {
    // Compressed data hold one count for all rows.
    for (std::size_t row = row_ + 1; row < end_; ++row) {
      FieldValue other;
      if (!factor_in_row(def, params.width, cell_at(c, row), row, other)) return false;
      if (other.number != v.number)
        return fail_with(refuse_value({key_of(def), def.code, table_row_ + (row - row_)},
                                      other,
                                      "differs from row " + std::to_string(table_row_) +
                                          "'s: compressed data hold one replication count for all subsets"));
    }
    plan_->push_back({.constant = true, .number = v.number});
  } else {
    out_->push_back(v);
  }
  count = static_cast<std::uint64_t>(v.number);  // the walk records the factor in the history
  return true;
}

bool RowPlanner::factor_in_row(const ElementDefinition& def, std::uint16_t width, FieldValue v,
                               std::size_t row, FieldValue& count) {
  const std::size_t table_row = table_row_ + (row - row_);
  if (v.kind == FieldValue::Kind::Missing || (v.kind == FieldValue::Kind::Number && std::isnan(v.number))) {
    // The count the row's values ask for, and the count the columns ask for: repetitions that
    // hold no value but whose columns the table has (as a flat frame has them for all-missing
    // repetitions) are written too, missing, where no value of the row then moves (the keys
    // that do not tell the count hold none beyond what the row's own count covers).
    const auto repetitions = [&](bool columns) {
      std::uint64_t n = 0;
      for (const auto& [key, per_repetition] : group_keys_) {
        const std::uint32_t base = occurrences(key);
        const std::uint32_t highest = columns ? index_.highest_column(key) : index_.highest(table_, key, row);
        if (highest > base)
          n = std::max<std::uint64_t>(n, (highest - base + per_repetition - 1) / per_repetition);
      }
      return n;
    };
    std::uint64_t inferred = repetitions(false);
    if (const std::uint64_t by_columns = repetitions(true); by_columns > inferred) {
      const bool nothing_moves = std::all_of(other_keys_.begin(), other_keys_.end(), [&](const auto& k) {
        return index_.highest(table_, k.first, row) <= occurrences(k.first) + k.second * inferred;
      });
      if (nothing_moves) inferred = by_columns;
    }
    if (inferred == 0) {  // nothing the count can be told from: refused if a value would be lost
      for (const auto& [key, unused] : other_keys_) {
        if (const std::uint32_t highest = index_.highest(table_, key, row); highest > occurrences(key))
          return fail_with(
              refuse_row({key_of(def), def.code, table_row},
                         "the replication count cannot be told from the keys it repeats " + group_named() +
                             ": they occur elsewhere in the template too, or the group stands in "
                             "another replication, so " +
                             numbered_key(highest, key) +
                             " does not say which repetition it belongs to; add the count as "
                             "column " +
                             numbered_key(occurrences(def.abbreviation), def.abbreviation) +
                             " (the row's factors numbered in walk order)"));
      }
    }
    if (width < 64 && inferred > (std::uint64_t{1} << width) - 1)
      return fail_with(
          refuse_row({key_of(def), def.code, table_row},
                     "the highest numbered columns of the keys it repeats " + group_named() + " ask for " +
                         std::to_string(inferred) + " repetitions, more than its " + std::to_string(width) +
                         " bits count (at most " + std::to_string((std::uint64_t{1} << width) - 1) + ")"));
    v = FieldValue::of_number(static_cast<double>(inferred));
  }
  if (v.kind != FieldValue::Kind::Number || !(v.number >= 0) || v.number != std::floor(v.number))
    return fail_with(refuse_value({key_of(def), def.code, table_row}, v, "is no replication count"));
  count = v;
  return true;
}

// The keys of the group a refused count repeats, as "(key, key, ...)".
std::string RowPlanner::group_named() const {
  std::string keys = "(";
  std::size_t listed = 0;
  for (const auto* list : {&group_keys_, &other_keys_}) {
    for (const auto& [key, n] : *list) {
      if (listed++ < 4) keys.append(listed > 1 ? ", " : "").append(key);
    }
  }
  return keys.append(listed > 4 ? ", ...)" : ")");
}

void RowPlanner::count_key(std::string_view key, std::uint32_t times) {
  for (auto& [k, n] : group_keys_) {
    if (k == key) {
      n += times;
      return;
    }
  }
  group_keys_.emplace_back(key, times);
}

// Counts the keys of `steps`, `times` each: a nested fixed replication multiplies its keys'
// occurrences, a nested delayed one makes them unfit to tell the count (`untelling`).
void RowPlanner::group_steps(std::span<const ProgramStep> steps, std::uint32_t times, bool delayed,
                             std::unordered_map<std::string_view, std::uint32_t>& untelling) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const ProgramStep& s = steps[i];
    if (s.kind == ProgramStep::Kind::Element && s.element() != nullptr && !s.info.def->abbreviation.empty()) {
      if (delayed) {
        ++untelling[s.info.def->abbreviation];
      } else {
        count_key(s.info.def->abbreviation, times);
      }
    } else if (s.kind == ProgramStep::Kind::Fixed || s.kind == ProgramStep::Kind::Delayed) {
      const bool nested_delayed = delayed || s.kind == ProgramStep::Kind::Delayed;
      group_steps(
          steps.subspan(i + 1, s.body), nested_delayed ? 1 : times * s.count, nested_delayed, untelling);
      i += s.body;
    }
  }
}

void RowPlanner::delayed_steps(std::span<const ProgramStep> body) {
  group_keys_.clear();
  other_keys_.clear();
  std::unordered_map<std::string_view, std::uint32_t> untelling;
  group_steps(body, 1, false, untelling);
  for (const auto& [key, n] : untelling) other_keys_.emplace_back(key, 0);
  // A group inside another replication is met once per repetition of it: its keys' numbers
  // do not tell which of its counts they belong to.
  const bool nested = !top_level_.contains(body.data());
  std::erase_if(group_keys_, [&](const auto& k) {
    const auto total = places_.find(k.first);
    const bool telling =
        !nested && !untelling.contains(k.first) && total != places_.end() && total->second == k.second;
    if (!telling) other_keys_.push_back(k);
    return !telling;
  });
}

Status RowPlanner::finish_row() {
  number_quality();
  if (significance_untold()) return fail(untold_significance());
  // Every valid cell taken: nothing to name.
  if (row_ < valid_cells_.size() && valid_cells_[row_] == taken_valid_) return {};
  return untaken(row_, row_ + 1, bitmap_defaulted_);
}

void RowPlanner::count_valid_cells() {
  valid_cells_.assign(table_.rows, 0);
  for (std::uint32_t c = 0; c < table_.columns.size(); ++c) {
    if (taken_[c] == kHeaderColumn) continue;
    for (std::size_t row = 0; row < table_.rows; ++row) valid_cells_[row] += valid_at(c, row) ? 1 : 0;
  }
}

Status RowPlanner::finish_message() {
  number_quality();
  if (significance_untold()) return fail(untold_significance());
  std::vector<std::uint32_t> left;  // the columns of data no field took
  for (std::size_t c = 0; c < table_.columns.size(); ++c) {
    if (taken_[c] != kHeaderColumn && taken_[c] != end_) left.push_back(static_cast<std::uint32_t>(c));
  }
  if (left.empty()) return {};
  for (std::size_t row = row_; row < end_; ++row) {
    if (std::none_of(left.begin(), left.end(), [&](std::uint32_t c) { return table_.columns[c].valid(row); }))
      continue;
    const bool defaulted = std::any_of(plan_->begin(), plan_->end(), [&](const PlannedField& f) {
      return f.present_by_default && cell_at(f.column, row).kind == FieldValue::Kind::Missing;
    });
    return untaken(row, end_, defaulted);
  }
  return {};
}

Status RowPlanner::untaken(std::size_t row, std::size_t taken_mark, bool defaulted) const {
  for (std::size_t c = 0; c < table_.columns.size(); ++c) {
    const InputColumn& column = table_.columns[c];
    if (taken_[c] == kHeaderColumn || taken_[c] == taken_mark || !column.valid(row)) continue;
    return fail(BufrError::unencodable(column.name + ", row " + std::to_string(table_row_ + (row - row_)) +
                                       ": " + value_text(column.value(row)) +
                                       " is not written: the descriptors do not produce this key here (a "
                                       "replication count contradicted by the data?" +
                                       (defaulted ? " or a value a bitmap selects: without its "
                                                    "dataPresentIndicator columns, a bitmap selects none; "
                                                    "give them as columns #n#dataPresentIndicator (0: "
                                                    "present), numbered in walk order"
                                                  : "") +
                                       ")"));
  }
  return {};
}

// The planned fields of a message's rows, read from the table where they stand.
class PlannedColumns final : public FieldColumns {
 public:
  PlannedColumns(const InputTable& table, std::span<const PlannedField> plan, std::size_t first,
                 std::size_t end)
      : table_(table), plan_(plan), first_(first), end_(end) {}
  std::size_t subsets() const override { return end_ - first_; }
  std::size_t fields(std::size_t) const override { return plan_.size(); }
  FieldValue value(std::size_t f, std::size_t s) const override {
    const PlannedField& field = plan_[f];
    if (field.constant) return FieldValue::of_number(field.number);
    const std::size_t row = first_ + s;
    if (field.column != PlannedField::kNoColumn && table_.columns[field.column].valid(row))
      return table_.columns[field.column].value(row);
    return field.present_by_default ? FieldValue::of_number(1.0) : FieldValue::missing();
  }
  Status number_column(std::size_t f, const FieldFormat& format, FieldPlace place, std::span<NumberBits> out,
                       NumberRange& range) const override;
  bool one_value(std::size_t f) const override {
    return plan_[f].constant || plan_[f].column == PlannedField::kNoColumn;
  }
  std::span<const double> numbers(std::size_t f) const override {
    std::size_t stride = 1;
    const double* at = float_column(f, stride);
    if (at == nullptr || stride != 1 || plan_[f].present_by_default ||
        table_.columns[plan_[f].column].chunks.front().validity != nullptr)
      return {};
    return {at, subsets()};
  }

 private:
  // The float64 numbers of field `f` in the message's rows where they stand (null when the
  // field is no such column), and their stride.
  const double* float_column(std::size_t f, std::size_t& stride) const {
    if (f >= plan_.size() || plan_[f].constant || plan_[f].column == PlannedField::kNoColumn) return nullptr;
    const InputColumn& column = table_.columns[plan_[f].column];
    const ColumnChunk& chunk = column.chunks.front();
    if (column.chunks.size() != 1 || chunk.type != ColumnChunk::Type::Float64 || chunk.dictionary)
      return nullptr;
    stride = chunk.stride;
    return static_cast<const double*>(chunk.values) + (chunk.offset + first_) * chunk.stride;
  }

  const InputTable& table_;
  std::span<const PlannedField> plan_;
  std::size_t first_;
  std::size_t end_;
};

Status PlannedColumns::number_column(std::size_t f, const FieldFormat& format, FieldPlace place,
                                     std::span<NumberBits> out, NumberRange& range) const {
  const PlannedField& field = plan_[f];
  range = {};
  if (out.empty()) return {};
  if (field.constant || field.column == PlannedField::kNoColumn) {  // one value in every row
    const NumberBits bits = QV_TRY(number_bits(value(f, 0), format, place));
    std::fill(out.begin(), out.end(), bits);
    range.add(bits);
    range.missing = bits.missing ? out.size() : 0;
    return {};
  }
  std::size_t stride = 1;
  if (const double* at = float_column(f, stride); at != nullptr) {
    const ColumnChunk& chunk = table_.columns[field.column].chunks.front();
    const FieldValue missing = field.present_by_default ? FieldValue::of_number(1.0) : FieldValue::missing();
    return number_column_bits(
        at, stride, chunk.validity, chunk.offset + first_, missing, format, place, out, range);
  }
  return FieldColumns::number_column(f, format, place, out, range);
}

// The first row's cell of `#1#key` as an integer in 0..max, if it holds one.
std::optional<std::int64_t> first_value(const InputTable& table, const ColumnIndex& index,
                                        std::string_view key, std::size_t row) {
  const int c = index.find(key, 1);
  if (c < 0) return std::nullopt;
  const InputColumn& column = table.columns[static_cast<std::size_t>(c)];
  if (!column.valid(row)) return std::nullopt;
  const FieldValue cell = column.value(row);
  const double v = cell.number;
  if (cell.kind != FieldValue::Kind::Number) return std::nullopt;
  if (!(v >= 0 && v < 65536) || v != std::floor(v)) return std::nullopt;
  return static_cast<std::int64_t>(v);
}

// The header keys of the columns for the message of rows [first, end): the value of each
// settable key, the same in every row, over the caller's header where it did not set the key.
Status header_from_columns(const InputTable& table, const ColumnIndex& index, std::size_t first,
                           std::size_t end, const TableWriteOptions& options, BufrMessage& header) {
  for (const std::uint32_t c : index.header_columns()) {
    const InputColumn& column = table.columns[c];
    // decided by the writer, or of the local section, which is not written
    if (!settable_header_key(column.name)) continue;
    std::optional<std::size_t> held;  // the first row that holds a value
    for (std::size_t row = first; row < end; ++row) {
      if (!column.valid(row)) continue;
      const FieldValue v = column.value(row);
      const FieldValue h = held ? column.value(*held) : v;
      if (v.kind != FieldValue::Kind::Number || h.kind != FieldValue::Kind::Number)
        return fail(BufrError::unencodable(column.name + ", row " + std::to_string(options.first_row + row) +
                                           ": " + value_text(v) + " is no header value (a number)"));
      if (v.number != h.number)
        return fail(BufrError::unencodable(
            column.name + ", row " + std::to_string(options.first_row + row) + ": " + value_text(v) +
            " differs from row " + std::to_string(options.first_row + *held) +
            "'s in one message (a message has one header; write such rows to messages of their own)"));
      held = held.value_or(row);
    }
    if (!held) continue;
    const FieldValue v = column.value(*held);
    const std::string where = column.name + ", row " + std::to_string(options.first_row + *held) + ": ";
    if (v.number != std::floor(v.number) || std::fabs(v.number) > 1e15)
      return fail(BufrError::unencodable(where + value_text(v) + " is no header value"));
    const auto value = static_cast<std::int64_t>(v.number);
    const auto given = std::find_if(options.header_keys.begin(),
                                    options.header_keys.end(),
                                    [&](const auto& key) { return key.first == column.name; });
    if (given != options.header_keys.end()) {
      if (given->second != value)
        return fail(BufrError::unencodable(where + value_text(v) + " differs from the header's " +
                                           std::to_string(given->second)));
      continue;
    }
    const auto tables_of = [](const BufrMessage& m) {
      return std::tuple(m.master_table_number,
                        m.master_tables_version_number,
                        m.local_tables_version_number,
                        m.originating_centre,
                        m.originating_subcentre);
    };
    const auto chosen = tables_of(header);
    const Status set = set_header_key(header, column.name, value);
    if (!set) return fail(BufrError::unencodable(where + set.error().message()));
    if (tables_of(header) != chosen)  // the tables were chosen by the call's header
      return fail(BufrError::unencodable(where + value_text(v) +
                                         " chooses other tables than the header's: give it in the header"));
  }
  return {};
}

// The end of the message that starts at row `first`: after `per_message` rows, or (0) before
// the next row subsetNumber numbers 1, else at the end of the table.
std::size_t message_end(const InputTable& table, const ColumnIndex& index, std::size_t first,
                        std::size_t per_message) {
  if (per_message != 0) return std::min(table.rows, first + per_message);
  if (index.subset_number() < 0) return table.rows;
  const InputColumn& numbers = table.columns[static_cast<std::size_t>(index.subset_number())];
  const auto one = [&numbers](std::size_t row) {
    if (!numbers.valid(row)) return false;
    const FieldValue v = numbers.value(row);
    return v.kind == FieldValue::Kind::Number && v.number == 1.0;
  };
  std::size_t end = first + 1;
  while (end < table.rows && !one(end)) ++end;
  return end;
}

// The typical time of a message from its first row, where the header has none.
Status typical_time_from(const InputTable& table, const ColumnIndex& index, std::size_t row,
                         std::size_t table_row, BufrMessage& header) {
  if (header.typical_year != 0) return {};
  const auto year = first_value(table, index, "year", row);
  const auto month = first_value(table, index, "month", row);
  const auto day = first_value(table, index, "day", row);
  if (!year || !month || !day)
    return fail(BufrError::unencodable("row " + std::to_string(table_row) +
                                       ": no typical time: give header typicalYear, typicalMonth, typicalDay "
                                       "(and hour, minute, second), or columns #1#year, #1#month, #1#day"));
  header.typical_year = static_cast<std::uint16_t>(*year);
  header.typical_month = static_cast<std::uint8_t>(*month);
  header.typical_day = static_cast<std::uint8_t>(*day);
  header.typical_hour = static_cast<std::uint8_t>(first_value(table, index, "hour", row).value_or(0));
  header.typical_minute = static_cast<std::uint8_t>(first_value(table, index, "minute", row).value_or(0));
  header.typical_second = static_cast<std::uint8_t>(first_value(table, index, "second", row).value_or(0));
  return {};
}

// How many fields of each key one walk of `steps` meets outside delayed replications (fixed
// ones multiply); a key inside a delayed replication counts once per place.
std::unordered_map<std::string_view, std::uint32_t> template_places(std::span<const ProgramStep> steps,
                                                                    std::uint32_t times = 1) {
  std::unordered_map<std::string_view, std::uint32_t> places;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const ProgramStep& s = steps[i];
    if (s.kind == ProgramStep::Kind::Element && s.element() != nullptr) {
      places[s.info.def->abbreviation] += times;
    } else if (s.kind == ProgramStep::Kind::Fixed || s.kind == ProgramStep::Kind::Delayed) {
      const std::uint32_t inner = s.kind == ProgramStep::Kind::Fixed ? times * s.count : 1;
      for (const auto& [key, n] : template_places(steps.subspan(i + 1, s.body), inner)) places[key] += n;
      i += s.body;
    }
  }
  return places;
}

}  // namespace

Result<std::vector<std::uint8_t>> write_table(const InputTable& table,
                                              std::span<const std::uint32_t> descriptors,
                                              const BufrMessage& header, const TableSet& tables,
                                              TableWriteOptions options) {
  const ColumnIndex index = QV_TRY(ColumnIndex::of(table));
  std::optional<TemplateProgram> program;
  if (options.program == nullptr) program = compile_template(tables, descriptors);
  const TemplateProgram* compiled = options.program != nullptr ? options.program
                                    : program                  ? &*program
                                                               : nullptr;
  std::unordered_map<std::string_view, std::uint32_t> places;
  std::unordered_set<const ProgramStep*> top_level;
  if (compiled != nullptr) {
    places = template_places(compiled->steps());
    const std::span<const ProgramStep> steps = compiled->steps();
    for (std::size_t i = 0; i < steps.size(); ++i) {
      if (steps[i].kind == ProgramStep::Kind::Delayed) top_level.insert(steps.data() + i + 1);
      if (steps[i].kind == ProgramStep::Kind::Delayed || steps[i].kind == ProgramStep::Kind::Fixed)
        i += steps[i].body;
    }
  }
  // Substituted and replaced values are found by the ranks of the elements a bitmap selects.
  const bool substitutes =
      compiled == nullptr ||
      std::any_of(compiled->steps().begin(), compiled->steps().end(), [](const auto& s) {
        return s.kind == ProgramStep::Kind::Operator && (s.code == kSubstitution || s.code == kReplacement);
      });
  RowPlanner planner(tables, table, index, places, std::move(top_level), substitutes);
  DescriptorWalk walk(tables, planner, WorkLimits::steps(64 * (table.columns.size() + 1) * (table.rows + 1)));
  BufrMessage message = header;
  message.unexpanded_descriptors.assign(descriptors.begin(), descriptors.end());
  std::vector<std::uint8_t> out;
  std::vector<FieldValue> values;
  std::vector<std::size_t> starts;
  std::vector<PlannedField> plan;
  BufrMessage chunk;
  const auto walked = [&] {
    return (compiled != nullptr ? walk.replay(*compiled) : walk.walk(descriptors, 0))
               ? Status{}
               : fail(planner.take_error());
  };
  for (std::size_t first = 0, end = 0; first < table.rows; first = end) {
    end = message_end(table, index, first, options.subsets_per_message);
    if (options.compressed) {
      plan.clear();
      planner.start_message(first, end, options.first_row + first, plan);
      QV_CHECK(walked());
      QV_CHECK(planner.finish_message());
    } else {
      if (first == 0) planner.count_valid_cells();
      values.clear();
      starts.clear();
      for (std::size_t row = first; row < end; ++row) {
        starts.push_back(values.size());
        planner.start_row(row, options.first_row + row, values);
        QV_CHECK(walked());
        QV_CHECK(planner.finish_row());
      }
    }
    chunk = message;  // its vectors' room kept from message to message
    QV_CHECK(header_from_columns(table, index, first, end, options, chunk));
    QV_CHECK(typical_time_from(table, index, first, options.first_row + first, chunk));
    const MessageLayout layout{.header = chunk,
                               .local_section = {},
                               .compressed = options.compressed,
                               .first_row = options.first_row + first};
    QV_CHECK(options.compressed
                 ? append_message(out, layout, tables, PlannedColumns(table, plan, first, end), compiled)
                 : append_message(out, layout, tables, {values, starts}, compiled));
  }
  return out;
}

}  // namespace quorvex
