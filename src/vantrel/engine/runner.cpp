// Launching a run, and the run itself. A run is four actors on one strand of its own, composed
// in RunLoop::run: the output reader (lines decoded into events), the standard-error reader
// (its tail), the prompt writer (standard input), and the child's actor (child_actor.h), which
// waits once for the agent's exit, gives the pipes their grace, and alone kills and reaps. The
// events go straight into the caller's bounded stream while it has room; what finds it full waits
// in a backlog that a forwarder of its own passes on, apart from the actors, so that a slow
// reader never holds up the run or its outcome.
#include "vantrel/engine/runner.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <chrono>
#include <deque>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "vantrel/engine/child_actor.h"
#include "vantrel/engine/line_reader.h"
#include "vantrel/engine/tail.h"
#include "vantrel/json/json.h"
#include "vantrel/protocol/args.h"
#include "vantrel/protocol/claude_args.h"
#include "vantrel/protocol/claude_stream.h"
#include "vantrel/protocol/grok_args.h"
#include "vantrel/runtime/live_work.h"
#include "vantrel/runtime/runtime.h"
#include "vantrel/runtime/select.h"
#include "vantrel/support/check.h"

namespace vantrel {
namespace {

using boost::asio::awaitable;
using runtime::CancellationToken;

WallTime wall_clock() { return std::chrono::system_clock::now(); }

// Where a run's events go: the caller's bounded stream, and, once that was found full, a backlog
// in front of it. Shared by the run loop and the backlog's forwarder, on the run's strand. The
// stream ends once both have let go of it.
class EventOutlet : public std::enable_shared_from_this<EventOutlet> {
 public:
  explicit EventOutlet(runtime::BoundedSender<SharedEvent> stream) : stream_(std::move(stream)) {}

  // False once the reader is gone: nothing more is passed on.
  bool open() const { return open_; }

  // Passes `events` on in order, clearing it: into the stream as far as it has room, without
  // waiting; the rest, and everything after it until the backlog is gone, into the backlog,
  // which a forwarder started here on `strand` passes on as the reader makes room. The backlog
  // is offered to the stream here too, also while the forwarder waits: a run whose agent writes
  // faster than it is decoded may not yield to the forwarder for long, and a reader that went
  // away meanwhile must not leave a backlog of every event behind.
  void pass_on(std::vector<SharedEvent>& events, const boost::asio::any_io_executor& strand) {
    if (open_)
      backlog_.insert(backlog_.end(), std::make_move_iterator(events.begin()),
                      std::make_move_iterator(events.end()));
    events.clear();
    if (!open_) return;
    if (!stream_.try_send_some(backlog_)) return close();
    if (backlog_.empty() || forwarding_) return;
    forwarding_ = true;
    boost::asio::co_spawn(strand, forward_backlog(shared_from_this()), boost::asio::detached);
  }

 private:
  // Waits for room in the stream until the backlog is passed on, or the reader is gone. `self`
  // keeps the outlet while it waits.
  awaitable<void> forward_backlog(std::shared_ptr<EventOutlet> self) {
    (void)self;
    while (!backlog_.empty()) {
      // Awaited apart from the test: g++ 12 mishandles this co_await inside the condition.
      bool sent = co_await stream_.send_some(backlog_);
      if (!sent) {
        close();
        break;
      }
    }
    forwarding_ = false;
  }

  void close() {
    open_ = false;
    std::deque<SharedEvent>().swap(backlog_);
  }

