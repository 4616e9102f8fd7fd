// quorvex._engine: the columnar decoder's Python surface. The pieces the module's files
// share.
#pragma once

#include "lib/frame_py.hpp"
#include "message/message.hpp"

namespace quorvex::py {

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
  Bytes bytes() const {
    return Bytes(static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len));
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The arguments (buffer, offset, length) of a call about one message: the octets
// [offset, offset + length) of the buffer parsed as a message of edition 2, 3 or 4. False
// with the Python error set (a bad argument, a slice outside the buffer, a bad header).
// `format` is PyArg_ParseTupleAndKeywords's, e.g. "Onn:read_header".
[[nodiscard]] bool message_argument(PyObject* args, PyObject* kwargs, const char* format, BufrMessage& out);

bool register_engine_tables(PyObject* m);   // class Tables
bool register_engine_batch(PyObject* m);    // class Batch, decode()
bool register_engine_headers(PyObject* m);  // header_keys(), read_header_keys()

}  // namespace quorvex::py

namespace quorvex {
class TableChooser;
}

namespace quorvex::py {
// The chooser of a Tables object; `o` must be one (checked with engine_tables_type()).
PyTypeObject* engine_tables_type();
TableChooser& tables_chooser(PyObject* o);
}  // namespace quorvex::py
