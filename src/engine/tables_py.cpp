// The class Tables of quorvex._engine: the table choice of a decode, with its cache. A
// _quorvex.TableSet given to it is read in place through that class's object layout
// (table_set_py.hpp: both modules are built from the same sources), and kept alive by a
// reference held here.
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "columnar/table_choice.hpp"
#include "engine/engine.hpp"
#include "tables/table_set_py.hpp"

namespace quorvex::py {

namespace {

struct TablesObject {
  PyObject_HEAD
  std::shared_ptr<TableChooser> chooser;
  PyRef table_set;  // the TableSet object given, or empty
};

TablesObject* as_tables(PyObject* o) { return reinterpret_cast<TablesObject*>(o); }

// str or None -> an optional path.
bool optional_path(PyObject* o, const char* arg, std::optional<std::string>& out) {
  if (o == Py_None) return true;
  std::string path;
  if (!to_path(o, arg, path)) return false;
  out = std::move(path);
  return true;
}

// The class _quorvex.TableSet, imported.
PyRef quorvex_table_set_class() {
  PyRef module = PyRef::steal(PyImport_ImportModule("_quorvex"));
  if (!module) return {};
  return PyRef::steal(PyObject_GetAttrString(module.get(), "TableSet"));
}

constexpr const char* kTablesNames[] = {"definitions_root", "bundled_dir", "table_set"};

PyObject* tables_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* parsed[3];
    if (!parse_tuple_args({"Tables", kTablesNames, 3, 2}, args, kwargs, parsed)) return nullptr;
    PyObject *root_arg = parsed[0], *bundled_arg = parsed[1];
    PyObject* set_arg = parsed[2] == nullptr ? Py_None : parsed[2];
    std::optional<std::string> root, bundled;
    if (!optional_path(root_arg, "definitions_root", root) ||
        !optional_path(bundled_arg, "bundled_dir", bundled)) {
      return nullptr;
    }
    std::shared_ptr<const TableSet> fixed;
    if (set_arg != Py_None) {
      PyRef cls = quorvex_table_set_class();
      if (!cls) return nullptr;
      if (!PyType_Check(cls.get()) ||
          !PyObject_TypeCheck(set_arg, reinterpret_cast<PyTypeObject*>(cls.get()))) {
        PyErr_Format(PyExc_TypeError,
                     "table_set must be a _quorvex.TableSet or None, not %.100s",
                     Py_TYPE(set_arg)->tp_name);
        return nullptr;
      }
      // Not owned: the Tables object holds the TableSet object for as long as it lives.
      fixed = std::shared_ptr<const TableSet>(&reinterpret_cast<TableSetObject*>(set_arg)->tables,
                                              [](const TableSet*) {});
    }
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    TablesObject* t = as_tables(self.get());
    new (&t->chooser) std::shared_ptr<TableChooser>(
        std::make_shared<TableChooser>(std::move(root), std::move(bundled), std::move(fixed)));
    new (&t->table_set) PyRef(set_arg == Py_None ? PyRef() : PyRef::borrow(set_arg));
    return self.release();
  });
}

void tables_dealloc(PyObject* self) {
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  TablesObject* t = as_tables(self);
  t->chooser.~shared_ptr();
  t->table_set.~PyRef();
  Py_TYPE(self)->tp_free(self);
}

PyObject* source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* parsed[3];
    if (!parse_args({"source", kMessageNames, 3}, args, nargs, kwnames, parsed)) return nullptr;
    BufrMessage message;
    if (!message_argument(parsed, message)) return nullptr;
    TableChooser& chooser = *as_tables(self)->chooser;
    Result<ChosenTables> chosen;
    Py_BEGIN_ALLOW_THREADS chosen = chooser.choose(message);
    Py_END_ALLOW_THREADS if (!chosen) return raise(chosen.error());
    switch (chosen->origin) {
      case TableOrigin::Fixed:
        return new_str("table_set");
      case TableOrigin::Definitions:
        return new_str("definitions:" + chooser.root().value_or(""));
      case TableOrigin::Bundled:
        return new_str("bundled");
    }
    return new_str("bundled");
  });
}

PyObject* cached(PyObject* self, void*) { return PyLong_FromSize_t(as_tables(self)->chooser->cached()); }

PyMethodDef tables_methods[] = {
    fastcall("source", source,
             "source($self, buffer, offset, length)\n--\n\n"
             "Where the tables of that message come from: 'table_set', 'definitions:<root>' or 'bundled'."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tables_getset[] = {
    {"cached", cached, nullptr, "Number of table selections held in the cache.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tables_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Tables(definitions_root, bundled_dir, table_set=None)\n--\n\n"
                       "The table choice of a decode: a fixed TableSet, else the definitions root, "
                       "else the bundled table directory; loaded sets are cached.")},
    {Py_tp_new, reinterpret_cast<void*>(tables_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tables_dealloc)},
    {Py_tp_methods, tables_methods},
    {Py_tp_getset, tables_getset},
    {0, nullptr},
};

PyType_Spec tables_spec = {"quorvex._engine.Tables",
                           sizeof(TablesObject),
                           0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                           tables_slots};

}  // namespace

TableChooser& tables_chooser(PyObject* o) { return *as_tables(o)->chooser; }

bool register_engine_tables(PyObject* m, EngineState& state) {
  state.tables_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(m, &tables_spec, nullptr));
  return state.tables_type != nullptr && add_type(m, state.tables_type, "Tables");
}

}  // namespace quorvex::py