  runtime::BoundedSender<SharedEvent> stream_;
  std::deque<SharedEvent> backlog_;
  bool forwarding_ = false;
  bool open_ = true;
};

// Everything launch hands to the run loop.
struct RunParts {
  runtime::Child child;
  std::string stdin_text;
  DecoderState decoder;
  std::string run_id;
  std::vector<TempFile> temp_files;
  std::shared_ptr<TailBuffer> tail;
  std::shared_ptr<EventOutlet> events;
  CancellationToken token;
  std::shared_ptr<Latch<Outcome>> latch;
  std::shared_ptr<ThreadIdSlot> thread_id;
  EventHandler handler;
  std::size_t scan_max_bytes;
  Agent agent;
  // Dropped with the run loop, once the outcome is stored.
  runtime::LiveWork::Enrolment live;
};

// The run's actors, their working values, and the rules that end the run.
class RunLoop {
 public:
  explicit RunLoop(RunParts parts)
      : started_at_(wall_clock()),
        parts_(std::move(parts)),
        child_(std::move(parts_.child.process), /*pipes=*/3),
        reader_(std::move(parts_.child.stdout_pipe), parts_.scan_max_bytes),
        stderr_(std::move(parts_.child.stderr_pipe)),
        stdin_(std::move(parts_.child.stdin_pipe)),
        run_id_(parts_.run_id) {}
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;
  // However the loop ended, a cancel relayed later finds nothing.
  ~RunLoop() { *relay_ = nullptr; }

  // The run, composed. How it stops:
  // - The cancel (the run's one token; a decode or handler failure records its error and cancels
  //   it too): the run reads Cancelled unless an error is recorded, the agent's group is killed,
  //   and no further line is handled.
  // - The agent's exit: its temporary files go at once; its pipes get the grace to be let go.
  // - The grace's end with a pipe still held: what is left of the group is killed, the readers
  //   take what their pipes hold and end, the writer stops and its pipe is closed.
  // - Once every actor is done: the last look at the token, the reap, the outcome.
  // Should an actor fail (the engine runs out of memory), the others are stopped through their
  // cancellation slots; each actor then ends at its next wait, which its stop ends as a value,
  // so that the one failure is the one passed on.
  awaitable<void> run() {
    using namespace boost::asio::experimental::awaitable_operators;
    strand_ = co_await boost::asio::this_coro::executor;
    relay_cancel(strand_);
    co_await (watch_child() && read_output() && read_stderr() && write_prompt());
    finish();
  }

 private:
  // The token may be cancelled on any thread: the cancel is carried onto the run's strand, and
  // one that comes after the loop is gone finds nothing there.
  void relay_cancel(const boost::asio::any_io_executor& strand) {
    cancel_relay_ = parts_.token.on_cancel([strand, relay = relay_] {
      boost::asio::post(strand, [relay] {
        if (*relay) (*relay)->on_cancel();
      });
    });
  }

  void on_cancel() {
    if (!error_) error_ = RunError::cancelled();
    child_.kill();
    reader_.stop();
  }

  // The child's actor: the exit, the grace, and the kill when the pipes are still held.
  awaitable<void> watch_child() {
    co_await runtime::stops_as_values();
    status_ = co_await child_.run([this] { parts_.temp_files.clear(); },
                                  [this] {
                                    reader_.stop();
                                    stderr_.stop();
                                    runtime::stop_waits(stdin_);
                                  });
  }

  // Keeps the newest bytes of the agent's standard error.
  awaitable<void> read_stderr() {
    co_await runtime::stops_as_values();
    (void)co_await stderr_.read_all([&](std::string_view chunk) { parts_.tail->push(chunk); });
    child_.let_go();
  }

  // Feeds the agent its standard input, then closes it so that the agent reads end of file, and
  // lets go of the text. A failed write (the agent exited or closed its input first) is not
  // reported.
  awaitable<void> write_prompt() {
    co_await runtime::stops_as_values();
    (void)co_await runtime::write_all(stdin_, boost::asio::buffer(parts_.stdin_text));
    stdin_.close();
    std::string().swap(parts_.stdin_text);
    child_.let_go();
  }

