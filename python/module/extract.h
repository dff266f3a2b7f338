// Reading plain values out of Python arguments and attributes, with the module's type-error texts.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "errors.h"
#include "vantrel/protocol/request.h"

namespace vantrel::py {

// A `str` (or subclass) as UTF-8; anything else, None included, is a TypeError.
std::string text_of(PyObject* value);
// None is "not given"; otherwise as `text_of`.
std::optional<std::string> optional_text(PyObject* value);
// A `dict` (or subclass) whose keys and values are all `str`, as pairs in iteration order.
EnvPairs text_map_of(PyObject* value);
// Any integer-like object (through `__index__`) from 0 to 4294967295.
std::uint32_t u32_of(PyObject* value);

// What a sequence whose `len()` fails is taken as: an error, or a length unknown ahead.
enum class FailedLength { raise, unknown };

// Checks that `value` is a sequence and not a str, and returns how many elements to reserve for
// it: its length, capped, since a sequence may report far more than it will produce.
std::size_t sequence_reserve(PyObject* value, FailedLength failed_length);

// Reads a sequence (not a str) element by element with `read_element`. Throws python_error at
// the first failure, of the iteration or of an element.
template <class T, class ReadElement>
std::vector<T> sequence_of(PyObject* value, ReadElement read_element,
                           FailedLength failed_length = FailedLength::raise) {
  std::vector<T> elements;
  elements.reserve(sequence_reserve(value, failed_length));
  ref iterator = checked(PyObject_GetIter(value));
  while (ref element = ref::steal(PyIter_Next(iterator.get())))
    elements.push_back(read_element(element.get()));
  if (PyErr_Occurred()) throw_python_error();
  return elements;
}

}  // namespace vantrel::py
