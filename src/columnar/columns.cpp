// The columnar decode: the messages are cut into runs of about equal size, and each thread
// takes the next run, decodes its messages one by one into a reused native record and
// appends their rows to the run's own batches. No value is held twice beyond one message.
#include "columnar/columns.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <optional>

#include "columnar/batch_builder.hpp"
#include "columnar/parallel.hpp"
#include "decode/decode.hpp"

namespace quorvex {

namespace {

// A run of messages is at least this many octets, so that a batch is not tiny.
constexpr std::size_t kMinRunOctets = std::size_t{256} << 10;

}  // namespace

std::int64_t ColumnarOutput::rows() const {
  std::int64_t n = 0;
  for (const auto& b : batches) n += b->rows;
  return n;
}

std::uint64_t MessageBudget::rows(std::size_t octets) const {
  const std::uint64_t by_size = kRowsPerOctet * octets + kRowAllowance;
  return std::min(by_size, max_rows);
}

std::uint64_t MessageBudget::text_octets(std::size_t octets) const {
  const std::uint64_t by_size = kTextPerOctet * octets + kTextAllowance;
  const std::uint64_t cap = max_rows > UINT64_MAX / kTextPerRow ? UINT64_MAX : max_rows * kTextPerRow;
  return std::min(by_size, cap);
}

std::uint64_t rows_of(const MessageValues& m) {
  if (m.compressed) return static_cast<std::uint64_t>(m.columns.columns.size()) * m.columns.subsets;
  return m.records.values.size() + m.records.passed_over;
}

std::optional<BufrError> over_budget(const MessageValues& m, std::size_t octets,
                                     const MessageBudget& budget) {
  const auto rule = [&budget] {  // written only for a message over its budget
    return std::to_string(MessageBudget::kRowsPerOctet) + " rows and " +
           std::to_string(MessageBudget::kTextPerOctet) +
           " octets of text per octet of the message, plus an allowance; at most " +
           std::to_string(budget.max_rows) + " rows, which max_message_rows raises";
  };
  const std::uint64_t rows = rows_of(m);
  if (rows > budget.rows(octets)) return BufrError::over_budget("rows", rows, budget.rows(octets), rule());
  const std::uint64_t text = text_bytes_of(m);
  if (text > budget.text_octets(octets)) {
    return BufrError::over_budget("octets of text", text, budget.text_octets(octets), rule());
  }
  return std::nullopt;
}

// Octets of the text column for the message's values (in compressed data the subsets of a
// text that does not vary share one text).
std::size_t text_bytes_of(const MessageValues& m) {
  std::size_t n = 0;
  if (m.compressed) {
    const CompressedValues& c = m.columns;
    for (const CompressedColumn& col : c.columns) {
      if (col.kind != CompressedColumn::Kind::Text) continue;
      if (!col.varying) {
        if (col.fixed.has_text()) n += c.subsets * c.texts[col.fixed.text_index].size();
        continue;
      }
      for (std::size_t s = 0; s < c.subsets; ++s) {
        const std::uint64_t index = c.cells[col.first + s];
        if (index != kNoCompressedText) n += c.texts[index].size();
      }
    }
    return n;
  }
  // Each text value of uncompressed data has a text of its own.
  for (const std::string& text : m.records.texts) n += text.size();
  return n;
}

// The message's parse, tables and decode into `out`; false with `error` set on failure.
bool decode_one(std::span<const Bytes> sources, const MessageRef& ref, TableChooser& chooser, bool programs,
                MessageValues& out, std::shared_ptr<const TableSet>& tables, std::optional<BufrError>& error,
                WantedOf wanted_of, void* context, MessageStructure* structure) {
  DecodeMemo memo;
  return decode_one(sources, ref, chooser, programs, out, memo, tables, error, wanted_of, context, structure);
}

bool decode_one(std::span<const Bytes> sources, const MessageRef& ref, TableChooser& chooser, bool programs,
                MessageValues& out, DecodeMemo& memo, std::shared_ptr<const TableSet>& tables,
                std::optional<BufrError>& error, WantedOf wanted_of, void* context,
                MessageStructure* structure) {
  auto failed = [&error](BufrError e) {
    error = std::move(e);
    return false;
  };
  if (ref.source >= sources.size()) return failed(BufrError::too_short());
  const Bytes source = sources[ref.source];
  if (ref.offset > source.size() || ref.length > source.size() - ref.offset) {
    return failed(BufrError::message_overrun(ref.offset, ref.length));
  }
  const Bytes octets = source.subspan(ref.offset, ref.length);
  BufrMessage& message = memo.message;
  if (Status parsed = parse_message(octets, memo.parse, message); !parsed) return failed(parsed.error());
  Result<const ChosenTables*> chosen = chooser.choose(message, memo.tables);
  if (!chosen) return failed(chosen.error());
  if (tables != (*chosen)->tables) tables = (*chosen)->tables;
  static const std::shared_ptr<const TemplateProgram> none;
  const std::shared_ptr<const TemplateProgram>& program =
      programs ? chooser.programs().get(tables, message.unexpanded_descriptors, memo.program) : none;
  const WantedRead wanted = wanted_of != nullptr ? wanted_of(context, tables, program) : WantedRead{};
  Status decoded = decode_message_values(message,
                                         *tables,
                                         section4_data(octets, message),
                                         out,
                                         program.get(),
                                         wanted.elements,
                                         structure,
                                         wanted.skips);
  if (!decoded) return failed(decoded.error());
  return true;
}

namespace {

struct RunOutput {
  std::vector<std::shared_ptr<ColumnBatch>> batches;
  std::vector<BadMessage> bad;
};

}  // namespace

// Cuts `messages` into runs of consecutive messages: one run per thread would leave a
// thread idle whenever its run is quick, so there are a few per thread.
std::vector<std::size_t> run_bounds(std::span<const MessageRef> messages, unsigned threads) {
  std::size_t total = 0;
  for (const MessageRef& m : messages) total += m.length;
  const std::size_t target =
      threads == 1 ? std::numeric_limits<std::size_t>::max() : std::max(kMinRunOctets, total / (4 * threads));
  std::vector<std::size_t> bounds{0};
  std::size_t octets = 0;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    octets += messages[i].length;
    if (octets >= target && i + 1 < messages.size()) {
      bounds.push_back(i + 1);
      octets = 0;
    }
  }
  bounds.push_back(messages.size());
  return bounds;
}