  // Reads and handles lines until the output ends, the token is cancelled or a line fails.
  awaitable<void> read_output() {
    co_await runtime::stops_as_values();
    for (;;) {
      // The token is looked at before every line, even when lines are already buffered.
      if (parts_.token.is_cancelled()) break;
      LineReader::Item item = reader_.next();
      if (item.kind == LineReader::Item::NeedData) {
        // Everything decoded from the last chunk is passed on before the next wait.
        publish();
        if (!co_await reader_.fill()) break;
        // The lines of one read arrived together.
        read_at_ = wall_clock();
        continue;
      }
      if (item.kind == LineReader::Item::End) break;
      ++line_;
      if (item.kind == LineReader::Item::Failed) {
        stop_with(RunError::decode(std::move(item.failure), std::nullopt, line_));
        break;
      }
      // Without a handler a line needs no waiting, so it is taken without a coroutine.
      bool go_on;
      if (parts_.handler)
        go_on = co_await handle_line(item.line);
      else
        go_on = record_line(item.line);
      if (!go_on) break;
    }
    publish();
    reader_.close();
    child_.let_go();
  }

  // Decodes a line into `decoded_` (left empty for a blank line). False, and the run stopped,
  // when the line fails to decode. The line is kept once in the run's store, and its events'
  // texts are parts of it wherever they can be.
  bool decode_into_buffer(std::string_view raw_line) {
    decoded_.clear();
    std::string_view line = json::trim_unicode_space(raw_line);
    if (line.empty()) return true;
    const LineFrame frame{run_id_, store_.text_of(keeper_.thread_id()), read_at_, &store_};
    if (auto failure =
            decode_line_into(parts_.decoder, store_.keep(line), frame, keeper_, decoded_))
      return fail_line(*failure, line);
    return true;
  }

  bool fail_line(DecodeFailure& failure, std::string_view line) {
    stop_with(RunError::decode(std::move(failure.text), std::string(line), line_));
    return false;
  }

  // Records every event of a line; for runs without a handler. False when the line failed.
  bool record_line(std::string_view raw_line) {
    if (!decode_into_buffer(raw_line)) return false;
    for (SharedEvent& event : decoded_) record_event(std::move(event));
    decoded_.clear();
    return true;
  }

  // Records and hands each event of a line to the handler in turn. False when the line ended
  // the reading: it failed, or the handler failed (the rest of the line's events are then
  // dropped).
  awaitable<bool> handle_line(std::string_view raw_line) {
    if (!decode_into_buffer(raw_line)) co_return false;
    bool handled_all = true;
    for (SharedEvent& event : decoded_) {
      record_event(std::move(event));
      // The reader sees the event before the handler is awaited.
      publish();
      auto handled = co_await parts_.handler(event_of(last_recorded()));
      if (!handled) {
        stop_with(RunError::handler(std::move(handled).error()));
        handled_all = false;
        break;
      }
    }
    decoded_.clear();
    co_return handled_all;
  }

  // Applies a kept event to the run's values and adds it to the run's events, to be published
  // with the next batch.
  void record_event(SharedEvent&& kept) {
    const EventRecord& event = *kept;
    if (event.type == EventType::ThreadStarted)
      parts_.thread_id->set(std::string(event.thread_id()));
    if (event.type == EventType::ItemCompleted && event.item()->kind() == ItemKind::AgentMessage)
      final_message_ = kept;
    if (event.has_usage()) usage_ = event.usage();
    // The run's events are those its keeper kept, up to the last one recorded: a line's events
    // that are not recorded end the run.
    check(&event == &keeper_.events().record(recorded_), "events recorded out of order");
    ++recorded_;
    // The result and the readers share the one kept event. Once the reader is gone, nothing
    // more is published.
    if (parts_.events->open()) unpublished_.push_back(std::move(kept));
  }

  // The text of the run's last agent message.
  std::string final_message() const {
    if (!final_message_) return {};
    std::string scratch;
    return std::string(final_message_->item()->text(ItemText::Text, scratch));
  }

