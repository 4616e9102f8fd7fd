// The Python classes ElementDefinition and SequenceDefinition: read-only copies of one
// Table B or Table D entry, made only by TableSet lookups.
#pragma once

#include "lib/frame_py.hpp"

namespace quorvex::py {

// New objects holding a copy of the definition; nullptr with an exception set.
PyObject* new_element_definition(const ElementDefinition& def);
PyObject* new_sequence_definition(const SequenceDefinition& def);

// Adds both classes to the module, ElementDefinition first.
bool register_definition_classes(PyObject* m);

}  // namespace quorvex::py
