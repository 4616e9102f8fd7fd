// The class Tables of quorvex._engine: the table choice of a decode, with its cache. The
// source of the tables is decided once, by the core's rule (choose_table_source), from the
// `tables` argument and the environment.
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "columnar/table_choice.hpp"
#include "engine/engine.hpp"
#include "lib/file_system.hpp"

namespace quorvex::py {

namespace {

struct TablesObject {
  PyObject_HEAD
  std::shared_ptr<TableChooser> chooser;
};

TablesObject* as_tables(PyObject* o) { return reinterpret_cast<TablesObject*>(o); }

PyObject* tables_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"tables", nullptr};
    PyObject* tables_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:Tables", const_cast<char**>(names), &tables_arg)) {
      return nullptr;
    }
    TableRequest request;
    if (!tables_request(engine_state_of(type), tables_arg, request)) return nullptr;
    Result<TableSource> source = choose_table_source(request, table_store_path());
    if (!source) return raise(source.error());
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&as_tables(self.get())->chooser)
        std::shared_ptr<TableChooser>(std::make_shared<TableChooser>(std::move(*source)));
    return self.release();
  });
}

void tables_dealloc(PyObject* self) {
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  TablesObject* t = as_tables(self);
  t->chooser.~shared_ptr();
  Py_TYPE(self)->tp_free(self);
}

// The message of (buffer, offset, length) and its tables; `ok` false with the error set
// when the arguments are bad.
Result<ChosenTables> chosen_for(PyObject* self, const char* name, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, bool& ok) {
  PyObject* parsed[3];
  BufrMessage message;
  ok =
      parse_args({name, kMessageNames, 3}, args, nargs, kwnames, parsed) && message_argument(parsed, message);
  if (!ok) return fail(BufrError::too_short());
  TableChooser& chooser = *as_tables(self)->chooser;
  Result<ChosenTables> chosen;
  Py_BEGIN_ALLOW_THREADS chosen = chooser.choose(message);
  Py_END_ALLOW_THREADS return chosen;
}

PyObject* source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    bool ok = false;
    Result<ChosenTables> chosen = chosen_for(self, "source", args, nargs, kwnames, ok);
    if (!ok) return nullptr;
    if (!chosen) return raise(chosen.error());
    return new_str(describe_tables(*chosen, as_tables(self)->chooser->source().root));
  });
}

PyObject* table_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    bool ok = false;
    Result<ChosenTables> chosen = chosen_for(self, "table_set", args, nargs, kwnames, ok);
    if (!ok) return nullptr;
    if (!chosen) return raise(chosen.error());
    return new_engine_table_set(chosen->tables,
                                describe_tables(*chosen, as_tables(self)->chooser->source().root),
                                engine_state_of(Py_TYPE(self)).table_set_type);
  });
}

PyObject* root(PyObject* self, void*) {
  const TableSource& source = as_tables(self)->chooser->source();
  if (source.kind != TableSource::Kind::Root) Py_RETURN_NONE;
  return new_str(source.root);
}

PyObject* cached(PyObject* self, void*) { return PyLong_FromSize_t(as_tables(self)->chooser->cached()); }

PyMethodDef tables_methods[] = {
    fastcall("source", source,
             "source($self, buffer, offset, length)\n--\n\n"
             "Where the tables of that message come from: 'table_set', 'definitions:<root>', 'store', or\n"
             "'store: master version V decoded with W' for a message newer than the store."),
    fastcall("table_set", table_set,
             "table_set($self, buffer, offset, length)\n--\n\nThe TableSet that decodes that message."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tables_getset[] = {
    {"cached", cached, nullptr, "Number of table selections held in the cache.", nullptr},
    {"root", root, nullptr, "The definitions root the tables come from, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tables_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Tables(tables=None)\n--\n\n"
                       "The table choice of a decode: `tables` (a TableSet or a definitions root), else "
                       "QUORVEX_DEFINITIONS, else ECCODES_DEFINITION_PATH, else the package's table store; "
                       "loaded sets are cached.")},
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

bool tables_request(const EngineState& state, PyObject* arg, TableRequest& out) {
  if (arg == Py_None) return true;
  if (PyObject_TypeCheck(arg, state.table_set_type)) {
    out.fixed = engine_table_set(arg);
    return true;
  }
  PyRef path = PyRef::steal(PyOS_FSPath(arg));
  if (!path || !PyUnicode_Check(path.get())) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "tables must be None, a definitions root path or a quorvex.TableSet, not %.100s",
                 Py_TYPE(arg)->tp_name);
    return false;
  }
  std::string root;
  if (!to_path(path.get(), "tables", root)) return false;
  if (root.empty()) {
    out.store = true;  // tables="": the package's table store
  } else {
    out.root = std::move(root);
  }
  return true;
}

const std::string& table_store_path() {
  // Beside the module: the build tree's quorvex/ folder, or the installed package.
  static const std::string path = [] {
    PyRef module = PyRef::steal(PyImport_ImportModule("quorvex._engine"));
    PyRef file = module ? PyRef::steal(PyModule_GetFilenameObject(module.get())) : PyRef();
    std::string where;
    if (!file || !to_path(file.get(), "__file__", where)) {
      PyErr_Clear();
      return std::string("bufr_tables.store");
    }
    const std::size_t slash = where.rfind('/');
    where.resize(slash == std::string::npos ? 0 : slash + 1);
    where += "bufr_tables.store";
    return where;
  }();
  return path;
}

bool warn_table_notes(TableChooser& chooser) {
  for (const std::string& note : chooser.take_notes()) {
    if (PyErr_WarnEx(PyExc_UserWarning, note.c_str(), 1) < 0) return false;
  }
  return true;
}

TableChooser& tables_chooser(PyObject* o) { return *as_tables(o)->chooser; }

bool register_engine_tables(PyObject* m, EngineState& state) {
  state.tables_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(m, &tables_spec, nullptr));
  return state.tables_type != nullptr && add_type(m, state.tables_type, "Tables");
}

}  // namespace quorvex::py