  // Passes on the events not yet passed on, all at once.
  void publish() {
    if (!unpublished_.empty()) parts_.events->pass_on(unpublished_, strand_);
  }

  // The run's events so far, in order.
  EventList recorded_events() const { return keeper_.events().first(recorded_); }
  // The run's last event so far; there must be one.
  const EventRecord& last_event() const { return keeper_.events().record(recorded_ - 1); }
  SharedEvent last_recorded() const { return keeper_.events().at(recorded_ - 1); }
  bool has_events() const { return recorded_ != 0; }

  void stop_with(RunError error) {
    error_ = std::move(error);
    parts_.token.cancel();
  }

  void finish() {
    // The last look at the token: a later cancellation changes nothing.
    if (parts_.token.is_cancelled()) on_cancel();
    *relay_ = nullptr;
    cancel_relay_ = {};
    child_.release();
    std::string stderr_text = tail_snapshot(*parts_.tail);
    WallTime finished_at = wall_clock();
    std::optional<RunError> error = choose_error(*status_, stderr_text);
    parts_.latch->set(Outcome{RunResult{std::move(parts_.run_id), std::string(keeper_.thread_id()),
                                        final_message(), std::move(usage_), recorded_events(),
                                        std::move(stderr_text), started_at_, finished_at},
                              std::move(error)});
  }

  std::optional<RunError> choose_error(const runtime::Result<runtime::ExitStatus>& status,
                                       const std::string& stderr_text) {
    if (error_) return std::move(error_);
    if (has_events() && last_event().has_error())
      return agent_failure(parts_.agent, event_of(last_recorded()));
    if (!status.has_value()) return RunError::process(status.error());
    if (!status.value().success()) {
      std::optional<Event> last;
      if (has_events()) last = event_of(last_recorded());
      return RunError::exit(stderr_text, std::move(last), status.value().code());
    }
    return std::nullopt;
  }

