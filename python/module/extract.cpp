// Value extraction shared by the Runner constructor and the request intake.
#include "extract.h"

#include <algorithm>

#include "errors.h"

namespace vantrel::py {
namespace {

// A sequence may report any length; only this much is reserved ahead of reading it.
constexpr Py_ssize_t max_reserved = 1024;

}  // namespace

std::string text_of(PyObject* value) {
  if (!PyUnicode_Check(value)) raise_not_instance(value, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) throw_python_error();  // e.g. a lone surrogate
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::optional<std::string> optional_text(PyObject* value) {
  if (value == Py_None) return std::nullopt;
  return text_of(value);
}

EnvPairs text_map_of(PyObject* value) {
  if (!PyDict_Check(value)) raise_not_instance(value, "dict");
  EnvPairs pairs;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  while (PyDict_Next(value, &position, &key, &item)) {
    // The borrowed pair stays alive across the conversions: text_of runs no Python code.
    std::string name = text_of(key);
    pairs.emplace_back(std::move(name), text_of(item));
  }
  return pairs;
}

std::uint32_t u32_of(PyObject* value) {
  ref index = checked(PyNumber_Index(value));
  long long number = PyLong_AsLongLong(index.get());
  if (number == -1 && PyErr_Occurred()) throw_python_error();
  if (number < 0 || number > 0xFFFFFFFFLL)
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<std::uint32_t>(number);
}

std::size_t sequence_reserve(PyObject* value, FailedLength failed_length) {
  if (PyUnicode_Check(value)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(value)) raise_not_instance(value, "Sequence");
  Py_ssize_t length = PySequence_Size(value);
  if (length < 0) {
    if (failed_length == FailedLength::raise) throw_python_error();
    PyErr_Clear();
    length = 0;
  }
  return static_cast<std::size_t>(std::min(length, max_reserved));
}

}  // namespace vantrel::py
