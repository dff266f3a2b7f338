// Type objects made once per process, and the constructor of the classes Python cannot make.
#include "py_class.h"

namespace vantrel::py {

TypeCell::TypeCell(const char* full_name, std::size_t instance_size, std::vector<PyType_Slot> slots)
    : full_name_(full_name), instance_size_(instance_size), slots_(std::move(slots)) {
  slots_.push_back({0, nullptr});
}

PyTypeObject* TypeCell::get() {
  // Made under the interpreter lock; the type object is kept until the process ends.
  if (type_ == nullptr) {
    PyType_Spec spec = {full_name_, static_cast<int>(instance_size_), 0, Py_TPFLAGS_DEFAULT,
                        slots_.data()};
    type_ = PyType_FromSpec(&spec);
  }
  return reinterpret_cast<PyTypeObject*>(type_);
}

PyObject* cannot_create(PyTypeObject* type, PyObject*, PyObject*) {
  return boundary([&]() -> PyObject* {
    PyObject* type_object = reinterpret_cast<PyObject*>(type);
    ref module = checked(PyObject_GetAttrString(type_object, "__module__"));
    ref message = checked(PyUnicode_FromFormat("cannot create '%S.%s' instances", module.get(),
                                               qualname_of(type_object).c_str()));
    PyErr_SetObject(PyExc_TypeError, message.get());
    return nullptr;
  });
}

TypeCell bare_class(const char* full_name, const char* doc) {
  return TypeCell(
      full_name, sizeof(PyObject),
      {{Py_tp_doc, const_cast<char*>(doc)}, {Py_tp_new, reinterpret_cast<void*>(cannot_create)}});
}

}  // namespace vantrel::py
