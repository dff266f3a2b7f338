// Runner.run_many: many requests started as one group under a concurrency limit.
#pragma once

#include <Python.h>

namespace vantrel::py {

// The method body; `self` is a Runner.
PyObject* runner_run_many(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace vantrel::py
