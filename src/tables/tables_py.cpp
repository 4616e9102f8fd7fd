// The Python class TableSet: an immutable set of BUFR tables with its loaders as static
// methods, lookups returning copies, and static descriptor expansion.
#include <new>
#include <string>
#include <utility>

#include "decode/expand.hpp"
#include "lib/str_table_py.hpp"
#include "tables/definition_py.hpp"
#include "tables/definitions.hpp"
#include "tables/eccodes_loader.hpp"
#include "tables/table_set_py.hpp"
#include "tables/wmo_csv_loader.hpp"

namespace quorvex::py {

namespace {

PyTypeObject* tables_type = nullptr;

TableSetObject* as_tables(PyObject* self) { return reinterpret_cast<TableSetObject*>(self); }
const TableSet& tables_of(PyObject* self) { return as_tables(self)->tables; }

PyObject* new_table_set(TableSet&& tables) {
  PyRef self = PyRef::steal(tables_type->tp_alloc(tables_type, 0));
  if (!self) return nullptr;
  TableSetObject* t = as_tables(self.get());
  new (&t->tables) TableSet(std::move(tables));
  new (&t->names) StrTable();
  t->names.reserve(t->tables.element_count());
  for (const auto& [code, def] : t->tables.elements()) {
    if (t->names.get(&def.name) == nullptr) return nullptr;
  }
  return self.release();
}

PyObject* table_set_or_raise(Result<TableSet>&& loaded) {
  if (!loaded) return raise(loaded.error());
  return new_table_set(std::move(*loaded));
}

constexpr const char* kPathNames[] = {"path"};
constexpr const char* kDefinitionsNames[] = {"path", "message"};
constexpr const char* kCodeNames[] = {"code"};
constexpr const char* kMeaningNames[] = {"code", "raw"};
constexpr const char* kDescriptorsNames[] = {"descriptors"};

// The one `path` argument of a loader.
bool path_argument(const char* qualname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::string& path) {
  PyObject* argv[1];
  return parse_args({qualname, kPathNames, 1}, args, nargs, kwnames, argv) && to_path(argv[0], "path", path);
}

PyObject* from_eccodes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string path;
    if (!path_argument("TableSet.from_eccodes", args, nargs, kwnames, path)) return nullptr;
    return table_set_or_raise(load_table_directory_new(path));
  });
}

PyObject* from_bufr4_45(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string path;
    if (!path_argument("TableSet.from_bufr4_45", args, nargs, kwnames, path)) return nullptr;
    return table_set_or_raise(load_wmo_csv_directory(path));
  });
}

PyObject* from_definitions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[2];
    std::string path;
    if (!parse_args({"TableSet.from_definitions", kDefinitionsNames, 2}, args, nargs, kwnames, argv) ||
        !to_path(argv[0], "path", path) ||
        !check_instance(argv[1], bufr_message_type(), "message", "BufrMessage")) {
      return nullptr;
    }
    return table_set_or_raise(select_definitions_tables(path, bufr_message_record(argv[1])));
  });
}

// The one `code` argument of a lookup.
bool code_argument(const char* qualname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::uint32_t& code) {
  PyObject* argv[1];
  return parse_args({qualname, kCodeNames, 1}, args, nargs, kwnames, argv) && to_u32(argv[0], "code", code);
}

PyObject* get_element(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::uint32_t code = 0;
    if (!code_argument("TableSet.get_element", args, nargs, kwnames, code)) return nullptr;
    const ElementDefinition* def = tables_of(self).find_element(code);
    return def ? new_element_definition(*def) : Py_NewRef(Py_None);
  });
}

PyObject* get_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::uint32_t code = 0;
    if (!code_argument("TableSet.get_sequence", args, nargs, kwnames, code)) return nullptr;
    const SequenceDefinition* def = tables_of(self).find_sequence(code);
    return def ? new_sequence_definition(*def) : Py_NewRef(Py_None);
  });
}

PyObject* get_meaning(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[2];
    std::uint32_t code = 0;
    std::uint64_t raw = 0;
    if (!parse_args({"TableSet.get_meaning", kMeaningNames, 2}, args, nargs, kwnames, argv) ||
        !to_u32(argv[0], "code", code) || !to_u64(argv[1], "raw", raw)) {
      return nullptr;
    }
    const std::string* meaning = tables_of(self).find_meaning(code, raw);
    return meaning ? new_str(*meaning) : Py_NewRef(Py_None);
  });
}

