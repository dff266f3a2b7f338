// Reading plain values out of Python arguments and attributes, with the module's type-error texts.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "vantrel/request.h"

namespace vantrel::py {

// A `str` (or subclass) as UTF-8; anything else, None included, is a TypeError.
std::string text_of(PyObject* value);
// None is "not given"; otherwise as `text_of`.
std::optional<std::string> optional_text(PyObject* value);
// A `dict` (or subclass) whose keys and values are all `str`, as pairs in iteration order.
EnvPairs text_map_of(PyObject* value);
// Any integer-like object (through `__index__`) from 0 to 4294967295.
std::uint32_t u32_of(PyObject* value);

}  // namespace vantrel::py
