// Groups of runs: the scheduler that admits requests against a semaphore, the member task that
// drives one run, and the pump that feeds the caller's bounded event stream.
#include "vantrel/engine/group.h"

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <deque>
#include <utility>

#include "vantrel/runtime/live_work.h"
#include "vantrel/runtime/runtime.h"
#include "vantrel/runtime/select.h"
#include "vantrel/runtime/semaphore.h"
#include "vantrel/runtime/task_set.h"
#include "vantrel/support/check.h"

namespace vantrel {
namespace {

namespace asio = boost::asio;
using runtime::BoundedSender;
using runtime::CancellationToken;
using runtime::Receiver;
using runtime::Semaphore;
using runtime::UnboundedSender;

using Config = std::shared_ptr<const RunnerConfig>;
using Handler = EventHandler;
using Results = std::shared_ptr<Latch<GroupResults>>;

// A member's answer: the position it was admitted at and that request's record.
using Answer = std::pair<std::size_t, GroupResult>;

// The record of a request that ended with `error` and no result; `run_id` is empty when no run
// was started.
GroupResult error_record(std::size_t position, RunError error, std::string run_id = {}) {
  return {
      .run_id = std::move(run_id), .result = {}, .error = std::move(error), .position = position};
}

// The record of a request that never ran: not admitted before the group was cancelled, or
// whose member ended without an answer.
GroupResult cancelled_record(std::size_t position) {
  return error_record(position, RunError::cancelled());
}

// A run that ran keeps its result, events and standard-error tail among it, beside its error.
GroupResult record_of_outcome(const std::string& run_id, const Outcome& outcome,
                              std::size_t position) {
  return {.run_id = run_id, .result = outcome.result, .error = outcome.error, .position = position};
}

// Passes the run's shared events on to the group, every batch queued at a wake-up at once, until
// the run's stream ends. Sending never waits: once the pump has stopped the events are dropped.
asio::awaitable<void> forward_run_events(Receiver<SharedEvent>& events, const std::string& run_id,
                                         const UnboundedSender<RunEvent>& to,
                                         std::size_t position) {
  for (;;) {
    auto batch = co_await events.receive_all();
    if (batch.empty()) co_return;
    std::deque<RunEvent> tagged;
    for (SharedEvent& event : batch)
      tagged.push_back(RunEvent{.event = std::move(event), .run_id = run_id, .position = position});
    to.send_all(tagged);
  }
}

// Forwards the run's events while watching the group's token, which is looked at first: on its
// cancellation the run is cancelled, once, and its events are still read to their end, so the
// run is never held up by a full channel of its own.
asio::awaitable<void> forward_and_relay(SessionHandle& session, const UnboundedSender<RunEvent>& to,
                                        const CancellationToken& group_cancel,
                                        std::size_t position) {
  Receiver<SharedEvent> events = session_take_events(session);
  if (!group_cancel.is_cancelled()) {
    auto ended = co_await runtime::select_first(
        group_cancel.cancelled(), forward_run_events(events, session.run_id, to, position));
    // Not cancelled: the run's stream ended. Cancelled: the forwarder was stopped, and what it
    // took from the run's channel before the stop reached it was passed on.
    if (!ended.first) co_return;
  }
  session_cancel(session);
  co_await forward_run_events(events, session.run_id, to, position);
}

// One admitted request. The permit is held until the answer is made, so the run's process has
// been waited for before the next request can take its place.
asio::awaitable<Answer> run_group_member(RunRequest request, Semaphore::Permit permit,
                                         Config config, UnboundedSender<RunEvent> to,
                                         CancellationToken group_cancel,
                                         std::shared_ptr<LaunchGate> gate, std::size_t position,
                                         Handler handler) {
  // A task set may start a task inline, on the scheduler's thread; launching from a fresh turn
  // of the runtime lets the scheduler go on admitting while this spawn runs on another worker.
  co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
  // The token is looked at once the permit is held: a cancel while this request waited for it
  // starts nothing.
  auto pass = gate->enter(group_cancel);
  if (!pass) co_return Answer{position, cancelled_record(position)};
  auto launched = co_await launch(std::move(config), std::move(request), std::move(handler));
  pass.reset();
  if (!launched) co_return Answer{position, error_record(position, std::move(launched).error())};
  SessionHandle session = std::move(launched).value();
  co_await forward_and_relay(session, to, group_cancel, position);
  // The run stores its outcome before its event stream ends, so this returns at once.
  auto outcome = co_await session.latch->wait_shared();
  Answer answer{position, record_of_outcome(session.run_id, *outcome, position)};
  (void)permit;
  co_return answer;
}

// Admits the requests in list order, settles each one once, and stores the whole list.
asio::awaitable<void> admit_and_collect(std::vector<RunRequest> requests, Config config,
                                        UnboundedSender<RunEvent> to, CancellationToken cancel,
                                        std::shared_ptr<LaunchGate> gate,
                                        std::vector<std::optional<GroupResult>>& slots,
                                        std::size_t max_concurrent, Handler handler) {
  Semaphore semaphore(max_concurrent);
  runtime::TaskSet<Answer> members(co_await asio::this_coro::executor);
  {
    // Only members hold senders after the last admission, so the stream ends with the last one.
    auto sender = std::move(to);
    for (std::size_t position = 0; position < requests.size(); ++position) {
      // A cancelled group admits nothing more; the wait for a permit itself is not interrupted.
      if (cancel.is_cancelled()) {
        slots[position] = cancelled_record(position);
        continue;
      }
      auto permit = co_await semaphore.acquire();
      if (!permit) {
        slots[position] = cancelled_record(position);
        continue;
      }
      members.spawn(run_group_member(std::move(requests[position]), std::move(*permit), config,
                                     sender, cancel, gate, position, handler));
    }
  }
  requests.clear();
  while (auto finished = co_await members.join_next()) {
    // A member that ended abnormally gave no answer; its slot is filled as cancelled below.
    if (finished->value) slots[finished->value->first] = std::move(finished->value->second);
  }
}

// The group is live work until its results are stored.
asio::awaitable<void> run_group(std::vector<RunRequest> requests, Config config,
                                UnboundedSender<RunEvent> to, CancellationToken cancel,
                                std::shared_ptr<LaunchGate> gate, Results results,
                                std::size_t max_concurrent, Handler handler,
                                runtime::LiveWork::Enrolment live) {
  std::vector<std::optional<GroupResult>> slots(requests.size());
  try {
    co_await admit_and_collect(std::move(requests), std::move(config), std::move(to), cancel,
                               std::move(gate), slots, max_concurrent, std::move(handler));
  } catch (...) {
    // The scheduler itself failed: whatever still runs is cancelled, and the waiters still get
    // a full list rather than waiting for ever.
    cancel.cancel();
  }
  GroupResults list;
  list.reserve(slots.size());
  for (std::size_t position = 0; position < slots.size(); ++position)
    list.push_back(slots[position] ? std::move(*slots[position]) : cancelled_record(position));
  results->set(std::move(list));
  (void)live;
}

// Moves events from the members' unbounded channel into the caller's bounded one, everything
// queued at a wake-up in one go, until every member is done or the reader is gone.
asio::awaitable<void> move_group_events(Receiver<RunEvent>& from, const BoundedSender<RunEvent>& to,
                                        const CancellationToken& cancel) {
  for (;;) {
    auto batch = co_await from.receive_all();
    if (batch.empty()) co_return;
    while (!batch.empty()) {
      // Nothing more goes to the reader once the group is cancelled.
      if (cancel.is_cancelled()) co_return;
      if (!co_await to.send_some(batch)) co_return;
    }
  }
}

// The group's pump. The cancellation is looked at first and stops it at once, in whatever wait
// it is; stopping drops both ends it holds, so what was not yet delivered is discarded and the
// reader gets what is already buffered, then the end of the stream.
asio::awaitable<void> pump_group_events(Receiver<RunEvent> from, BoundedSender<RunEvent> to,
                                        CancellationToken cancel) {
  co_await runtime::select_first(cancel.cancelled(), move_group_events(from, to, cancel));
}

}  // namespace

GroupHandle launch_group(Config config, std::vector<RunRequest> requests,
                         std::size_t max_concurrent, std::optional<std::size_t> event_buffer,
                         Handler handler) {
  max_concurrent = std::max<std::size_t>(max_concurrent, 1);
  auto [member_sender, pump_receiver] = runtime::make_unbounded_channel<RunEvent>();
  auto [pump_sender, events] = runtime::make_bounded_channel<RunEvent>(
      std::max<std::size_t>(event_buffer.value_or(config->event_buffer), 1));
  CancellationToken cancel;
  auto results = std::make_shared<Latch<GroupResults>>();
  auto executor = runtime::shared_runtime().executor();
  asio::co_spawn(executor,
                 pump_group_events(std::move(pump_receiver), std::move(pump_sender), cancel),
                 asio::detached);
  auto gate = std::make_shared<LaunchGate>();
  asio::co_spawn(executor,
                 run_group(std::move(requests), std::move(config), std::move(member_sender), cancel,
                           gate, results, max_concurrent, std::move(handler),
                           runtime::live_work().enrol([cancel] { cancel.cancel(); })),
                 asio::detached);
  return GroupHandle{
      .events = std::move(events), .cancel = cancel, .results = std::move(results), .gate = gate};
}

GroupHandle refused_group(std::size_t count) {
  auto [sender, events] = runtime::make_bounded_channel<RunEvent>(1);
  auto results = std::make_shared<Latch<GroupResults>>();
  GroupResults list;
  list.reserve(count);
  for (std::size_t position = 0; position < count; ++position)
    list.push_back(cancelled_record(position));
  results->set(std::move(list));
  CancellationToken cancel;
  cancel.cancel();
  return GroupHandle{.events = std::move(events), .cancel = cancel, .results = std::move(results)};
}

runtime::Receiver<RunEvent> group_take_events(GroupHandle& handle) {
  return take_event_stream(handle.events);
}

namespace {
asio::awaitable<GroupResults> copy_results(Results results) {
  auto copy = co_await results->wait();
  co_return copy ? std::move(*copy) : GroupResults{};
}
}  // namespace

// The latch is shared here, before the wait starts, so the handle need not outlive it.
asio::awaitable<GroupResults> group_wait(const GroupHandle& handle) {
  return copy_results(handle.results);
}

asio::awaitable<std::shared_ptr<const GroupResults>> group_wait_shared(const GroupHandle& handle) {
  return wait_shared(handle.results);
}

void group_cancel(const GroupHandle& handle) { handle.gate->cancel_and_close(handle.cancel); }

std::optional<LaunchGate::Pass> LaunchGate::enter(const CancellationToken& cancel) {
  std::lock_guard lock(mutex_);
  if (closed_ || cancel.is_cancelled()) return std::nullopt;
  ++inside_;
  return Pass(*this);
}

LaunchGate::Pass::~Pass() {
  if (gate_ == nullptr) return;
  std::lock_guard lock(gate_->mutex_);
  if (--gate_->inside_ == 0) gate_->left_.notify_all();
}

void LaunchGate::cancel_and_close(const CancellationToken& cancel) {
  std::unique_lock lock(mutex_);
  closed_ = true;
  lock.unlock();
  cancel.cancel();
  lock.lock();
  left_.wait(lock, [&] { return inside_ == 0; });
}

}  // namespace vantrel
