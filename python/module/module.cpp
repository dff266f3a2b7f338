// The `_vantrel` module definition: multi-phase initialisation with one execution step.
#include <Python.h>

namespace {

// Appends `name` to the module's `__all__` (creating it first) and binds it to `value`.
int add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  }
  int rc = -1;
  if (PyList_Check(all)) {
    PyObject* text = PyUnicode_FromString(name);
    if (text != nullptr) {
      rc = PyList_Append(all, text);
      Py_DECREF(text);
    }
  } else {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
  }
  Py_DECREF(all);
  if (rc < 0) return -1;
  Py_INCREF(value);
  return PyModule_AddObject(module, name, value) < 0 ? (Py_DECREF(value), -1) : 0;
}

int module_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "module_exec expects a module object");
    return -1;
  }
  // The classes and functions register here as they are built.
  (void)add_public;
  PyObject* all = PyList_New(0);
  if (all == nullptr) return -1;
  if (PyModule_AddObject(module, "__all__", all) < 0) {
    Py_DECREF(all);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vantrel",
    "The native `_vantrel` extension module.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__vantrel() { return PyModuleDef_Init(&module_def); }
