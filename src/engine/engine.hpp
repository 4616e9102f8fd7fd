// quorvex._engine: the columnar decoder's Python surface. The pieces the module's files
// share: its state, buffers, the message argument, and errors handed over as data.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/frame_py.hpp"
#include "message/message.hpp"

namespace quorvex {
struct BadMessage;
struct ColumnBatch;
class TableChooser;
class TableSet;
struct TableRequest;
}  // namespace quorvex

namespace quorvex::py {

// What the module keeps per interpreter: its classes, made from their type descriptions at import.
struct EngineState {
  PyTypeObject* tables_type = nullptr;
  PyTypeObject* batch_type = nullptr;
  PyTypeObject* table_set_type = nullptr;
  PyTypeObject* table_element_type = nullptr;
  PyTypeObject* table_sequence_type = nullptr;
};

// The state of the module object `module` (a module function's `self`).
EngineState& engine_state(PyObject* module);
// The state of the module that made `type` (one of the module's classes).
EngineState& engine_state_of(PyTypeObject* type);

// A contiguous read-only view of any object with the buffer protocol, released with it.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  BufferView(BufferView&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  // False with a TypeError naming `arg` when `o` offers no contiguous buffer.
  [[nodiscard]] bool acquire(PyObject* o, const char* arg);
  // The same for an array whose layout is looked at (its format kept), writable if asked.
  [[nodiscard]] bool acquire_array(PyObject* o, const char* arg, bool writable = false);
  Bytes bytes() const {
    return Bytes(static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len));
  }
  void* data() const { return view_.buf; }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }
  // Whether its items are native 64-bit integers, one dimension.
  bool int64_items() const;

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// A non-negative int (through __index__) that fits a Py_ssize_t; a ValueError naming `arg`
// when it is negative.
[[nodiscard]] bool to_offset(PyObject* o, const char* arg, std::size_t& out);

// The arguments (buffer, offset, length), already parsed by the frame, of a call about one
// message: the octets [offset, offset + length) of the buffer parsed as a message of
// edition 2, 3 or 4. False with the Python error set (a bad argument, a slice outside the
// buffer, a bad header).
[[nodiscard]] bool message_argument(PyObject* const* parsed, BufrMessage& out);
// The argument names of such a call.
inline constexpr const char* kMessageNames[] = {"buffer", "offset", "length"};

// An error handed to Python as data: (kind, reason), kind one of kind_name()'s names.
PyObject* new_error_data(const BufrError& e);

bool register_engine_tables(PyObject* m, EngineState& state);     // class Tables
bool register_engine_table_set(PyObject* m, EngineState& state);  // class TableSet
bool register_engine_batch(PyObject* m, EngineState& state);      // class Batch, decode()
bool register_engine_headers(PyObject* m);                        // header_keys(), read_header_keys()
bool register_engine_tree(PyObject* m);                           // read_tree()
bool register_engine_encode(PyObject* m);                         // reencode()
bool register_engine_computed(PyObject* m);                       // date_stamps()

// A Batch of the long table's batches (of `state.batch_type`).
PyObject* new_long_batch(PyTypeObject* type, std::vector<std::shared_ptr<ColumnBatch>> batches);
// [(message index, offset, kind, reason, source position), ...] of bad messages.
PyObject* bad_messages(const std::vector<BadMessage>& bad);
// The max_message_rows argument (null: the default kept): an int of at least 1.
[[nodiscard]] bool max_rows_argument(PyObject* o, std::uint64_t& out);

// The chooser of a Tables object; `o` must be one (checked against the state's type).
TableChooser& tables_chooser(PyObject* o);

// The `tables` argument of the readers: None, a definitions root (str or os.PathLike) or a
// quorvex.TableSet. False with a TypeError for anything else.
[[nodiscard]] bool tables_request(const EngineState& state, PyObject* arg, TableRequest& out);
// The package's table store, beside the module.
const std::string& table_store_path();
// Warns (UserWarning) the chooser's new notes; false when a warning became an error.
[[nodiscard]] bool warn_table_notes(TableChooser& chooser);

// quorvex.TableSet: the tables of one (o must be one), and a new one of `type`.
std::shared_ptr<const TableSet> engine_table_set(PyObject* o);
PyObject* new_engine_table_set(std::shared_ptr<const TableSet> tables, std::string source,
                               PyTypeObject* type);
}  // namespace quorvex::py
