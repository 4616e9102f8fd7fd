// Survives a mapped file that shrinks while it is read. Reading a page of a file mapping
// past the file's new end raises SIGBUS, which would kill the process; inside a watched
// range the handler instead maps a page of zeros over the faulting page, so the read goes
// on, and records the fault so that the reader can discard what it read and raise.
//
// This was chosen over reading files by windows into memory because it keeps the zero-copy
// reads of mapped files (the engine and the lazy message handles read the mapping in
// place) and covers every reader of a mapping, Python's own slicing included, with one
// mechanism; the cost is a check after each read. Faults outside watched ranges go to the
// handler that was installed before (or the default action).
#pragma once

#include <cstddef>

namespace quorvex {

// Watches [start, start + length): a slot number, or -1 when every slot is taken (the
// caller then reads the file without a mapping). Installs the handler on first use.
[[nodiscard]] int watch_mapping(const void* start, std::size_t length);
// Whether a page of the slot's range faulted since it was watched.
[[nodiscard]] bool mapping_faulted(int slot);
// Stops watching (before the mapping is closed); whether a page of it faulted.
bool unwatch_mapping(int slot);

}  // namespace quorvex
