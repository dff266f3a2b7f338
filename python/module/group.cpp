// The Group class: the multiplexed event stream under its own lock, the results in request order
// with the intake failures in their places, and cancellation.
#include "group.h"

#include <memory>
#include <optional>

#include "blocking.h"
#include "errors.h"
#include "py_class.h"
#include "result_objects.h"
#include "stream_object.h"
#include "vantrel/support/check.h"

namespace vantrel::py {
namespace {

// The request's index in `reqs` of a position in the group.
std::uint32_t index_of(const RequestIndexes& requests, std::size_t position) {
  check(position < requests.indexes.size(), "group position out of range");
  return static_cast<std::uint32_t>(requests.indexes[position]);
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

struct GroupKind {
  static constexpr const char* name = "Group";
  using Handle = GroupHandle;
  using Event = RunEvent;
  using Extra = RequestIndexes;

  static runtime::Receiver<RunEvent> take_events(GroupHandle& handle) {
    return group_take_events(handle);
  }
  static auto& results(GroupHandle& handle) { return handle.results; }
  static RunEventRecord record(LiveStream<GroupKind>& live, RunEvent&& event) {
    std::size_t position = event.position;
    RunEventRecord record = run_event_into_py(std::move(event));
    record.index = index_of(live.extra, position);
    return record;
  }
  static ref wait(LiveStream<GroupKind>& live) {
    auto results = wait_or_raise(group_wait_shared(live.handle));
    return to_py(results_in_request_order(live.extra, results));
  }
  // A group always starts; never called.
  static ref failed_wait(const ErrorRecord&) { return to_py(std::vector<GroupResultRecord>()); }
  static void cancel(const GroupHandle& handle) { group_cancel(handle); }
};

using Methods = StreamMethods<GroupKind>;

PyMethodDef group_methods[] = {
    {"next_event", Methods::next_event, METH_NOARGS,
     "next_event($self)\n--\n\nAwaits the next multiplexed event, or `None` once every run "
     "finishes."},
    {"wait", Methods::wait, METH_NOARGS, "wait($self)\n--\n\nReturns every run result."},
    {"cancel", Methods::cancel, METH_NOARGS,
     "cancel($self)\n--\n\nStops all active and pending runs."},
    {nullptr, nullptr, 0, nullptr},
};

TypeCell group_class = Methods::type_cell(
    "builtins.Group", "A batch of running selected-agent processes.", nullptr, group_methods);

}  // namespace

template <>
PyTypeObject* type_object<StreamState<GroupKind>>() {
  return group_class.get();
}

PyTypeObject* group_type_object() { return group_class.get(); }

ref group_new_object(GroupRecord record) {
  return Methods::live_object(std::move(record.handle), std::move(record.requests));
}

}  // namespace vantrel::py
