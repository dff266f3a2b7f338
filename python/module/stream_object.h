// What a Session and a Group share: the live state of the process that made it (its engine handle
// and event stream, behind the stream lock), or the error of a start that failed; and their
// methods next_event, iteration, wait and cancel. `Kind` supplies what differs:
//
//   name                  "Session" or "Group", in the after-fork error
//   Handle, Event         the engine's handle and the event its stream carries
//   Extra                 what else the live state keeps (a group's request indexes)
//   take_events(handle)   the handle's event receiver, taken once
//   results(handle)       the latch that may hold the last share of every event (released off
//                         the interpreter's thread)
//   record(live, event)   the record of an event
//   wait(live)            the records of the wait, as a new object
//   failed_wait(error)    the same for a failed start
//   cancel(handle)        the engine's cancel
#pragma once

#include <Python.h>

#include <memory>
#include <utility>
#include <variant>

#include "errors.h"
#include "event_stream.h"
#include "fork_bound.h"
#include "py_class.h"
#include "records.h"

namespace vantrel::py {

template <class Kind>
struct LiveStream {
  LiveStream(typename Kind::Handle handle, typename Kind::Extra extra)
      : handle(std::move(handle)),
        stream(
            std::make_unique<EventStream<typename Kind::Event>>(Kind::take_events(this->handle))),
        extra(std::move(extra)) {}
  LiveStream(LiveStream&&) = default;
  // The latch may hold the last share of the run's or group's outcome, every event of it.
  ~LiveStream() {
    if (stream) release_off_thread(std::move(Kind::results(handle)));
  }

  typename Kind::Handle handle;
  std::unique_ptr<EventStream<typename Kind::Event>> stream;
  typename Kind::Extra extra;
};

// The record a Session or Group object owns. In a forked child the live state raises.
template <class Kind>
struct StreamState {
  std::variant<ForkBound<LiveStream<Kind>>, ErrorRecord> state;
};

template <class Kind>
struct StreamMethods {
  using State = StreamState<Kind>;

  // The live state, or null for a failed start.
  static LiveStream<Kind>* live(PyObject* self) {
    auto* bound = std::get_if<ForkBound<LiveStream<Kind>>>(&record_of<State>(self).state);
    return bound ? &bound->get(Kind::name) : nullptr;
  }

  // The next event as a new object, or an empty reference once the stream has ended.
  static ref next(PyObject* self) {
    LiveStream<Kind>* state = live(self);
    if (state == nullptr) return {};
    return next_object(*state->stream, [&](typename Kind::Event&& event) {
      return Kind::record(*state, std::move(event));
    });
  }

  static PyObject* next_event(PyObject* self, PyObject*) {
    return boundary([&] {
      ref event = next(self);
      return event ? event.release() : none().release();
    });
  }

  static PyObject* iternext(PyObject* self) {
    // An empty result with no error set ends the iteration.
    return boundary([&] { return next(self).release(); });
  }

  static PyObject* wait(PyObject* self, PyObject*) {
    return boundary([&] {
      if (LiveStream<Kind>* state = live(self)) return Kind::wait(*state).release();
      return Kind::failed_wait(std::get<ErrorRecord>(record_of<State>(self).state)).release();
    });
  }

  static PyObject* cancel(PyObject* self, PyObject*) {
    return boundary([&] {
      if (LiveStream<Kind>* state = live(self)) Kind::cancel(state->handle);
      return none().release();
    });
  }

  // The class: `methods` (next_event, wait and cancel among them) and iteration.
  static TypeCell type_cell(const char* full_name, const char* doc, PyGetSetDef* getset,
                            PyMethodDef* methods) {
    return record_class<State>(full_name, doc, getset,
                               {{Py_tp_methods, methods},
                                {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
                                {Py_tp_iternext, reinterpret_cast<void*>(iternext)}});
  }

  static ref live_object(typename Kind::Handle handle, typename Kind::Extra extra = {}) {
    return new_object(
        State{ForkBound<LiveStream<Kind>>(LiveStream<Kind>(std::move(handle), std::move(extra)))});
  }
  static ref failed_object(ErrorRecord error) { return new_object(State{std::move(error)}); }
};

}  // namespace vantrel::py
