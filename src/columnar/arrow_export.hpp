// Hands a batch of columns (the long table, rows) to an Arrow consumer through the C data interface without
// copying its buffers: the exported structs share ownership of the batch until released.
//
// Nothing here throws. Each export returns 0, or an errno code (ENOMEM) with `out` left
// released (its release member null); the stream's callbacks do the same and keep the text
// of their last failure for get_last_error.
#pragma once

#include <memory>
#include <vector>

#include "columnar/arrow_abi.hpp"
#include "columnar/columns.hpp"

namespace quorvex {

// The batch's schema: a struct of its columns (message, source when present, subset,
// descriptor, name, unit, value, text, raw, meaning, and key, rank and role when present).
[[nodiscard]] int export_schema(const ExportedBatch& batch, ArrowSchema* out) noexcept;

// The batch as a struct array of that schema.
[[nodiscard]] int export_array(std::shared_ptr<const ExportedBatch> batch, ArrowArray* out) noexcept;

// A stream of the given batches (possibly none), all of the schema of `schema_of`.
[[nodiscard]] int export_stream(std::shared_ptr<const ExportedBatch> schema_of,
                                std::vector<std::shared_ptr<const ExportedBatch>> batches,
                                ArrowArrayStream* out) noexcept;

}  // namespace quorvex
