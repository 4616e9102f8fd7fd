// The class TableSet of quorvex._engine (quorvex.TableSet): one table selection, owned here
// (a shared C++ TableSet), chosen by the same rule as every decode (choose_table_source).
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "columnar/table_choice.hpp"
#include "decode/expand.hpp"
#include "engine/engine.hpp"
#include "lib/file_system.hpp"
#include "tables/table_selection.hpp"
#include "tables/table_source.hpp"

namespace quorvex::py {

namespace {

struct TableSetObject {
  PyObject_HEAD
  std::shared_ptr<const TableSet> tables;
  std::string source;
};

TableSetObject* as_set(PyObject* o) { return reinterpret_cast<TableSetObject*>(o); }

// The newest WMO version a definitions root holds for a master table (0 when none).
std::uint8_t newest_root_version(const std::string& root, std::uint8_t master_table) {
  const std::string wmo = root + "/bufr/tables/" + std::to_string(master_table) + "/wmo";
  auto entries = list_directory_files(wmo, "", "");
  unsigned newest = 0;
  if (!entries) return 0;
  for (const std::string& path : *entries) {
    const std::string_view name = file_name(path);
    unsigned v = 0;
    bool digits = !name.empty() && name.size() <= 3;
    for (char c : name) {
      digits = digits && c >= '0' && c <= '9';
      v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (digits && v <= 255 && v > newest) newest = v;
  }
  return static_cast<std::uint8_t>(newest);
}

bool optional_u8(PyObject* o, const char* arg, std::optional<std::uint8_t>& out) {
  if (o == nullptr || o == Py_None) return true;
  std::uint8_t v = 0;
  if (!to_u8(o, arg, v)) return false;
  out = v;
  return true;
}

bool u16_arg(PyObject* o, const char* arg, std::uint16_t& out) {
  if (o == nullptr) return true;
  std::uint32_t v = 0;
  if (!to_u32(o, arg, v)) return false;
  if (v > 65535) {
    PyErr_Format(PyExc_ValueError, "%s must be at most 65535", arg);
    return false;
  }
  out = static_cast<std::uint16_t>(v);
  return true;
}

PyObject* set_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {
        "tables", "master_table", "master_version", "local_version", "centre", "sub_centre", nullptr};
    PyObject *tables_arg = Py_None, *mt = nullptr, *mv = nullptr, *lv = nullptr, *c = nullptr, *sc = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args,
                                     kwargs,
                                     "|O$OOOOO:TableSet",
                                     const_cast<char**>(names),
                                     &tables_arg,
                                     &mt,
                                     &mv,
                                     &lv,
                                     &c,
                                     &sc)) {
      return nullptr;
    }
    TableRequest request;
    if (!tables_request(engine_state_of(type), tables_arg, request)) return nullptr;
    if (request.fixed) {
      PyErr_SetString(PyExc_TypeError, "tables must be None or a definitions root path, not a TableSet");
      return nullptr;
    }
    std::optional<std::uint8_t> master_version;
    TableKey key;
    if ((mt != nullptr && !to_u8(mt, "master_table", key.master_table)) ||
        !optional_u8(mv, "master_version", master_version) ||
        (lv != nullptr && !to_u8(lv, "local_version", key.local_version)) ||
        !u16_arg(c, "centre", key.centre) || !u16_arg(sc, "sub_centre", key.subcentre)) {
      return nullptr;
    }
    Result<TableSource> source = choose_table_source(request, table_store_path());
    if (!source) return raise(source.error());
    ChosenTables chosen;
    std::string root;
    if (source->kind == TableSource::Kind::Root) {
      root = source->root;
      key.master_version = master_version.value_or(newest_root_version(root, key.master_table));
      BufrMessage m;
      m.master_table_number = key.master_table;
      m.master_tables_version_number = key.master_version;
      m.local_tables_version_number = key.local_version;
      m.originating_centre = key.centre;
      m.originating_subcentre = key.subcentre;
      Result<TableSet> loaded = select_definitions_tables(root, m, TableRows::AsEccodes);
      if (!loaded) return raise(loaded.error());
      chosen = {std::make_shared<const TableSet>(std::move(*loaded)), TableOrigin::Definitions};
    } else {
      const auto versions = source->store->versions(key.master_table);
      key.master_version = master_version.value_or(versions.empty() ? 0 : versions.back());
      Result<StoreTables> stored = source->store->table_set(key);
      if (!stored) return raise(stored.error());
      chosen = {std::make_shared<const TableSet>(std::move(stored->tables)),
                TableOrigin::Store,
                key.master_version,
                stored->master_version};
    }
    return new_engine_table_set(chosen.tables, describe_tables(chosen, root), type);
  });
}

