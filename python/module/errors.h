// Python errors inside the module: the C++ signal that one is set, the boundary that turns every
// C++ failure into a Python one, and the error texts the module raises itself.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <string>
#include <string_view>
#include <type_traits>

#include "py_ref.h"

namespace vantrel::py {

// Thrown inside module code once a Python error has been set; caught at the boundary.
struct python_error {};

[[noreturn]] inline void throw_python_error() { throw python_error{}; }

// Takes over a new reference, throwing when the call that made it failed.
inline ref checked(PyObject* object) {
  if (object == nullptr) throw_python_error();
  return ref::steal(object);
}
inline void checked(int status) {
  if (status < 0) throw_python_error();
}

// Sets `type(message)` as the current error and throws.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// TypeError "'int' object is not an instance of 'str'" (or "'None' is not an instance of ...").
[[noreturn]] void raise_not_instance(PyObject* object, std::string_view expected);

// Replaces the current error by TypeError "failed to extract field Record.field" caused by it.
[[noreturn]] void raise_field_error(std::string_view record, std::string_view field);

// Adds the note "while processing 'param'" to the current error when it has `add_note`; a failure
// to add it is dropped and the error goes on unchanged.
void add_processing_note(std::string_view param);

// Runs `read` and attaches the note "while processing '<param>'" to what it raises.
template <class Read>
auto with_note(std::string_view param, Read read) -> decltype(read()) {
  try {
    return read();
  } catch (const python_error&) {
    add_processing_note(param);
    throw;
  }
}

// The internal-error exception (derived from BaseException), made on first use.
PyObject* panic_exception_type();

// The type's `__qualname__` as UTF-8.
std::string qualname_of(PyObject* type);

// Sets the Python error for the C++ exception being handled (call inside a catch block).
void set_error_for_current_exception();

// Runs `body` and turns any C++ exception into a Python error, so none crosses into the
// interpreter. Returns the body's value, or nullptr / -1 with the error set. The one thing let
// through is the unwinding of a thread that the interpreter ends while it takes its lock back
// during finalisation (a daemon thread waiting in the module at exit): swallowing that unwind
// would abort the process.
template <class Body>
auto boundary(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    set_error_for_current_exception();
    if constexpr (std::is_pointer_v<decltype(body())>)
      return nullptr;
    else
      return -1;
  }
}

}  // namespace vantrel::py
