// The Group class: the multiplexed event stream under its own lock, the results in request order
// with the intake failures in their places, and cancellation.
#include "group.h"

#include <memory>
#include <optional>

#include "blocking.h"
#include "errors.h"
#include "event_stream.h"
#include "fork_bound.h"
#include "py_class.h"
#include "result_objects.h"
#include "vantrel/support/check.h"

namespace vantrel::py {
namespace {

struct LiveGroup {
  LiveGroup(GroupHandle handle, std::unique_ptr<EventStream<RunEvent>> stream,
            RequestIndexes requests)
      : handle(std::move(handle)), stream(std::move(stream)), requests(std::move(requests)) {}
  LiveGroup(LiveGroup&&) = default;
  // The group's latch may hold the last share of its results, every event of its runs.
  ~LiveGroup() { release_off_thread(std::move(handle.results)); }

  GroupHandle handle;
  std::unique_ptr<EventStream<RunEvent>> stream;
  RequestIndexes requests;
};

using GroupState = ForkBound<LiveGroup>;

// The group's state; in a forked child this raises.
LiveGroup& state_of(PyObject* self) { return record_of<GroupState>(self).get("Group"); }

// The request's index in `reqs` of a position in the group.
std::uint32_t index_of(const RequestIndexes& requests, std::size_t position) {
  check(position < requests.indexes.size(), "group position out of range");
  return static_cast<std::uint32_t>(requests.indexes[position]);
}

// The next event as a new PyRunEvent, or an empty reference once the stream has ended.
ref next_group_event(PyObject* self) {
  LiveGroup& state = state_of(self);
  return next_object(*state.stream, [&](RunEvent&& event) {
    std::size_t position = event.position;
    RunEventRecord record = run_event_into_py(std::move(event));
    record.index = index_of(state.requests, position);
    return record;
  });
}

PyObject* group_next_event(PyObject* self, PyObject*) {
  return boundary([&] {
    ref event = next_group_event(self);
    return event ? event.release() : none().release();
  });
}

PyObject* group_iternext(PyObject* self) {
  // The end of the stream ends the iteration: no object and no error set.
  return boundary([&] { return next_group_event(self).release(); });
}

// One record per element of `reqs`, in index order: the intake failures at their own indexes,
// every request of the group at the index its position maps to.
std::vector<GroupResultRecord> results_in_request_order(
    const RequestIndexes& requests, const std::shared_ptr<const GroupResults>& results) {
  std::vector<std::optional<GroupResultRecord>> slots(requests.total);
  for (const auto& [index, error] : requests.intake_errors) {
    check(index < slots.size(), "group index out of range");
    slots[index] = GroupResultRecord{static_cast<std::uint32_t>(index), {}, {}, error};
  }
  for (const GroupResult& result : *results) {
    std::uint32_t index = index_of(requests, result.position);
    check(index < slots.size(), "group index out of range");
    slots[index] = group_result_into_py(std::shared_ptr<const GroupResult>(results, &result));
    slots[index]->index = index;
  }
  std::vector<GroupResultRecord> records;
  records.reserve(slots.size());
  for (auto& slot : slots) {
    check(slot.has_value(), "group result missing");
    records.push_back(std::move(*slot));
  }
  return records;
}

PyObject* group_wait_method(PyObject* self, PyObject*) {
  return boundary([&] {
    LiveGroup& state = state_of(self);
    auto results = wait_or_raise(group_wait_shared(state.handle));
    return to_py(results_in_request_order(state.requests, results)).release();
  });
}

PyObject* group_cancel_method(PyObject* self, PyObject*) {
  return boundary([&] {
    group_cancel(state_of(self).handle);
    return none().release();
  });
}

PyMethodDef group_methods[] = {
    {"next_event", group_next_event, METH_NOARGS,
     "next_event($self)\n--\n\nAwaits the next multiplexed event, or `None` once every run "
     "finishes."},
    {"wait", group_wait_method, METH_NOARGS, "wait($self)\n--\n\nReturns every run result."},
    {"cancel", group_cancel_method, METH_NOARGS,
     "cancel($self)\n--\n\nStops all active and pending runs."},
    {nullptr, nullptr, 0, nullptr},
};

TypeCell group_class = record_class<GroupState>(
    "builtins.Group", "A batch of running selected-agent processes.", nullptr,
    {{Py_tp_methods, group_methods},
     {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
     {Py_tp_iternext, reinterpret_cast<void*>(group_iternext)}});

}  // namespace

template <>
PyTypeObject* type_object<GroupState>() {
  return group_class.get();
}

PyTypeObject* group_type_object() { return group_class.get(); }

ref group_new_object(GroupRecord record) {
  return new_object(GroupState(LiveGroup{
      std::move(record.handle), std::make_unique<EventStream<RunEvent>>(std::move(record.stream)),
      std::move(record.requests)}));
}

}  // namespace vantrel::py