void set_dealloc(PyObject* self) {
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  as_set(self)->tables.~shared_ptr();
  as_set(self)->source.~basic_string();
  Py_TYPE(self)->tp_free(self);
}

const TableSet& tables_of(PyObject* self) { return *as_set(self)->tables; }

PyObject* get_element(PyObject* self, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::uint32_t code = 0;
    if (!to_u32(arg, "code", code)) return nullptr;
    const ElementDefinition* d = tables_of(self).find_element(code);
    if (d == nullptr) Py_RETURN_NONE;
    PyRef e = PyRef::steal(PyStructSequence_New(engine_state_of(Py_TYPE(self)).table_element_type));
    if (!e) return nullptr;
    PyObject* fields[] = {PyLong_FromUnsignedLong(d->code),
                          new_str(d->abbreviation),
                          new_str(d->element_type),
                          new_str(d->name),
                          new_str(d->unit),
                          PyLong_FromLong(d->scale),
                          PyLong_FromLongLong(d->reference),
                          PyLong_FromUnsignedLong(d->width)};
    bool ok = true;
    for (Py_ssize_t i = 0; i < 8; ++i) {
      ok = ok && fields[i] != nullptr;
      PyStructSequence_SetItem(e.get(), i, fields[i]);  // steals; a null slot is left empty
    }
    return ok ? e.release() : nullptr;
  });
}

PyObject* get_sequence(PyObject* self, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::uint32_t code = 0;
    if (!to_u32(arg, "code", code)) return nullptr;
    const SequenceDefinition* d = tables_of(self).find_sequence(code);
    if (d == nullptr) Py_RETURN_NONE;
    PyRef members = PyRef::steal(new_code_list(d->members));
    PyRef entry = members
                      ? PyRef::steal(PyStructSequence_New(engine_state_of(Py_TYPE(self)).table_sequence_type))
                      : PyRef();
    if (!entry) return nullptr;
    PyStructSequence_SetItem(entry.get(), 0, PyLong_FromUnsignedLong(d->code));
    if (PyStructSequence_GetItem(entry.get(), 0) == nullptr) return nullptr;
    PyStructSequence_SetItem(entry.get(), 1, members.release());
    return entry.release();
  });
}

PyObject* get_meaning(PyObject* self, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *code_arg = nullptr, *raw_arg = nullptr;
    if (!PyArg_ParseTuple(args, "OO:get_meaning", &code_arg, &raw_arg)) return nullptr;
    std::uint32_t code = 0;
    std::uint64_t raw = 0;
    if (!to_u32(code_arg, "code", code) || !to_u64(raw_arg, "raw", raw)) return nullptr;
    const std::string* meaning = tables_of(self).find_meaning(code, raw);
    if (meaning == nullptr) Py_RETURN_NONE;
    return new_str(*meaning);
  });
}

PyObject* expand(PyObject* self, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::vector<std::uint32_t> codes;
    if (!to_codes(arg, "descriptors", codes)) return nullptr;
    Result<std::vector<std::uint32_t>> expanded = expand_descriptor_list(tables_of(self), codes);
    if (!expanded) return raise(expanded.error());
    return new_code_list(*expanded);
  });
}

PyObject* expand_tree(PyObject* self, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::vector<std::uint32_t> codes;
    if (!to_codes(arg, "descriptors", codes)) return nullptr;
    Result<std::vector<ExpansionNode>> tree = expand_descriptor_tree(tables_of(self), codes);
    if (!tree) return raise(tree.error());
    PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(tree->size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < tree->size(); ++i) {
      PyObject* item = Py_BuildValue("(II)", (*tree)[i].depth, static_cast<unsigned>((*tree)[i].code));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
    }
    return out.release();
  });
}

PyObject* element_types(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    for (const auto& [code, d] : tables_of(self).elements()) {
      if (d.abbreviation.empty()) continue;
      PyRef key = PyRef::steal(new_str(d.abbreviation));
      PyRef type = key ? PyRef::steal(new_str(d.element_type)) : PyRef();
      if (!type || PyDict_SetItem(out.get(), key.get(), type.get()) < 0) return nullptr;
    }
    return out.release();
  });
}

