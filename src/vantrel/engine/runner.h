// Launching one agent run: the child process and the four tasks that carry it.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <string>

#include "vantrel/engine/session.h"
#include "vantrel/protocol/event.h"
#include "vantrel/protocol/request.h"
#include "vantrel/protocol/run_error.h"
#include "vantrel/support/result.h"

namespace vantrel {

// An optional per-event callback of a run, called from any worker thread with a copy of each
// decoded event and awaited before the run goes on. An error (the message) ends the run with a
// Handler error. An empty function means no handler.
using EventHandler = std::function<boost::asio::awaitable<Result<void, std::string>>(Event event)>;

// Starts one run of the config's agent for `request` and returns its handle, or the builder's
// or the spawn's error ("process": "agent process error: <cause>"; no task is started and the
// invocation's temporary files are deleted). Must run on the shared runtime; never suspends:
// it returns as soon as the child is spawned and the run's tasks are started.
//
// Build the request before the call: g++ 12 miscompiles an aggregate temporary made with
// designated initializers inside a co_await expression (`co_await launch(c, RunRequest{...})`
// frees garbage); `RunRequest r{...}; co_await launch(c, std::move(r));` is fine.
boost::asio::awaitable<Result<SessionHandle, RunError>> launch(
    std::shared_ptr<const RunnerConfig> config, RunRequest request, EventHandler handler = {});

}  // namespace vantrel
