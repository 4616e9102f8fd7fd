#include "columnar/arrow_export.hpp"

#include <cerrno>
#include <exception>
#include <new>
#include <string>
#include <vector>

namespace quorvex {

namespace {}  // namespace

std::vector<ColumnSpec> ColumnBatch::columns() const {
  const ColumnBatch& b = *this;
  auto dict = []<class Index>(
                  const char* name, const Buffer<Index>& ids, const Bitmap* valid, const Dictionary& d) {
    return ColumnSpec{name, sizeof(Index) == 2 ? "s" : "i", valid, {ids.data()}, &d.utf8, d.values.size()};
  };
  std::vector<ColumnSpec> c;
  c.push_back({"message", "l", nullptr, {b.message.data()}, nullptr, 0});
  if (b.with_source) c.push_back({"source", "i", nullptr, {b.source.data()}, nullptr, 0});
  c.push_back({"subset", "i", nullptr, {b.subset.data()}, nullptr, 0});
  c.push_back({"descriptor", "I", nullptr, {b.descriptor.data()}, nullptr, 0});
  c.push_back(dict("name", b.name, nullptr, b.names));
  c.push_back(dict("unit", b.unit, &b.unit_valid, b.units));
  c.push_back({"value", "g", &b.value_valid, {b.value.data()}, nullptr, 0});
  c.push_back({"text", "u", &b.text_valid, {b.text.offsets.data(), b.text.data.data()}, nullptr, 0});
  c.push_back({"raw", "L", &b.raw_valid, {b.raw.data()}, nullptr, 0});
  c.push_back(dict("meaning", b.meaning, &b.meaning_valid, b.meanings));
  if (b.with_keys) {
    c.push_back(dict("key", b.key, &b.key_valid, b.keys));
    c.push_back({"rank", "i", &b.rank_valid, {b.rank.data()}, nullptr, 0});
    c.push_back(dict("role", b.role, nullptr, b.roles));
  }
  return c;
}

namespace {

// --- schemas

struct SchemaNode {
  std::string format;
  std::string name;
  std::vector<ArrowSchema*> children;
  ArrowSchema* dictionary = nullptr;
};

// Releases a struct of the interface and what its node owns: the children and the
// dictionary (each released first unless the consumer moved it out), then the node.
template <class Struct, class Node>
void release_node(Struct* s) {
  auto* node = static_cast<Node*>(s->private_data);
  auto drop = [](Struct* owned) {
    if (owned->release != nullptr) owned->release(owned);
    delete owned;
  };
  for (Struct* child : node->children) drop(child);
  if (node->dictionary != nullptr) drop(node->dictionary);
  delete node;
  s->release = nullptr;
}

void fill_schema(ArrowSchema* s, const char* format, const char* name, std::int64_t flags) {
  auto* node = new SchemaNode{format, name, {}, nullptr};
  *s = ArrowSchema{node->format.c_str(),
                   node->name.c_str(),
                   nullptr,
                   flags,
                   0,
                   nullptr,
                   nullptr,
                   release_node<ArrowSchema, SchemaNode>,
                   node};
}

SchemaNode* schema_node(ArrowSchema* s) { return static_cast<SchemaNode*>(s->private_data); }

// --- arrays

struct ArrayNode {
  std::shared_ptr<const ExportedBatch> owner;
  std::vector<const void*> buffers;
  std::vector<ArrowArray*> children;
  ArrowArray* dictionary = nullptr;
};

ArrayNode* fill_array(ArrowArray* a, std::shared_ptr<const ExportedBatch> owner, std::int64_t length,
                      std::int64_t null_count, std::vector<const void*> buffers) {
  auto* node = new ArrayNode{std::move(owner), std::move(buffers), {}, nullptr};
  *a = ArrowArray{length,
                  null_count,
                  0,
                  static_cast<std::int64_t>(node->buffers.size()),
                  0,
                  node->buffers.data(),
                  nullptr,
                  nullptr,
                  release_node<ArrowArray, ArrayNode>,
                  node};
  return node;
}

// Runs an export that may throw (only std::bad_alloc can): 0, or ENOMEM with whatever was
// built of `out` released. `out` is released-empty before anything is built, so a failure
// at any step leaves nothing behind.
template <class Struct, class Build>
int exported(Struct* out, Build&& build) noexcept {
  out->release = nullptr;
  try {
    build();
    return 0;
  } catch (...) {
    if (out->release != nullptr) out->release(out);
    return ENOMEM;
  }
}

// A new zeroed struct (release null), already owned by `owner` before it is filled.
template <class Struct>
Struct* adopt(std::vector<Struct*>& owner) {
  owner.push_back(nullptr);  // capacity reserved by the caller: cannot throw
  owner.back() = new Struct{};
  return owner.back();
}

}  // namespace

int export_schema(const ExportedBatch& batch, ArrowSchema* out) noexcept {
  return exported(out, [&] {
    const std::vector<ColumnSpec> columns = batch.columns();
    fill_schema(out, "+s", "", 0);
    SchemaNode* top = schema_node(out);
    top->children.reserve(columns.size());
    for (const ColumnSpec& c : columns) {
      ArrowSchema* child = adopt(top->children);
      fill_schema(child, c.format, c.name, c.valid != nullptr ? ARROW_FLAG_NULLABLE : 0);
      if (c.dictionary != nullptr) {
        SchemaNode* node = schema_node(child);
        node->dictionary = new ArrowSchema{};
        fill_schema(node->dictionary, "u", "", ARROW_FLAG_NULLABLE);
        child->dictionary = node->dictionary;
      }
    }
    out->n_children = static_cast<std::int64_t>(top->children.size());
    out->children = top->children.data();
  });
}

int export_array(std::shared_ptr<const ExportedBatch> batch, ArrowArray* out) noexcept {
  return exported(out, [&] {
    const ExportedBatch& b = *batch;
    const std::vector<ColumnSpec> columns = b.columns();
    const std::int64_t rows = b.row_count();
    ArrayNode* top = fill_array(out, batch, rows, 0, {nullptr});
    top->children.reserve(columns.size());
    for (const ColumnSpec& c : columns) {
      std::vector<const void*> buffers{c.valid != nullptr ? c.valid->bits.data() : nullptr};
      buffers.insert(buffers.end(), c.buffers.begin(), c.buffers.end());
      ArrowArray* child = adopt(top->children);
      ArrayNode* node =
          fill_array(child, batch, rows, c.valid != nullptr ? c.valid->null_count : 0, std::move(buffers));
      if (c.dictionary != nullptr) {
        node->dictionary = new ArrowArray{};
        fill_array(node->dictionary,
                   batch,
                   static_cast<std::int64_t>(c.dictionary_size),
                   0,
                   {nullptr, c.dictionary->offsets.data(), c.dictionary->data.data()});
        child->dictionary = node->dictionary;
      }
    }
    out->n_children = static_cast<std::int64_t>(top->children.size());
    out->children = top->children.data();
  });
}

namespace {

struct StreamState {
  std::shared_ptr<const ExportedBatch> schema_of;
  std::vector<std::shared_ptr<const ExportedBatch>> batches;
  std::size_t next = 0;
  const char* last_error = nullptr;  // a static text, or null before any failure
};

StreamState* stream_state(ArrowArrayStream* s) { return static_cast<StreamState*>(s->private_data); }

// The errno code of a failed export, its text kept for get_last_error.
int stream_failure(StreamState* state, int code, const char* text) noexcept {
  state->last_error = text;
  return code;
}

int stream_schema(ArrowArrayStream* s, ArrowSchema* out) {
  StreamState* state = stream_state(s);
  const int code = export_schema(*state->schema_of, out);
  return code == 0 ? 0 : stream_failure(state, code, "out of memory while exporting the schema");
}

int stream_next(ArrowArrayStream* s, ArrowArray* out) {
  StreamState* state = stream_state(s);
  if (state->next >= state->batches.size()) {
    out->release = nullptr;  // end of the stream
    return 0;
  }
  // The batch stays in the stream until its export succeeds, so a failed call can be retried.
  const int code = export_array(state->batches[state->next], out);
  if (code != 0) return stream_failure(state, code, "out of memory while exporting a record batch");
  state->batches[state->next++].reset();
  return 0;
}

const char* stream_error(ArrowArrayStream* s) { return stream_state(s)->last_error; }

void stream_release(ArrowArrayStream* s) {
  delete static_cast<StreamState*>(s->private_data);
  s->release = nullptr;
}

}  // namespace

int export_stream(std::shared_ptr<const ExportedBatch> schema_of,
                  std::vector<std::shared_ptr<const ExportedBatch>> batches, ArrowArrayStream* out) noexcept {
  out->release = nullptr;
  auto* state = new (std::nothrow) StreamState{std::move(schema_of), std::move(batches), 0, nullptr};
  if (state == nullptr) return ENOMEM;
  *out = ArrowArrayStream{stream_schema, stream_next, stream_error, stream_release, state};
  return 0;
}

}  // namespace quorvex
