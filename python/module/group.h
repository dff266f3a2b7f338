// The Group class: the Python handle on a batch of runs started by Runner.run_many.
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "py_ref.h"
#include "records.h"
#include "vantrel/engine/group.h"

namespace vantrel::py {

PyTypeObject* group_type_object();

// Where the elements of `reqs` went. Every index below `total` stands exactly once, either in
// `indexes` (entry p: the index in `reqs` of the request at position p of the group) or in
// `intake_errors` (the elements that did not convert, in increasing index order).
struct RequestIndexes {
  std::vector<std::size_t> indexes;
  std::vector<std::pair<std::size_t, ErrorRecord>> intake_errors;
  std::size_t total = 0;
};

// What Runner.run_many hands to a Group.
struct GroupRecord {
  GroupHandle handle;  // its event stream not yet taken
  RequestIndexes requests;
};

// A new Group owning `record`. If it cannot be made the record is released, which leaves the
// group running unobserved.
ref group_new_object(GroupRecord record);

}  // namespace vantrel::py
