// The records of the table store file, shared by its writer and its reader. The file is a
// header followed by arrays of these records (native byte order, little-endian machines
// only; the build makes the file for the machine it builds for). Each array starts on an
// 8-byte boundary.
#pragma once

#include <array>
#include <cstdint>

namespace quorvex::store_format {

inline constexpr std::array<char, 8> kMagic{'Q', 'V', 'T', 'A', 'B', 'L', 'E', 'S'};
inline constexpr std::uint32_t kFormat = 1;

enum Section : std::uint32_t {
  kStrings,        // char: the interned texts, back to back
  kStringOffsets,  // u32: start of text i; one more entry ends the last text
  kContents,       // Content
  kLayers,         // Layer
  kElements,       // Element
  kSequences,      // Sequence
  kMembers,        // u32: the members of the sequences
  kCodeTables,     // CodeTableRecord
  kMeanings,       // Meaning
  kSectionCount,
};

struct Span {
  std::uint64_t offset = 0;  // bytes from the start of the file
  std::uint64_t count = 0;   // records
};

struct Header {
  std::array<char, 8> magic = kMagic;
  std::uint32_t format = kFormat;
  std::uint32_t sections = kSectionCount;
  std::array<Span, kSectionCount> spans{};
};

// A run of records [begin, end) of one array.
struct Range {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
};

// The entries of one table source (the WMO tables of a master table over all its versions,
// or one distinct local table directory): runs of the element, sequence and code table
// arrays, each sorted by code then first version.
struct Content {
  Range elements;
  Range sequences;
  Range code_tables;
};

enum LayerKind : std::uint8_t { kWmo, kLocal };

// A WMO master table (its versions in `versions`) or one local table directory
// (master table, directory name such as "1" or "19-1", centre and sub-centre).
struct Layer {
  std::uint8_t kind = kWmo;
  std::uint8_t master_table = 0;
  std::uint16_t centre = 0;
  std::uint16_t subcentre = 0;
  std::uint16_t reserved = 0;
  std::uint32_t name = 0;  // text id of the local directory name
  std::uint32_t content = 0;
  std::array<std::uint64_t, 4> versions{};  // bit v: master version v is held
};

// One Table B entry and the versions [first, last] holding it (0, 0 in a local content).
struct Element {
  std::uint32_t code = 0;
  std::uint8_t first = 0;
  std::uint8_t last = 0;
  std::uint16_t width = 0;
  std::int32_t scale = 0;
  std::uint32_t key = 0;  // text ids
  std::int64_t reference = 0;
  std::uint32_t type = 0;
  std::uint32_t name = 0;
  std::uint32_t unit = 0;
  std::uint32_t reserved = 0;
};

struct Sequence {
  std::uint32_t code = 0;
  std::uint8_t first = 0;
  std::uint8_t last = 0;
  std::uint16_t reserved = 0;
  Range members;
};

struct CodeTableRecord {
  std::uint32_t code = 0;
  std::uint8_t first = 0;
  std::uint8_t last = 0;
  std::uint16_t reserved = 0;
  Range meanings;
};

struct Meaning {
  std::uint64_t raw = 0;
  std::uint32_t text = 0;
  std::uint32_t reserved = 0;
};

}  // namespace quorvex::store_format
