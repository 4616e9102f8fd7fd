// Module initialisation: single-phase, one module per process, main interpreter only.
#include "lib/frame_py.hpp"

namespace quorvex::py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quorvex",
    "",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module made by the first initialisation; later ones hand it out again.
PyObject* the_module = nullptr;

using RegisterStep = bool (*)(PyObject*);

PyObject* create_module() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "_quorvex does not support sub-interpreters");
    return nullptr;
  }
  if (the_module != nullptr) return Py_NewRef(the_module);
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  // Classes first, then functions; each step appends its names to __all__ in order.
  const RegisterStep steps[] = {
      register_bufr_message,
      register_decoded_value,
      register_descriptor,
      register_table_classes,
      register_message_functions,
      register_expand_function,
      register_decode_functions,
  };
  for (RegisterStep step : steps) {
    if (!step(module.get())) return nullptr;
  }
  the_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace quorvex::py

PyMODINIT_FUNC PyInit__quorvex(void) {
  return quorvex::py::guarded([] { return quorvex::py::create_module(); });
}
