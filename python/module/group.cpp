// The Group class: registered with its doc; its members come with groups of runs.
#include "group.h"

#include "py_class.h"

namespace vantrel::py {
namespace {

TypeCell group_class = bare_class("builtins.Group", "A batch of running selected-agent processes.");

}  // namespace

PyTypeObject* group_type_object() { return group_class.get(); }

}  // namespace vantrel::py
