// Reading the request of an account-usage query from any Python object.
#include "account_request.h"

#include "errors.h"
#include "extract.h"
#include "py_ref.h"

namespace vantrel::py {
namespace {

// Looks up `name` on `req` (a failure goes through unchanged) and converts the value with
// `convert`, whose failure becomes the field's TypeError.
template <class Convert>
auto read_attribute(PyObject* req, std::string_view record_name, const char* name,
                    Convert convert) {
  ref value = checked(PyObject_GetAttrString(req, name));
  try {
    return convert(value.get());
  } catch (const python_error&) {
    raise_field_error(record_name, name);
  }
}

EnvPairs optional_env(PyObject* value) {
  return value == Py_None ? EnvPairs{} : text_map_of(value);
}

// None, or anything float() converts: a float, an int, a bool, an object with __float__ or
// __index__.
std::optional<double> optional_seconds(PyObject* value) {
  if (value == Py_None) return std::nullopt;
  double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred()) throw_python_error();
  return seconds;
}

}  // namespace

AccountRequest read_account_request(PyObject* req, std::string_view record_name) {
  AccountRequest read;
  if (req == nullptr || req == Py_None) return read;
  with_note("req", [&] {
    read.executable = read_attribute(req, record_name, "executable", optional_text);
    read.env = read_attribute(req, record_name, "env", optional_env);
    read.timeout_seconds = read_attribute(req, record_name, "timeout", optional_seconds);
  });
  return read;
}

}  // namespace vantrel::py
