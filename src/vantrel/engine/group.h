// Groups of runs: many requests under a concurrency limit, one event stream tagged by request
// position, cancellation of the whole group, and one result per request in request order.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <memory>
#include <optional>
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

// The caller's side of a group. Dropping it cancels nothing: the group runs to its end, its
// remaining events are discarded and its results are stored where nobody reads them.
struct GroupHandle {
  // The group's event stream; present until taken once.
  std::optional<runtime::Receiver<RunEvent>> events;
  // The group's own token, shared with its scheduler, members and pump.
  runtime::CancellationToken cancel;
  // Set once, by the scheduler, when every request is settled.
  std::shared_ptr<Latch<GroupResults>> results;
};

// Starts a group on the shared runtime and returns at once, without waiting for any run.
// `max_concurrent` 0 means 1. The event stream holds max(`event_buffer`, else the config's
// `event_buffer`, 1) events; each run keeps its own channel of the config's size. Every member
// passes `handler` (empty for none) to its launch. An empty `requests` still makes a group: its
// stream ends at once and its results are an empty list.
GroupHandle launch_group(std::shared_ptr<const RunnerConfig> config,
                         std::vector<RunRequest> requests, std::size_t max_concurrent,
                         std::optional<std::size_t> event_buffer, EventHandler handler = {});

// Takes the event stream out of the handle; a second take stops with Panic.
runtime::Receiver<RunEvent> group_take_events(GroupHandle& handle);

// Waits until the group is settled and returns a copy of its results: one per request, the
// element at index i having position i. Any number of callers, any number of times.
boost::asio::awaitable<GroupResults> group_wait(const GroupHandle& handle);

// The stored results themselves, shared and read-only, waiting as group_wait does but without
// its copy. The latch is shared at the call, so the handle need not outlive the wait.
boost::asio::awaitable<std::shared_ptr<const GroupResults>> group_wait_shared(
    const GroupHandle& handle);

// Cancels the group and returns at once: the pump stops, running members cancel their runs and
// requests not yet admitted are settled as cancelled. A second cancel changes nothing.
void group_cancel(const GroupHandle& handle);

}  // namespace vantrel
