// Groups of runs: many requests under a concurrency limit, one event stream tagged by request
// position, cancellation of the whole group, and one result per request in request order.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "vantrel/engine/latch.h"
#include "vantrel/engine/outcome.h"
#include "vantrel/engine/runner.h"
#include "vantrel/engine/session.h"
#include "vantrel/protocol/request.h"
#include "vantrel/runtime/cancellation_token.h"
#include "vantrel/runtime/channel.h"

namespace vantrel {

using GroupResults = std::vector<GroupResult>;

// Where a group's members launch their runs: a member passes it while it looks at the group's
// token and launches, and a cancel waits until no member is inside, so that once the cancel has
// returned no agent of the group starts. Thread-safe.
class LaunchGate {
 public:
  // Counts a member as inside from its look at the token until it is dropped, which may be on
  // another thread. Move-only.
  class Pass {
   public:
    Pass(Pass&& other) noexcept : gate_(std::exchange(other.gate_, nullptr)) {}
    Pass& operator=(Pass&&) = delete;
    ~Pass();

   private:
    friend class LaunchGate;
    explicit Pass(LaunchGate& gate) : gate_(&gate) {}
    LaunchGate* gate_;
  };

  // A pass to launch under, or none when the group was cancelled first. A member keeps it only
  // until its launch returns (once its child is spawned).
  std::optional<Pass> enter(const runtime::CancellationToken& cancel);
  // Cancels `cancel` and waits until no member holds a pass.
  void cancel_and_close(const runtime::CancellationToken& cancel);

 private:
  std::mutex mutex_;
  std::condition_variable left_;
  bool closed_ = false;
  std::uint32_t inside_ = 0;
};

// The caller's side of a group. Dropping it cancels nothing: the group runs to its end, its
// remaining events are discarded and its results are stored where nobody reads them.
struct GroupHandle {
  // The group's event stream; present until taken once.
  std::optional<runtime::Receiver<RunEvent>> events;
  // The group's own token, shared with its scheduler, members and pump.
  runtime::CancellationToken cancel;
  // Set once, by the scheduler, when every request is settled.
  std::shared_ptr<Latch<GroupResults>> results;
  // Shared with the members.
  std::shared_ptr<LaunchGate> gate = std::make_shared<LaunchGate>();
};

// Starts a group on the shared runtime and returns at once, without waiting for any run.
// `max_concurrent` 0 means 1. The event stream holds max(`event_buffer`, else the config's
// `event_buffer`, 1) events; each run keeps its own channel of the config's size. Every member
// passes `handler` (empty for none) to its launch. An empty `requests` still makes a group: its
// stream ends at once and its results are an empty list.
GroupHandle launch_group(std::shared_ptr<const RunnerConfig> config,
                         std::vector<RunRequest> requests, std::size_t max_concurrent,
                         std::optional<std::size_t> event_buffer, EventHandler handler = {});

// A group refused before it started (the exit's cancel had begun): no task, no agent; its stream
// has ended and each of its `count` requests is settled as cancelled.
GroupHandle refused_group(std::size_t count);

// Takes the event stream out of the handle; a second take stops with Panic.
runtime::Receiver<RunEvent> group_take_events(GroupHandle& handle);

// Waits until the group is settled and returns a copy of its results: one per request, the
// element at index i having position i. Any number of callers, any number of times. A wait
// stopped through its cancellation slot returns an empty list.
boost::asio::awaitable<GroupResults> group_wait(const GroupHandle& handle);

// The stored results themselves, shared and read-only, waiting as group_wait does but without
// its copy. The latch is shared at the call, so the handle need not outlive the wait. Null when
// the wait was stopped.
boost::asio::awaitable<std::shared_ptr<const GroupResults>> group_wait_shared(
    const GroupHandle& handle);

// Cancels the group and returns once no member is about to launch (at once, or after a spawn
// under way): the pump stops, running members cancel their runs, and requests not yet launched,
// a member's that waited for its permit among them, are settled as cancelled and start no agent.
// A second cancel changes nothing.
void group_cancel(const GroupHandle& handle);

}  // namespace vantrel
