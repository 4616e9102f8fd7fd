// The object layout of the Python class TableSet. quorvex._engine, built from the same
// sources, reads the set of a TableSet object it is given through this declaration.
#pragma once

#include "lib/str_table_py.hpp"
#include "tables/table_set.hpp"

namespace quorvex::py {

// The set, and the Python strs of its element names, made with the object so that decoded
// values share them: the set never changes afterwards, so neither do they.
struct TableSetObject {
  PyObject_HEAD
  TableSet tables;
  StrTable names;
};

}  // namespace quorvex::py
