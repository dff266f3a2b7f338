// The method table of Runner: run and start.
#pragma once

#include <Python.h>

namespace vantrel::py {

extern PyMethodDef runner_methods[];

}  // namespace vantrel::py
