// The caller's side of one run: its id, thread id, token, event stream and result latch.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "vantrel/engine/latch.h"
#include "vantrel/engine/outcome.h"
#include "vantrel/protocol/event.h"
#include "vantrel/runtime/cancellation_token.h"
#include "vantrel/runtime/channel.h"
#include "vantrel/support/check.h"
#include "vantrel/support/guarded.h"

namespace vantrel {

// The agent's thread or session id of a run: "" until the run loop sees thread.started.
// Thread-safe; a failure while its lock was held stops later calls with "thread id poisoned".
class ThreadIdSlot {
 public:
  std::string get() {
    return text_.with([](const std::string& text) { return text; });
  }
  void set(const std::string& text) {
    text_.with([&](std::string& held) { held = text; });
  }
  void poison_for_test() { text_.poison(); }

 private:
  Guarded<std::string> text_{"thread id poisoned", std::string()};
};

// Moves an event receiver out of the slot of its run's or group's handle. A second call stops
// with "event stream already taken (events/next_event called twice)".
template <class T>
runtime::Receiver<T> take_event_stream(std::optional<runtime::Receiver<T>>& slot) {
  check(slot.has_value(), "event stream already taken (events/next_event called twice)");
  runtime::Receiver<T> events = std::move(*slot);
  slot.reset();
  return events;
}

// What `launch` hands back for one run. It holds only shares: dropping it neither cancels nor
// stops the run.
struct SessionHandle {
  std::string run_id;
  std::shared_ptr<ThreadIdSlot> thread_id;
  runtime::CancellationToken cancel;
  std::shared_ptr<Latch<Outcome>> latch;
  // Present from launch until session_take_events hands it out.
  std::optional<runtime::Receiver<SharedEvent>> events;
};

// The thread id the agent reported so far; "" before it did.
std::string session_thread_id(const SessionHandle& handle);

// Cancels the run. Returns at once; any number of calls, from any thread.
void session_cancel(const SessionHandle& handle);

// Hands out the event receiver. A second call stops with "event stream already taken
// (events/next_event called twice)".
runtime::Receiver<SharedEvent> session_take_events(SessionHandle& handle);

// The next event, shared with the run's result, or none once the stream has ended (and on every
// later call), or at once when the receiver was taken; none too when the wait was stopped
// through its cancellation slot. One caller at a time.
boost::asio::awaitable<std::optional<SharedEvent>> session_next_event(SessionHandle& handle);

// A copy of the run's outcome (its events shared, not copied), waiting until it is stored. Any
// number of callers at once, before or after the run ended; every call returns an equal copy.
// A wait stopped through its cancellation slot reads as an outcome with a cancelled error and
// no result.
boost::asio::awaitable<Outcome> session_wait(const SessionHandle& handle);

// The stored outcome itself, shared and read-only, waiting as session_wait does. For callers
// that only read the outcome once (to convert it), this saves session_wait's copy, which for
// a long run still costs a share of each of the run's events. The latch is shared at the call,
// so the handle need not outlive the wait. Null when the wait was stopped.
boost::asio::awaitable<std::shared_ptr<const Outcome>> session_wait_shared(
    const SessionHandle& handle);

}  // namespace vantrel