  WallTime started_at_;
  RunParts parts_;
  ChildActor child_;
  LineReader reader_;
  PipeReader stderr_;
  runtime::Pipe stdin_;
  // The run's lines, texts and events; every kept event keeps it alive. Its texts are lent: the
  // decoded events that hold them last no longer than the run, and are kept compactly.
  RunStore store_{RunStore::LendTexts{}};
  EventKeeper keeper_{store_};
  Text run_id_;
  std::uint64_t line_ = 0;
  WallTime read_at_;           // when the last read took its bytes
  SharedEvent final_message_;  // the last agent message
  Usage usage_;
  std::size_t recorded_ = 0;              // of the keeper's events, those of the run
  std::vector<SharedEvent> unpublished_;  // the last of them, not yet passed on
  std::vector<SharedEvent> decoded_;      // the events of the line at hand, its capacity reused
  boost::asio::any_io_executor strand_;   // the run's, where the loop runs
  std::optional<RunError> error_;
  std::optional<runtime::Result<runtime::ExitStatus>> status_;  // from the child's actor
  // The loop, for cancels carried onto the strand; null once it is done.
  std::shared_ptr<RunLoop*> relay_ = std::make_shared<RunLoop*>(this);
  CancellationToken::Forwarding cancel_relay_;
};

// The outcome of a run whose engine could not allocate: a Process error saying so, the run's
// id and thread id kept. None when even that cannot be made.
std::optional<Outcome> out_of_memory(std::string run_id, ThreadIdSlot& thread_id) {
  try {
    WallTime now = wall_clock();
    return Outcome{RunResult{std::move(run_id), thread_id.get(), {}, {}, {}, {}, now, now},
                   RunError::process("the run engine ran out of memory")};
  } catch (...) {
    return std::nullopt;
  }
}

// The run loop task. Whatever ends it, the outcome is stored before the loop lets go of the event
// stream (its outlet lives in `parts` and goes with the loop). A loop that runs out of memory
// stores that as its outcome. Should it fail otherwise (a poisoned lock), the latch is poisoned
// so that its waiters stop with "latch poisoned" instead of waiting for ever. Either way the
// child is killed and the temporary files deleted as the loop's parts are dropped.
awaitable<void> run_agent_loop(RunParts parts) {
  auto latch = parts.latch;
  auto thread_id = parts.thread_id;
  std::string run_id = parts.run_id;
  std::exception_ptr failure;
  try {
    RunLoop loop(std::move(parts));
    co_await loop.run();
  } catch (...) {
    failure = runtime::first_bundled(std::current_exception());
  }
  if (!failure) co_return;
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    if (auto outcome = out_of_memory(std::move(run_id), *thread_id)) {
      latch->set(std::move(*outcome));
      co_return;
    }
  } catch (...) {
  }
  latch->poison();
}

BuildResult build_invocation(const RunnerConfig& config, const RunRequest& request) {
  switch (config.agent) {
    case Agent::Codex: return codex_args(request, config.default_sandbox, config.default_approval);
    case Agent::Grok: return grok_args(request, config.default_sandbox, config.default_approval);
    default: return claude_args(request);
  }
}

runtime::Command child_command(const RunnerConfig& config, RunRequest& request,
                               Invocation& invocation) {
  std::vector<runtime::EnvVar> overrides = config.env;
  overrides.insert(overrides.end(), std::make_move_iterator(request.env.begin()),
                   std::make_move_iterator(request.env.end()));
  return runtime::Command{
      config.executable, std::move(invocation.args),
      runtime::environment_with(inherited_variables(request.inherited_env), overrides),
      std::move(invocation.cwd)};
}

Result<SessionHandle, RunError> launch_now(const std::shared_ptr<const RunnerConfig>& config,
                                           RunRequest request, EventHandler handler) {
  auto executor = runtime::shared_runtime().executor();
  BuildResult built = build_invocation(*config, request);
  if (!built) return fail(std::move(built).error());
  Invocation invocation = std::move(built).value();
  runtime::Command command = child_command(*config, request, invocation);
  auto spawned = runtime::spawn(executor, command);
  // A spawn failure drops the invocation, deleting its temporary files.
  if (!spawned.has_value()) return fail(RunError::process(spawned.error()));
  runtime::Child& child = spawned.value();
  check(child.stdin_pipe.is_open(), "stdin is piped");
  check(child.stdout_pipe.is_open(), "stdout is piped");
  check(child.stderr_pipe.is_open(), "stderr is piped");

  std::string run_id = new_run_id();
  auto [bounded_sender, bounded_receiver] =
      runtime::make_bounded_channel<SharedEvent>(std::max<std::size_t>(config->event_buffer, 1));
  CancellationToken token;
  auto live = runtime::live_work().enrol([token] { token.cancel(); });
  auto thread_id = std::make_shared<ThreadIdSlot>();
  auto latch = std::make_shared<Latch<Outcome>>();
  boost::asio::co_spawn(
      boost::asio::make_strand(executor),
      run_agent_loop(RunParts{
          std::move(child), std::move(invocation.stdin_text), new_decoder_state(config->agent),
          run_id, std::move(invocation.temp_files),
          std::make_shared<TailBuffer>(config->stderr_limit),
          std::make_shared<EventOutlet>(std::move(bounded_sender)), token, latch, thread_id,
          std::move(handler), config->scan_max_bytes, config->agent, std::move(live)}),
      boost::asio::detached);
  return SessionHandle{std::move(run_id), std::move(thread_id), std::move(token), std::move(latch),
                       std::move(bounded_receiver)};
}

}  // namespace

awaitable<Result<SessionHandle, RunError>> launch(std::shared_ptr<const RunnerConfig> config,
                                                  RunRequest request, EventHandler handler) {
  co_return launch_now(config, std::move(request), std::move(handler));
}

}  // namespace vantrel