ColumnarOutput decode_columns(std::span<const Bytes> sources, std::span<const MessageRef> messages,
                              TableChooser& chooser, const ColumnarOptions& options) {
  const unsigned threads = std::max(1u, options.threads);
  const std::vector<std::size_t> bounds = run_bounds(messages, threads);
  const std::size_t runs = bounds.size() - 1;
  std::vector<RunOutput> outputs(runs);
  std::atomic<std::size_t> next{0};
  run_on_threads(static_cast<unsigned>(std::min<std::size_t>(threads, runs)), [&](unsigned) {
    MessageValues scratch;
    DecodeMemo memo;
    std::shared_ptr<const TableSet> tables;
    std::optional<BufrError> error;
    for (std::size_t run; (run = next.fetch_add(1, std::memory_order_relaxed)) < runs;) {
      BatchBuilder builder(options);
      RunOutput& out = outputs[run];
      for (std::size_t i = bounds[run]; i < bounds[run + 1]; ++i) {
        const MessageRef& ref = messages[i];
        if (!decode_one(sources, ref, chooser, options.programs, scratch, memo, tables, error)) {
          out.bad.push_back(BadMessage{ref.index, ref.offset, std::move(*error), ref.source});
          continue;
        }
        if (std::optional<BufrError> over = over_budget(scratch, ref.length, options.budget)) {
          out.bad.push_back(BadMessage{ref.index, ref.offset, std::move(*over), ref.source});
          continue;
        }
        const std::size_t text_bytes = text_bytes_of(scratch);
        if (text_bytes > kMaxUtf8Bytes) {
          out.bad.push_back(BadMessage{ref.index, ref.offset, BufrError::batch_text_overflow(), ref.source});
          continue;
        }
        builder.append(scratch, text_bytes, ref, tables);
      }
      out.batches = builder.take();
    }
  });

  ColumnarOutput result;
  for (RunOutput& out : outputs) {
    for (auto& b : out.batches) {
      if (b->rows > 0) result.batches.push_back(std::move(b));
    }
    for (BadMessage& m : out.bad) result.bad.push_back(std::move(m));
  }
  if (result.batches.empty()) result.batches = BatchBuilder(options).take(true);
  return result;
}

}  // namespace quorvex