PyObject* expand(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[1];
    std::vector<std::uint32_t> codes;
    if (!parse_args({"TableSet.expand", kDescriptorsNames, 1}, args, nargs, kwnames, argv) ||
        !to_codes(argv[0], "descriptors", codes)) {
      return nullptr;
    }
    auto expanded = expand_descriptor_list(tables_of(self), codes);
    if (!expanded) return raise(expanded.error());
    return new_code_list(*expanded);
  });
}

constexpr int kMethod = METH_FASTCALL | METH_KEYWORDS;

template <class F>
PyCFunction cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef tables_methods[] = {
    {"from_eccodes", cfunction(from_eccodes), kMethod | METH_STATIC, "from_eccodes(path)\n--\n\n"},
    {"from_bufr4_45", cfunction(from_bufr4_45), kMethod | METH_STATIC, "from_bufr4_45(path)\n--\n\n"},
    {"from_definitions",
     cfunction(from_definitions),
     kMethod | METH_STATIC,
     "from_definitions(path, message)\n--\n\n"},
    {"get_element", cfunction(get_element), kMethod, "get_element($self, code)\n--\n\n"},
    {"get_sequence", cfunction(get_sequence), kMethod, "get_sequence($self, code)\n--\n\n"},
    {"get_meaning", cfunction(get_meaning), kMethod, "get_meaning($self, code, raw)\n--\n\n"},
    {"expand", cfunction(expand), kMethod, "expand($self, descriptors)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* element_count(PyObject* self, void*) { return PyLong_FromSize_t(tables_of(self).element_count()); }
PyObject* sequence_count(PyObject* self, void*) {
  return PyLong_FromSize_t(tables_of(self).sequence_count());
}

PyGetSetDef tables_getset[] = {
    {"element_count", element_count, nullptr, nullptr, nullptr},
    {"sequence_count", sequence_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// TableSet() takes no arguments and gives an empty set.
PyObject* tables_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* unused[1];
    if (!parse_tuple_args({"TableSet.__new__", nullptr, 0}, args, kwargs, unused)) return nullptr;
    return new_table_set(TableSet{});
  });
}

// TableSet(elements=1746, sequences=620)
PyObject* tables_repr(PyObject* self) {
  return guarded([self] {
    const TableSet& t = tables_of(self);
    return new_str("TableSet(elements=" + std::to_string(t.element_count()) +
                   ", sequences=" + std::to_string(t.sequence_count()) + ")");
  });
}

void tables_dealloc(PyObject* self) {
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));  // alloc's reference
  as_tables(self)->names.~StrTable();
  as_tables(self)->tables.~TableSet();
  Py_TYPE(self)->tp_free(self);
}

PyType_Slot tables_slots[] = {
    {Py_tp_doc, const_cast<char*>("TableSet()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tables_new)},
    {Py_tp_methods, tables_methods},
    {Py_tp_getset, tables_getset},
    {Py_tp_repr, reinterpret_cast<void*>(tables_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tables_dealloc)},
    {0, nullptr},
};

PyType_Spec tables_spec = {
    "builtins.TableSet",
    sizeof(TableSetObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    tables_slots,
};

// expand_descriptors(table_dir, descriptors): load a table directory and expand.
constexpr const char* kExpandNames[] = {"table_dir", "descriptors"};

PyObject* expand_descriptors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[2];
    std::string table_dir;
    std::vector<std::uint32_t> codes;
    if (!parse_args({"expand_descriptors", kExpandNames, 2}, args, nargs, kwnames, argv) ||
        !to_path(argv[0], "table_dir", table_dir) || !to_codes(argv[1], "descriptors", codes)) {
      return nullptr;
    }
    auto tables = load_table_directory_new(table_dir);
    if (!tables) return raise(tables.error());
    auto expanded = expand_descriptor_list(*tables, codes);
    if (!expanded) return raise(expanded.error());
    return new_code_list(*expanded);
  });
}

PyMethodDef expand_def = {"expand_descriptors",
                          cfunction(expand_descriptors),
                          kMethod,
                          "expand_descriptors(table_dir, descriptors)\n--\n\n"};

}  // namespace

PyTypeObject* table_set_type() { return tables_type; }

const TableSet& table_set_record(PyObject* o) { return tables_of(o); }

const StrTable& table_set_names(PyObject* o) { return as_tables(o)->names; }

bool register_table_classes(PyObject* m) {
  if (!register_definition_classes(m)) return false;
  if (tables_type == nullptr) tables_type = make_type(&tables_spec);
  return add_type(m, tables_type, "TableSet");
}

bool register_expand_function(PyObject* m) { return add_function(m, &expand_def); }

}  // namespace quorvex::py
