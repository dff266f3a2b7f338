// Error texts and the C++-to-Python error boundary.
#include "errors.h"

#include <new>

#include "vantrel/support/check.h"

namespace vantrel::py {
namespace {

ref text_object(std::string_view text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// The current error as one normalised exception value (nullptr when none is set).
ref fetch_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  ref owned_type = ref::steal(type);
  ref owned_traceback = ref::steal(traceback);
  return ref::steal(value);
}

// Sets `value` as the current error again with its own traceback, so the frames of the code
// that raised it stay in it.
void restore_error(ref value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value.get()));
  Py_INCREF(type);
  PyObject* traceback = PyException_GetTraceback(value.get());
  PyErr_Restore(type, value.release(), traceback);
}

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type != nullptr) PyErr_SetString(type, message);
}

}  // namespace

void raise(PyObject* type, std::string_view message) {
  ref text = text_object(message);
  PyErr_SetObject(type, text.get());
  throw_python_error();
}

std::string qualname_of(PyObject* type) {
  ref name = checked(PyObject_GetAttrString(type, "__qualname__"));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (utf8 == nullptr) throw_python_error();
  return std::string(utf8, static_cast<std::size_t>(size));
}

void raise_not_instance(PyObject* object, std::string_view expected) {
  std::string message = "'";
  if (object == Py_None)
    message.append("None' is not an instance of '");
  else
    message.append(qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(object))))
        .append("' object is not an instance of '");
  message.append(expected).append("'");
  raise(PyExc_TypeError, message);
}

void raise_field_error(std::string_view record, std::string_view field) {
  ref cause = fetch_error();
  std::string message = "failed to extract field ";
  message.append(record).append(".").append(field);
  ref error =
      checked(PyObject_CallFunctionObjArgs(PyExc_TypeError, text_object(message).get(), nullptr));
  if (cause) PyException_SetCause(error.get(), cause.release());
  restore_error(std::move(error));
  throw_python_error();
}

void add_processing_note(std::string_view param) {
  ref error = fetch_error();
  if (!error) return;
  std::string note = "while processing '";
  note.append(param).append("'");
  ref text =
      ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  ref done =
      text ? ref::steal(PyObject_CallMethod(error.get(), "add_note", "O", text.get())) : ref();
  if (!done) PyErr_Clear();
  restore_error(std::move(error));
}

PyObject* panic_exception_type() {
  // Made once and kept for the life of the process.
  static PyObject* type = nullptr;
  if (type == nullptr)
    type = PyErr_NewExceptionWithDoc("_vantrel.PanicException",
                                     "An internal invariant of the module broke.",
                                     PyExc_BaseException, nullptr);
  return type;
}

void set_error_for_current_exception() {
  try {
    throw;
  } catch (const python_error&) {
    if (!PyErr_Occurred()) raise_panic("internal error without a Python error set");
  } catch (const Panic& panic) {
    raise_panic(panic.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic("unknown internal error");
  }
}

}  // namespace vantrel::py