PyObject* element_count(PyObject* self, void*) { return PyLong_FromSize_t(tables_of(self).element_count()); }
PyObject* sequence_count(PyObject* self, void*) {
  return PyLong_FromSize_t(tables_of(self).sequence_count());
}
PyObject* source(PyObject* self, void*) { return new_str(as_set(self)->source); }

PyMethodDef set_methods[] = {
    {"get_element",
     get_element,
     METH_O,
     "get_element($self, code)\n--\n\nThe Table B entry of `code` (key name as ecCodes names it), or None."},
    {"get_sequence",
     get_sequence,
     METH_O,
     "get_sequence($self, code)\n--\n\nThe Table D entry `code` (code, members), or None."},
    {"get_meaning",
     get_meaning,
     METH_VARARGS,
     "get_meaning($self, code, raw)\n--\n\nThe meaning of code figure or flag bit `raw` of table `code`, or "
     "None."},
    {"element_types",
     element_types,
     METH_NOARGS,
     "element_types($self)\n--\n\nKey name -> ecCodes element type ('long', 'double', 'string', 'table', "
     "'flag')."},
    {"expand",
     expand,
     METH_O,
     "expand($self, descriptors)\n--\n\nThe descriptors with every sequence expanded."},
    {"expand_tree",
     expand_tree,
     METH_O,
     "expand_tree($self, descriptors)\n--\n\n[(depth, code), ...]: every descriptor as written, a sequence's "
     "members and\na replication's group (a delayed one's factor first) shown once, one level below it."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef set_getset[] = {
    {"element_count", element_count, nullptr, "Number of Table B entries.", nullptr},
    {"sequence_count", sequence_count, nullptr, "Number of Table D entries.", nullptr},
    {"source",
     source,
     nullptr,
     "Where the tables come from: 'definitions:<root>', 'store', or 'store: master version V decoded with "
     "W'.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot set_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "TableSet(tables=None, *, master_table=0, master_version=None, local_version=0, centre=0, "
         "sub_centre=0)\n"
         "--\n\n"
         "The tables of one selection, chosen as every reader chooses them: `tables` (a definitions root), "
         "else QUORVEX_DEFINITIONS, else ECCODES_DEFINITION_PATH, else the package's table store. "
         "master_version None: the newest held.")},
    {Py_tp_new, reinterpret_cast<void*>(set_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(set_dealloc)},
    {Py_tp_methods, set_methods},
    {Py_tp_getset, set_getset},
    {0, nullptr},
};

PyType_Spec set_spec = {
    "quorvex.TableSet", sizeof(TableSetObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, set_slots};

PyStructSequence_Field element_fields[] = {
    {"code", nullptr},
    {"abbreviation", "the key, as ecCodes names it"},
    {"element_type", nullptr},
    {"name", nullptr},
    {"unit", nullptr},
    {"scale", nullptr},
    {"reference", nullptr},
    {"width", nullptr},
    {nullptr, nullptr},
};
PyStructSequence_Desc element_desc = {"quorvex.TableElement", "A Table B entry.", element_fields, 8};
PyStructSequence_Field sequence_fields[] = {{"code", nullptr}, {"members", nullptr}, {nullptr, nullptr}};
PyStructSequence_Desc sequence_desc = {"quorvex.TableSequence", "A Table D entry.", sequence_fields, 2};

}  // namespace

std::shared_ptr<const TableSet> engine_table_set(PyObject* o) { return as_set(o)->tables; }

PyObject* new_engine_table_set(std::shared_ptr<const TableSet> tables, std::string source,
                               PyTypeObject* type) {
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  new (&as_set(self.get())->tables) std::shared_ptr<const TableSet>(std::move(tables));
  new (&as_set(self.get())->source) std::string(std::move(source));
  return self.release();
}

bool register_engine_table_set(PyObject* m, EngineState& state) {
  state.table_set_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(m, &set_spec, nullptr));
  if (state.table_set_type == nullptr) return false;
  state.table_element_type = PyStructSequence_NewType(&element_desc);
  if (state.table_element_type == nullptr) return false;
  state.table_sequence_type = PyStructSequence_NewType(&sequence_desc);
  if (state.table_sequence_type == nullptr) return false;
  return add_type(m, state.table_set_type, "TableSet") &&
         add_type(m, state.table_element_type, "TableElement") &&
         add_type(m, state.table_sequence_type, "TableSequence");
}

}  // namespace quorvex::py
