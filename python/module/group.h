// The Group class: the Python handle on a batch of runs.
#pragma once

#include <Python.h>

namespace vantrel::py {

PyTypeObject* group_type_object();

}  // namespace vantrel::py
