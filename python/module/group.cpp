// The Group class: the multiplexed event stream under its own lock, the results in request order
// with the intake failures in their places, and cancellation.
#include "group.h"

#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "blocking.h"
#include "errors.h"
#include "py_class.h"
#include "result_objects.h"
#include "vantrel/check.h"

namespace vantrel::py {
namespace {

// The group's event receiver behind the stream lock, with the events already taken out of the
// channel in one go and not yet handed over. The lock is waited for, and held across the wait for
// the next event, only without the interpreter lock; a thread that holds the interpreter lock
// only tries it. A failure while it was held (a wait that did not come back normally) leaves it
// poisoned.
class EventStream {
 public:
  explicit EventStream(runtime::Receiver<RunEvent> receiver) : receiver_(std::move(receiver)) {}

  // The next event when one can be had without waiting, with the interpreter lock held: none
  // when the stream is busy in another thread or has nothing ready (then call `next`).
  std::optional<RunEvent> next_ready() {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock() || poisoned_) return std::nullopt;
    if (ready_.empty()) receiver_.take_ready(ready_);
    return pop();
  }

  // Waits for the next event, or none once the stream has ended. Call without the interpreter
  // lock.
  std::optional<RunEvent> next() {
    std::lock_guard lock(mutex_);
    check(!poisoned_, "stream poisoned");
    if (ready_.empty()) {
      poisoned_ = true;
      if (auto first = runtime::block_on(receiver_.receive())) {
        ready_.push_back(std::move(*first));
        receiver_.take_ready(ready_);
      }
      poisoned_ = false;
    }
    return pop();
  }

 private:
  std::optional<RunEvent> pop() {
    if (ready_.empty()) return std::nullopt;
    std::optional<RunEvent> event(std::move(ready_.front()));
    ready_.pop_front();
    return event;
  }

  std::mutex mutex_;
  bool poisoned_ = false;
  runtime::Receiver<RunEvent> receiver_;
  std::deque<RunEvent> ready_;
};

struct GroupState {
  GroupHandle handle;
  std::unique_ptr<EventStream> stream;
  RequestIndexes requests;
};

GroupState& state_of(PyObject* self) { return record_of<GroupState>(self); }

// The request's index in `reqs` of a position in the group.
std::uint32_t index_of(const RequestIndexes& requests, std::size_t position) {
  check(position < requests.indexes.size(), "group position out of range");
  return static_cast<std::uint32_t>(requests.indexes[position]);
}

// The next event as a PyRunEvent record, or none once the stream has ended.
std::optional<RunEventRecord> next_group_event(GroupState& state) {
  EventStream& stream = *state.stream;
  auto event = stream.next_ready();
  if (!event) event = without_interpreter_lock([&] { return stream.next(); });
  if (!event) return std::nullopt;
  std::size_t position = event->position;
  RunEventRecord record = run_event_into_py(std::move(*event));
  record.index = index_of(state.requests, position);
  return record;
}

PyObject* group_next_event(PyObject* self, PyObject*) {
  return boundary([&] {
    auto record = next_group_event(state_of(self));
    if (!record) return none().release();
    return new_object(std::move(*record)).release();
  });
}

PyObject* group_iternext(PyObject* self) {
  return boundary([&]() -> PyObject* {
    auto record = next_group_event(state_of(self));
    // The end of the stream ends the iteration: no object and no error set.
    if (!record) return nullptr;
    return new_object(std::move(*record)).release();
  });
}

PyObject* group_iter(PyObject* self) {
  Py_INCREF(self);
  return self;
}

// One record per element of `reqs`, in index order: the intake failures at their own indexes,
// every request of the group at the index its position maps to.
std::vector<GroupResultRecord> results_in_request_order(const RequestIndexes& requests,
                                                        GroupResults results) {
  std::vector<std::optional<GroupResultRecord>> slots(requests.total);
  for (const auto& [index, error] : requests.intake_errors) {
    check(index < slots.size(), "group index out of range");
    slots[index] = GroupResultRecord{static_cast<std::uint32_t>(index), {}, {}, error};
  }
  for (GroupResult& result : results) {
    std::uint32_t index = index_of(requests, result.position);
    check(index < slots.size(), "group index out of range");
    slots[index] = group_result_into_py(std::move(result));
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
    GroupState& state = state_of(self);
    GroupResults results = run_blocking(group_wait(state.handle));
    return to_py(results_in_request_order(state.requests, std::move(results))).release();
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
     {Py_tp_iter, reinterpret_cast<void*>(group_iter)},
     {Py_tp_iternext, reinterpret_cast<void*>(group_iternext)}});

}  // namespace

template <>
PyTypeObject* type_object<GroupState>() {
  return group_class.get();
}

PyTypeObject* group_type_object() { return group_class.get(); }

ref group_new_object(GroupRecord record) {
  return new_object(GroupState{std::move(record.handle),
                               std::make_unique<EventStream>(std::move(record.stream)),
                               std::move(record.requests)});
}

}  // namespace vantrel::py
