// Hands a ColumnBatch to an Arrow consumer through the C data interface without copying
// its buffers: the exported structs share ownership of the batch until released.
#pragma once

#include <memory>

#include "columnar/arrow_abi.hpp"
#include "columnar/columns.hpp"

namespace quorvex {

// The batch's schema: a struct of its columns (message, source when present, subset,
// descriptor, name, unit, value, text, raw, meaning, and key, rank and role
// when present).
void export_schema(const ColumnBatch& batch, ArrowSchema* out);

// The batch as a struct array of that schema.
void export_array(std::shared_ptr<const ColumnBatch> batch, ArrowArray* out);

// A stream of the given batches (possibly none), all of the schema of `schema_of`.
void export_stream(std::shared_ptr<const ColumnBatch> schema_of,
                   std::vector<std::shared_ptr<const ColumnBatch>> batches, ArrowArrayStream* out);

}  // namespace quorvex
