// End-to-end tests of runs: launch, the run loop and its tasks, driven through the fake agent.
#include "vantrel/engine/runner.h"
#include "vantrel/runtime/child_process.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "vantrel/runtime/runtime.h"
#include "vantrel/testing/resources.h"
#include "vantrel/testing/scratch_dir.h"

namespace vantrel {
namespace {

using boost::asio::awaitable;
using runtime::block_on;
using testing::child_processes;
using testing::eventually;
using testing::open_descriptors;

// ---- Fixtures ---------------------------------------------------------------------------------

const std::string thread_started = R"({"type":"thread.started","thread_id":"t1"})";
const std::string turn_started = R"({"type":"turn.started"})";
const std::string message_hi =
    R"({"type":"item.completed","item":{"id":"i1","type":"agent_message","text":"hi"}})";
const std::string turn_completed =
    R"({"type":"turn.completed","usage":{"input_tokens":5,"output_tokens":2}})";
const std::string turn_failed = R"({"type":"turn.failed","error":{"message":"boom"}})";

// The script directive that writes `line` and a newline. Directive text takes escapes, so
// backslashes are doubled.
std::string out(const std::string& line) {
  std::string escaped;
  for (char c : line) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return "out " + escaped + "\n";
}

struct RunSetup {
  std::string script{};
  Agent agent = Agent::Codex;
  std::size_t event_buffer = RunnerConfig::default_event_buffer;
  std::size_t stderr_limit = RunnerConfig::default_stderr_limit;
  std::size_t scan_max_bytes = RunnerConfig::default_scan_max_bytes;
  EnvPairs env{};
  std::string executable = VANTREL_FAKE_AGENT;
};

std::shared_ptr<const RunnerConfig> config_of(const RunSetup& setup) {
  auto config = std::make_shared<RunnerConfig>();
  config->agent = setup.agent;
  config->executable = setup.executable;
  config->env = setup.env;
  config->env.emplace_back("VANTREL_FAKE_SCRIPT", setup.script);
  config->event_buffer = setup.event_buffer;
  config->stderr_limit = setup.stderr_limit;
  config->scan_max_bytes = setup.scan_max_bytes;
  return config;
}

RunRequest prompt_request() { return RunRequest{.prompt = "go"}; }

Result<SessionHandle, RunError> start(const RunSetup& setup, RunRequest request = prompt_request(),
                                      EventHandler handler = {}) {
  request.inherited_env = runtime::this_process_environment();
  return block_on(launch(config_of(setup), std::move(request), std::move(handler)));
}

// What a run showed: the events read from its stream, then its outcome.
struct Ran {
  std::vector<SharedEvent> streamed;
  Outcome outcome;
};

awaitable<Ran> drain(SessionHandle handle) {
  Ran ran;
  while (auto event = co_await session_next_event(handle)) ran.streamed.push_back(*event);
  ran.outcome = co_await session_wait(handle);
  co_return ran;
}

Ran run(const RunSetup& setup, RunRequest request = prompt_request(), EventHandler handler = {}) {
  auto handle = start(setup, std::move(request), std::move(handler));
  if (!handle) {
    ADD_FAILURE() << "launch failed: " << handle.error().display();
    return {};
  }
  Ran ran = block_on(drain(std::move(handle).value()));
  EXPECT_TRUE(std::ranges::equal(ran.streamed, ran.outcome.result.events))
      << "the stream shows the result's own events, in order, not copies";
  return ran;
}

// The events themselves, to compare what they hold.
template <class Events>
std::vector<Event> values(const Events& events) {
  std::vector<Event> result;
  for (const SharedEvent& e : events) result.push_back(event_of(e));
  return result;
}

template <class Events>
std::vector<EventType::Kind> kinds(const Events& events) {
  std::vector<EventType::Kind> result;
  for (const SharedEvent& e : events) result.push_back(e->type);
  return result;
}

void expect_error(const Outcome& outcome, RunError::Kind kind, const std::string& display) {
  ASSERT_TRUE(outcome.error.has_value()) << "no error";
  EXPECT_EQ(outcome.error->kind, kind) << outcome.error->display();
  EXPECT_EQ(outcome.error->display(), display);
}

// ---- Results ----------------------------------------------------------------------------------

TEST(Run, AnAgentThatWritesNothingEndsWithAnEmptyResult) {
  Ran ran = run({.script = "err only this\n"});
  const RunResult& r = ran.outcome.result;
  EXPECT_FALSE(ran.outcome.error);
  EXPECT_TRUE(r.events.empty());
  EXPECT_EQ(r.thread_id, "");
  EXPECT_EQ(r.final_message, "");
  EXPECT_EQ(r.usage, Usage{});
  EXPECT_EQ(r.stderr_text, "only this\n");
  EXPECT_TRUE(r.run_id.starts_with("run-"));
  EXPECT_LE(r.started_at, r.finished_at);
}

TEST(Run, KeepsThreadIdFinalMessageAndTheLastTurnsUsage) {
  const std::string second_turn =
      R"({"type":"turn.completed","usage":{"input_tokens":7,"output_tokens":1}})";
  Ran ran = run({.script = out(thread_started) + out(turn_started) + out(message_hi) +
                           out(turn_completed) + out(second_turn)});
  const RunResult& r = ran.outcome.result;
  EXPECT_FALSE(ran.outcome.error);
  EXPECT_EQ(r.thread_id, "t1");
  EXPECT_EQ(r.final_message, "hi");
  EXPECT_EQ(r.usage.input_tokens, 7) << "the second turn's usage, not the sum";
  EXPECT_EQ(r.usage.output_tokens, 1);
  ASSERT_EQ(r.events.size(), 5u);
  for (const SharedEvent& e : r.events) {
    EXPECT_EQ(e->thread_id(), "t1");
    EXPECT_EQ(e->run_id(), r.run_id);
    EXPECT_GE(e->received_at(), r.started_at);
  }
  EXPECT_EQ(r.events[2]->raw(), message_hi);
}

TEST(Run, AFailedTurnReplacesTheUsageAndAnEmptyThreadIdResetsIt) {
  Ran ran = run({.script = out(thread_started) + out(turn_completed) +
                           out(R"({"type":"turn.failed","error":{"message":"x"}})") +
                           out(R"({"type":"thread.started","thread_id":""})") + out(message_hi)});
  const RunResult& r = ran.outcome.result;
  EXPECT_EQ(r.usage, Usage{}) << "the failed turn's all-zero usage";
  EXPECT_EQ(r.thread_id, "");
  EXPECT_EQ(r.events.back()->thread_id(), "");
  EXPECT_FALSE(ran.outcome.error) << "a failure followed by another event is no failure";
}

TEST(Run, EventsOfALineCarryTheThreadTheLineStarted) {
  Ran ran = run({.script = out(R"({"type":"system","subtype":"init","session_id":"s1"})") +
                           out(R"({"type":"assistant","message":{"id":"m1","content":[)"
                               R"({"type":"text","text":"a"}]}})"),
                 .agent = Agent::Claude});
  ASSERT_FALSE(ran.outcome.result.events.empty());
  for (const SharedEvent& e : ran.outcome.result.events) EXPECT_EQ(e->thread_id(), "s1");
  EXPECT_EQ(ran.outcome.result.thread_id, "s1");
}

// ---- Lines ------------------------------------------------------------------------------------

struct LineCase {
  std::string name;
  std::string script{};
  std::size_t events;                // events decoded
  std::optional<std::string> error;  // the Decode error's display, if any
  std::optional<std::string> raw_line = std::nullopt;
  std::size_t scan_max_bytes = RunnerConfig::default_scan_max_bytes;
};

TEST(Run, SplitsNumbersAndChecksLines) {
  const std::string nbsp = "\\xC2\\xA0", em_space = "\\xE2\\x80\\x83";
  const std::string exact = R"({"type":"turn.started","pad":"xxxxxxxx"})";  // 40 bytes
  const LineCase cases[] = {
      {"blank lines are numbered", "out\nout   \nout nope\n", 0,
       "decode agent JSONL line 3: expected ident at line 1 column 2", "nope"},
      {"CRLF is one line end",
       "raw " + turn_started + "\\r\\n\n" + "raw " + turn_started + "\\r\\n\n", 2, std::nullopt},
      {"a last line without newline", out(turn_started) + "raw " + turn_started + "\n", 2,
       std::nullopt},
      {"a last line with a carriage return", "raw " + turn_started + "\\r\n", 1, std::nullopt},
      {"a single carriage return at the end adds no line", out(turn_started) + "raw \\r\n", 1,
       std::nullopt},
      {"a lone carriage return inside a line is kept",
       "raw " + turn_started + "\\r \\n\n" + out("x"), 1,
       "decode agent JSONL line 2: expected value at line 1 column 1", "x"},
      {"unicode white space is trimmed", "out " + nbsp + turn_started + em_space + "\n", 1,
       std::nullopt},
      {"a line of exactly the maximum", out(exact), 1, std::nullopt, std::nullopt, exact.size()},
      {"a carriage return counts towards the maximum", "raw " + exact + "\\r\\n\n", 0,
       "decode agent JSONL line 1: max line length exceeded", std::nullopt, exact.size()},
      {"one byte over the maximum", out(turn_started) + out(exact), 1,
       "decode agent JSONL line 2: max line length exceeded", std::nullopt, exact.size() - 1},
      {"over the maximum without a newline", out(turn_started) + "raw " + exact + "\n", 1,
       "decode agent JSONL line 2: max line length exceeded", std::nullopt, exact.size() - 1},
      {"invalid UTF-8", out(turn_started) + "out {\"type\":\"a\\xFF\"}\n", 1,
       "decode agent JSONL line 2: Unable to decode input as UTF8"},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    Ran ran = run({.script = c.script, .scan_max_bytes = c.scan_max_bytes});
    EXPECT_EQ(ran.outcome.result.events.size(), c.events);
    if (!c.error) {
      EXPECT_FALSE(ran.outcome.error) << ran.outcome.error->display();
      continue;
    }
    expect_error(ran.outcome, RunError::Decode, *c.error);
    if (ran.outcome.error) {
      EXPECT_EQ(ran.outcome.error->raw_line, c.raw_line);
    }
  }
}

TEST(Run, ReadsLinesLongerThanTheReadBufferAndManyLinesPerRead) {
  std::string long_text(1 << 20, 'a');
  std::string long_line =
      R"({"type":"item.completed","item":{"id":"i","type":"agent_message","text":")" + long_text +
      R"("}})";
  testing::ScratchDir dir;
  std::string file = dir.write("long", long_line + "\n");
  Ran ran = run({.script = "cat " + file + "\nrepeat 5000 " + turn_started + "\n"});
  EXPECT_FALSE(ran.outcome.error);
  ASSERT_EQ(ran.outcome.result.events.size(), 5001u);
  EXPECT_EQ(ran.outcome.result.final_message, long_text);
}

// ---- Errors -----------------------------------------------------------------------------------

struct ErrorCase {
  std::string name;
  std::string script{};
  Agent agent;
  std::optional<RunError::Kind> kind;
  std::string display;
};

TEST(Run, ChoosesTheError) {
  const ErrorCase cases[] = {
      {"a non-zero exit", out(message_hi) + "err why\nexit 3\n", Agent::Codex, RunError::Exit,
       "agent exited with code 3"},
      {"a signal", out(turn_started) + "signal TERM\n", Agent::Codex, RunError::Exit,
       "agent exited with code -1"},
      {"an agent failure beats the exit", out(turn_failed) + "exit 5\n", Agent::Codex,
       RunError::Codex, "codex turn failed: boom"},
      {"an error event", out(R"({"type":"error","message":"bad"})"), Agent::Codex, RunError::Codex,
       "codex error: bad"},
      {"an error event without a message", out(R"({"type":"error","message":""})"), Agent::Codex,
       RunError::Codex, "codex error event"},
      {"the agent's name follows the runner", out(R"({"type":"result","is_error":true})"),
       Agent::Grok, RunError::Grok, "grok turn failed: grok run failed"},
      {"a decode failure beats the exit", out("{") + "exit 9\n", Agent::Codex, RunError::Decode,
       "decode agent JSONL line 1: EOF while parsing an object at line 1 column 1"},
      {"a failure followed by another event", out(turn_failed) + out(turn_started), Agent::Codex,
       std::nullopt, ""},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    Ran ran = run({.script = c.script, .agent = c.agent});
    if (!c.kind) {
      EXPECT_FALSE(ran.outcome.error);
      continue;
    }
    expect_error(ran.outcome, *c.kind, c.display);
  }
}

TEST(Run, AnExitErrorCarriesTheTailAndTheLastEventOfAnyKind) {
  Ran ran = run({.script = out(message_hi) + "err why\nexit 3\n"});
  ASSERT_TRUE(ran.outcome.error);
  EXPECT_EQ(ran.outcome.error->code, 3);
  EXPECT_EQ(ran.outcome.error->stderr_text, "why\n");
  EXPECT_EQ(ran.outcome.error->event, event_of(ran.outcome.result.events.back()));

  Ran silent = run({.script = "exit 1\n"});
  ASSERT_TRUE(silent.outcome.error);
  EXPECT_FALSE(silent.outcome.error->event);
}

TEST(Run, ADecodeFailureKillsTheAgentAndKeepsEarlierEvents) {
  auto begun = std::chrono::steady_clock::now();
  Ran ran = run({.script = "err before\n" + out(turn_started) + out("not json") + "sleep 60000\n"});
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(30));
  expect_error(ran.outcome, RunError::Decode,
               "decode agent JSONL line 2: expected ident at line 1 column 2");
  EXPECT_EQ(ran.outcome.error->raw_line, "not json");
  EXPECT_EQ(kinds(ran.outcome.result.events), std::vector{EventType::TurnStarted});
  EXPECT_EQ(ran.outcome.result.stderr_text, "before\n");
}

// ---- Cancellation -----------------------------------------------------------------------------

// A file the fake agent makes (its `touch` directive) once it got that far; waiting for it fails
// the test rather than hanging when the agent never does.
void wait_for_agent(const std::string& signal) {
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(signal); }))
      << "the agent never signalled " << signal;
}

TEST(Run, CancelledBeforeAnyOutput) {
  testing::ScratchDir dir;
  const std::string written = dir.path() + "/written";
  auto handle = start({.script = "err waiting\ntouch " + written + "\nsleep 60000\n"});
  ASSERT_TRUE(handle);
  auto begun = std::chrono::steady_clock::now();
  // The agent has written its standard error, which a cancelled run still keeps.
  wait_for_agent(written);
  session_cancel(*handle);
  session_cancel(*handle);
  Ran ran = block_on(drain(std::move(handle).value()));
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(30));
  expect_error(ran.outcome, RunError::Cancelled, "agent run cancelled");
  EXPECT_TRUE(ran.outcome.result.events.empty());
  EXPECT_EQ(ran.outcome.result.stderr_text, "waiting\n");
  EXPECT_LE(ran.outcome.result.started_at, ran.outcome.result.finished_at);
}

TEST(Run, ACancelAfterTheOutputEndedStillKillsTheAgent) {
  testing::ScratchDir dir;
  const std::string closed = dir.path() + "/closed";
  auto handle = start(
      {.script = out(turn_started) + "close-stdout\ntouch " + closed + "\nsleep 60000\nexit 4\n"});
  ASSERT_TRUE(handle);
  auto begun = std::chrono::steady_clock::now();
  auto first = block_on(session_next_event(*handle));
  ASSERT_TRUE(first);
  // The agent has closed its output: the end is there for the run loop to read.
  wait_for_agent(closed);
  session_cancel(*handle);
  Ran ran = block_on(drain(std::move(handle).value()));
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(30));
  expect_error(ran.outcome, RunError::Cancelled, "agent run cancelled");
  EXPECT_EQ(kinds(ran.outcome.result.events), std::vector{EventType::TurnStarted});
  // A cancel once the outcome is stored changes nothing.
  auto again = start({.script = out(turn_started)});
  ASSERT_TRUE(again);
  Outcome before = block_on(session_wait(*again));
  session_cancel(*again);
  EXPECT_EQ(block_on(session_wait(*again)), before);
  EXPECT_FALSE(before.error);
}

// ---- Handler ----------------------------------------------------------------------------------

TEST(Run, AFailingHandlerStopsTheRunInTheMiddleOfALine) {
  const std::string three_blocks =
      R"({"type":"assistant","message":{"id":"m1","content":[{"type":"text","text":"a"},)"
      R"({"type":"text","text":"b"},{"type":"text","text":"c"}]}})";
  auto seen = std::make_shared<std::vector<std::string>>();
  EventHandler handler = [seen](Event event) -> awaitable<Result<void, std::string>> {
    seen->push_back(event.item.text.str());
    if (event.item.text == "b") co_return fail(std::string("no b"));
    co_return Result<void, std::string>{};
  };
  auto begun = std::chrono::steady_clock::now();
  Ran ran = run({.script = out(three_blocks) + "sleep 60000\n", .agent = Agent::Claude},
                prompt_request(), handler);
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(30));
  expect_error(ran.outcome, RunError::Handler, "agent event handler failed: no b");
  EXPECT_EQ(*seen, (std::vector<std::string>{"a", "b"}));
  ASSERT_EQ(ran.outcome.result.events.size(), 2u);
  EXPECT_EQ(event_of(ran.outcome.result.events[1]).item.text, "b");
}

// A cancel made while a line's events are handled takes effect after the last event of that
// line, and before the next line, although that line was read in the same chunk.
TEST(Run, ACancelDuringALineStopsBeforeTheNextBufferedLine) {
  const std::string three_blocks =
      R"({"type":"assistant","message":{"id":"m1","content":[{"type":"text","text":"a"},)"
      R"({"type":"text","text":"b"},{"type":"text","text":"c"}]}})";
  const std::string next_line =
      R"({"type":"assistant","message":{"id":"m2","content":[{"type":"text","text":"d"}]}})";
  testing::ScratchDir dir;
  const std::string go = dir.path() + "/go";
  // The run's own token, handed to the handler once the launch has made it.
  struct TokenSlot {
    std::mutex mutex;
    std::optional<runtime::CancellationToken> token;
  };
  auto slot = std::make_shared<TokenSlot>();
  auto seen = std::make_shared<std::vector<std::string>>();
  EventHandler handler = [slot, seen](Event event) -> awaitable<Result<void, std::string>> {
    seen->push_back(event.item.text.str());
    if (event.item.text == "a") {
      std::lock_guard lock(slot->mutex);
      slot->token->cancel();
    }
    co_return Result<void, std::string>{};
  };
  // Both lines in one write, so both are buffered when the first is handled.
  auto handle = start(
      {.script = "await " + go + "\nraw " + three_blocks + "\\n" + next_line + "\\n\nsleep 60000\n",
       .agent = Agent::Claude},
      prompt_request(), handler);
  ASSERT_TRUE(handle);
  {
    std::lock_guard lock(slot->mutex);
    slot->token = handle->cancel;
  }
  std::ofstream(go).flush();
  Ran ran = block_on(drain(std::move(handle).value()));
  expect_error(ran.outcome, RunError::Cancelled, "agent run cancelled");
  EXPECT_EQ(*seen, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(ran.outcome.result.events.size(), 3u);
}

TEST(Run, AHandlerSeesEveryEventInOrder) {
  auto seen = std::make_shared<std::vector<EventType::Kind>>();
  EventHandler handler = [seen](Event event) -> awaitable<Result<void, std::string>> {
    seen->push_back(event.type.kind);
    co_return Result<void, std::string>{};
  };
  Ran ran = run({.script = out(thread_started) + out(turn_started) + out(turn_completed)},
                prompt_request(), handler);
  EXPECT_FALSE(ran.outcome.error);
  EXPECT_EQ(*seen, kinds(ran.outcome.result.events));
}

// ---- Channels ---------------------------------------------------------------------------------

TEST(Run, ADroppedReceiverLosesNothingOfTheResult) {
  auto handle = start({.script = "repeat 3000 " + turn_started + "\n", .event_buffer = 0});
  ASSERT_TRUE(handle);
  { auto events = session_take_events(*handle); }
  EXPECT_FALSE(block_on(session_next_event(*handle))) << "none at once after the take";
  Outcome outcome = block_on(session_wait(*handle));
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.result.events.size(), 3000u);
}

// A reader that stops after some events, with and without a handler: the result still holds
// every event whole and in order, whether the forwarder had passed it on or not.
TEST(Run, AReaderDroppedMidRunLosesNothingOfTheResult) {
  std::string script;
  for (int i = 0; i < 800; ++i)
    script +=
        out(R"({"type":"item.completed","item":{"id":"i)" + std::to_string(i) +
            R"(","type":"agent_message","text":"message number )" + std::to_string(i) + R"("}})");
  EventHandler handler = [](Event) -> awaitable<Result<void, std::string>> {
    co_return Result<void, std::string>{};
  };
  for (bool with_handler : {false, true}) {
    SCOPED_TRACE(with_handler ? "with a handler" : "without a handler");
    auto handle = start({.script = script, .event_buffer = 1}, prompt_request(),
                        with_handler ? handler : EventHandler{});
    ASSERT_TRUE(handle);
    std::vector<SharedEvent> streamed;
    while (streamed.size() < 50)
      if (auto event = block_on(session_next_event(*handle))) streamed.push_back(*event);
    { auto events = session_take_events(*handle); }
    Outcome outcome = block_on(session_wait(*handle));
    EXPECT_FALSE(outcome.error);
    std::vector<Event> events = values(outcome.result.events);
    ASSERT_EQ(events.size(), 800u);
    for (std::size_t i = 0; i < events.size(); ++i) {
      ASSERT_EQ(events[i].item.id, "i" + std::to_string(i));
      ASSERT_EQ(events[i].item.text, "message number " + std::to_string(i));
      ASSERT_NE(events[i].raw.find("\"i" + std::to_string(i) + "\""), std::string::npos);
    }
    EXPECT_EQ(std::vector<Event>(events.begin(), events.begin() + 50), values(streamed));
    EXPECT_EQ(outcome.result.final_message, "message number 799");
  }
}

TEST(Run, ASlowReaderOfACapacityOneStreamGetsEveryEvent) {
  auto handle = start({.script = "repeat 200 " + message_hi + "\n", .event_buffer = 0});
  ASSERT_TRUE(handle);
  std::vector<SharedEvent> streamed;
  while (auto event = block_on(session_next_event(*handle))) {
    // The run ends long before this reader does.
    if (streamed.size() < 20) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    streamed.push_back(std::move(*event));
  }
  EXPECT_FALSE(block_on(session_next_event(*handle))) << "the end stays the end";
  Outcome outcome = block_on(session_wait(*handle));
  EXPECT_EQ(streamed.size(), 200u);
  EXPECT_EQ(values(streamed), values(outcome.result.events));
}

TEST(Run, TheStreamEndsOnlyWithTheOutcomeStored) {
  auto handle = start({.script = out(turn_started) + "sleep 200\n"});
  ASSERT_TRUE(handle);
  while (block_on(session_next_event(*handle))) {
  }
  EXPECT_NE(handle->latch->get(), nullptr);
}

// ---- The handle -------------------------------------------------------------------------------

TEST(Session, WaitsBeforeAndAfterTheEndAndReportsTheThread) {
  testing::ScratchDir dir;
  const std::string go = dir.path() + "/go";
  auto handle = start({.script = "await " + go + "\n" + out(thread_started) + "sleep 100\n"});
  ASSERT_TRUE(handle);
  EXPECT_EQ(session_thread_id(*handle), "");
  std::vector<std::thread> waiters;
  std::vector<Outcome> outcomes(4);
  for (auto& outcome : outcomes)
    waiters.emplace_back([&] { outcome = block_on(session_wait(*handle)); });
  std::ofstream{go};
  for (auto& waiter : waiters) waiter.join();
  for (const auto& outcome : outcomes) EXPECT_EQ(outcome, outcomes[0]);
  EXPECT_EQ(block_on(session_wait(*handle)), outcomes[0]);
  EXPECT_EQ(session_thread_id(*handle), "t1");
  EXPECT_EQ(outcomes[0].result.thread_id, "t1");
}

TEST(Session, TheEventStreamIsTakenOnce) {
  auto handle = start({.script = ""});
  ASSERT_TRUE(handle);
  auto events = session_take_events(*handle);
  try {
    session_take_events(*handle);
    ADD_FAILURE() << "no stop";
  } catch (const Panic& e) {
    EXPECT_STREQ(e.what(), "event stream already taken (events/next_event called twice)");
  }
}

TEST(Session, TwoLaunchesShareNothing) {
  auto a = start({.script = "sleep 60000\n"});
  auto b = start({.script = out(turn_started)});
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->run_id, b->run_id);
  session_cancel(*a);
  Outcome outcome_b = block_on(session_wait(*b));
  EXPECT_FALSE(outcome_b.error);
  EXPECT_EQ(block_on(session_wait(*a)).error->kind, RunError::Cancelled);
}

// ---- The child --------------------------------------------------------------------------------

// The record lines the fake agent wrote with the given key, unescaped.
std::vector<std::string> recorded(const std::string& record_file, const std::string& key) {
  std::vector<std::string> values;
  std::ifstream in(record_file);
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(key + " ")) values.push_back(line.substr(key.size() + 1));
  return values;
}

// The temporary files of runs in `dir`. Only those count: a sanitizer's runtime in the fake agent
// may leave files of its own there.
std::size_t run_files(const testing::ScratchDir& dir) {
  auto names = dir.entries();
  return static_cast<std::size_t>(
      std::count_if(names.begin(), names.end(),
                    [](const std::string& name) { return name.starts_with("vantrel-"); }));
}

TEST(Run, LayersTheEnvironmentRequestOverRunnerOverInherited) {
  testing::ScratchDir dir;
  std::string record = dir.path() + "/record";
  RunRequest request = prompt_request();
  request.env = {{"VANTREL_B", "request"}, {"VANTREL_C", "request"}};
  Ran ran = run(
      {.script = "",
       .env = {{"VANTREL_FAKE_RECORD", record}, {"VANTREL_A", "runner"}, {"VANTREL_B", "runner"}}},
      request);
  EXPECT_FALSE(ran.outcome.error);
  auto env = recorded(record, "env");
  auto has = [&](const std::string& entry) {
    return std::find(env.begin(), env.end(), entry) != env.end();
  };
  EXPECT_TRUE(has("VANTREL_A=runner"));
  EXPECT_TRUE(has("VANTREL_B=request"));
  EXPECT_TRUE(has("VANTREL_C=request"));
  EXPECT_FALSE(has("VANTREL_B=runner"));
  EXPECT_TRUE(has(std::string("PATH=") + std::getenv("PATH")));
}

TEST(Run, WritesStandardInputWhileReadingTheOutput) {
  testing::ScratchDir dir;
  std::string record = dir.path() + "/record";
  std::string prompt(300000, 'p');
  // The agent writes more than a pipe holds before it reads its input, and the input is more
  // than a pipe holds too: only concurrent writing and reading finish.
  Ran ran = run({.script = "repeat 2000 " + message_hi + "\nstdin\n",
                 .env = {{"VANTREL_FAKE_RECORD", record}}},
                RunRequest{.prompt = prompt});
  EXPECT_FALSE(ran.outcome.error);
  EXPECT_EQ(ran.outcome.result.events.size(), 2000u);
  auto stdin_text = recorded(record, "stdin");
  ASSERT_EQ(stdin_text.size(), 1u);
  EXPECT_EQ(stdin_text[0], prompt);
}

TEST(Run, AnEmptyStandardInputIsClosedAtOnce) {
  testing::ScratchDir dir;
  std::string record = dir.path() + "/record";
  Ran ran = run({.script = "stdin\n" + out(turn_started), .env = {{"VANTREL_FAKE_RECORD", record}}},
                RunRequest{.stdin_text = ""});
  EXPECT_FALSE(ran.outcome.error);
  EXPECT_EQ(recorded(record, "stdin"), std::vector<std::string>{""});
  EXPECT_EQ(ran.outcome.result.events.size(), 1u);
}

TEST(Run, AnAgentThatIgnoresItsInputStillEndsNormally) {
  Ran ran = run({.script = "close-stdin\nsleep 50\n" + out(turn_started)},
                RunRequest{.prompt = std::string(300000, 'p')});
  EXPECT_FALSE(ran.outcome.error);
  EXPECT_EQ(ran.outcome.result.events.size(), 1u);
}

TEST(Run, KeepsTheNewestStandardErrorBytesUpToTheLimit) {
  struct Case {
    std::size_t limit;
    std::size_t written;
  };
  for (Case c : {Case{0, 100000}, Case{5, 100}, Case{1048576, 300000}}) {
    SCOPED_TRACE(c.limit);
    Ran ran = run({.script = "errfill " + std::to_string(c.written) + "\n" + out(turn_started),
                   .stderr_limit = c.limit});
    std::size_t kept = std::min(c.limit, c.written);
    ASSERT_EQ(ran.outcome.result.stderr_text.size(), kept);
    // errfill cycles through 'a'..'z': the tail is the end of that cycle.
    for (std::size_t i = 0; i < kept; ++i)
      ASSERT_EQ(ran.outcome.result.stderr_text[i], 'a' + (c.written - kept + i) % 26) << i;
    EXPECT_EQ(ran.outcome.result.events.size(), 1u);
  }
}

TEST(Run, TheTailIsTakenOnceTheStandardErrorPipeHasEnded) {
  // The agent exits at once; a process it leaves behind still writes to standard error.
  Ran ran = run({.script = "err first\nlinger 300 last\n" + out(turn_started)});
  EXPECT_FALSE(ran.outcome.error);
  EXPECT_EQ(ran.outcome.result.stderr_text, "first\nlast\n");
}

TEST(Run, DeletesTheTemporaryFilesAtTheEnd) {
  testing::ScratchDir dir;
  std::string record = dir.path() + "/record";
  RunRequest request = prompt_request();
  request.output_schema = R"({"type":"object"})";
  Ran ran = run({.script = "", .env = {{"VANTREL_FAKE_RECORD", record}}}, request);
  EXPECT_FALSE(ran.outcome.error);
  auto args = recorded(record, "arg");
  auto schema = std::find(args.begin(), args.end(), "--output-schema");
  ASSERT_NE(schema, args.end());
  ASSERT_NE(schema + 1, args.end());
  EXPECT_TRUE(schema[1].starts_with(dir.path() + "/vantrel-schema-"));
  EXPECT_FALSE(std::filesystem::exists(schema[1]));
  EXPECT_EQ(run_files(dir), 0u);
}

// ---- Launch failures --------------------------------------------------------------------------

TEST(Launch, ReportsBuilderAndSpawnFailuresWithoutLeavingFiles) {
  testing::ScratchDir dir;
  struct Case {
    std::string name;
    RunSetup setup;
    RunRequest request;
    RunError::Kind kind;
    std::string display;
  };
  RunRequest with_schema = prompt_request();
  with_schema.output_schema = "{}";
  RunRequest nul_env = prompt_request();
  nul_env.env = {{"A", std::string("x\0y", 3)}};
  RunRequest missing_dir = prompt_request();
  missing_dir.dir = dir.path() + "/missing";
  const Case cases[] = {
      {"no prompt",
       {},
       RunRequest{},
       RunError::PromptRequired,
       "vantrel: prompt or stdin is required"},
      {"a program that does not exist",
       {.executable = dir.path() + "/no-agent"},
       with_schema,
       RunError::Process,
       "agent process error: No such file or directory (os error 2)"},
      {"a program not on PATH",
       {.executable = "vantrel-no-such-agent"},
       prompt_request(),
       RunError::Process,
       "agent process error: No such file or directory (os error 2)"},
      {"a NUL byte",
       {},
       nul_env,
       RunError::Process,
       "agent process error: nul byte found in provided data"},
      {"a missing working directory",
       {.agent = Agent::Claude},
       missing_dir,
       RunError::Process,
       "agent process error: No such file or directory (os error 2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto handle = start(c.setup, c.request);
    ASSERT_FALSE(handle);
    EXPECT_EQ(handle.error().kind, c.kind);
    EXPECT_EQ(handle.error().display(), c.display);
    EXPECT_EQ(run_files(dir), 0u);
  }
}

// The counter at the end of a run id.
std::uint64_t counter_of(const std::string& run_id) {
  return std::stoull(run_id.substr(run_id.rfind('-') + 1));
}

TEST(Launch, AFailedLaunchMakesNoRunId) {
  auto first = start({.script = ""});
  auto failed = start({.executable = "/nonexistent/agent"});
  auto second = start({.script = ""});
  ASSERT_TRUE(first && second);
  ASSERT_FALSE(failed);
  EXPECT_EQ(counter_of(second->run_id), counter_of(first->run_id) + 1);
  block_on(session_wait(*first));
  block_on(session_wait(*second));
}

// ---- Resources --------------------------------------------------------------------------------

// A run loop that stops on a broken invariant (here the thread-id slot's lock) never stores an
// outcome: its waiters stop with the latch's message instead of waiting for ever, its stream
// ends, and the child and the temporary files go with the loop.
TEST(Resources, ARunLoopThatStopsFreesTheRunAndItsWaiters) {
  testing::ScratchDir dir;
  std::size_t children = child_processes();
  RunRequest request = prompt_request();
  request.output_schema = "{}";
  std::string go = dir.path() + "/go";
  auto handle =
      start({.script = "await " + go + "\n" + out(thread_started) + "sleep 60000\n"}, request);
  ASSERT_TRUE(handle);
  handle->thread_id->poison_for_test();
  std::ofstream{go};
  try {
    block_on(session_wait(*handle));
    ADD_FAILURE() << "no stop";
  } catch (const Panic& e) {
    EXPECT_STREQ(e.what(), "latch poisoned");
  }
  EXPECT_FALSE(block_on(session_next_event(*handle))) << "the stream ended";
  EXPECT_TRUE(eventually([&] { return child_processes() == children; })) << "the child is reaped";
  EXPECT_EQ(run_files(dir), 0u);
}

// A run whose engine cannot allocate (here its handler's call fails so) ends with that as its
// outcome, its ids kept; the agent is killed and nothing is left.
TEST(Resources, ARunOutOfMemoryEndsWithAProcessError) {
  std::size_t children = child_processes();
  EventHandler handler = [](Event) -> boost::asio::awaitable<Result<void, std::string>> {
    throw std::bad_alloc();
    co_return Result<void, std::string>{};
  };
  auto handle = start({.script = out(thread_started) + "sleep 60000\n"}, prompt_request(), handler);
  ASSERT_TRUE(handle);
  Outcome outcome = block_on(session_wait(*handle));
  expect_error(outcome, RunError::Process, "agent process error: the run engine ran out of memory");
  EXPECT_EQ(outcome.result.run_id, handle->run_id);
  EXPECT_TRUE(eventually([&] { return child_processes() == children; })) << "the child is reaped";
}

TEST(Resources, ManyRunsLeaveNoProcessDescriptorOrFile) {
  testing::ScratchDir dir;
  // One run first: the runtime's own descriptors (its reactor's among them) are no leak.
  run({});
  std::size_t descriptors = open_descriptors();
  std::size_t children = child_processes();
  RunRequest request = prompt_request();
  request.output_schema = "{}";
  constexpr int runs = 2000;
  std::vector<SessionHandle> kept;
  auto sleeper = start({.script = "sleep 60000\n"});
  ASSERT_TRUE(sleeper);
  EXPECT_EQ(child_processes(), children + 1) << "children are counted";
  kept.push_back(std::move(sleeper).value());
  for (int i = 0; i < runs; ++i) {
    std::string script{};
    switch (i % 5) {
      case 0: script = out(turn_started) + "err e\n"; break;        // read to the end
      case 1: script = out(turn_started) + "sleep 60000\n"; break;  // cancelled
      case 2: script = out("bad") + "sleep 60000\n"; break;         // killed on a decode failure
      case 3: script = "repeat 50 " + turn_started + "\n"; break;   // handle dropped
      case 4: script = out(turn_started) + "signal KILL\n"; break;  // killed from outside
    }
    auto handle = start({.script = script, .event_buffer = 4}, request);
    ASSERT_TRUE(handle);
    if (i % 5 == 1) session_cancel(*handle);
    if (i % 5 != 3) kept.push_back(std::move(handle).value());
  }
  for (auto& handle : kept) {
    session_cancel(handle);
    block_on(session_wait(handle));
  }
  kept.clear();
  EXPECT_TRUE(eventually([&] { return child_processes() == children; }))
      << child_processes() << " children left";
  EXPECT_TRUE(eventually([&] { return open_descriptors() <= descriptors; }))
      << open_descriptors() << " descriptors, " << descriptors << " before";
  EXPECT_TRUE(eventually([&] { return run_files(dir) == 0; })) << run_files(dir) << " files left";
}

// ---- Process trees ----------------------------------------------------------------------------

// The first values of `key` in the record, once the fake agent wrote them (for up to 30 s).
std::string await_recorded(const std::string& record, const std::string& key) {
  std::vector<std::string> values;
  EXPECT_TRUE(eventually([&] { return !(values = recorded(record, key)).empty(); }))
      << "no " << key << " recorded";
  return values.empty() ? "0" : values.front();
}

TEST(ProcessTree, ACancelKillsTheAgentsWholeTree) {
  struct Case {
    std::string name;
    std::string executable;
    std::string script;
  };
  const std::string agent = VANTREL_FAKE_AGENT, launcher = VANTREL_FAKE_LAUNCHER;
  const std::string running = "sleep 60000\n";
  for (const Case& c : {
           Case{"the agent itself", agent, running},
           Case{"an agent behind a launcher", launcher, running},
           Case{"an agent whose helper holds its pipes", agent, "hold 60000\n" + running},
           Case{"a launched agent whose helper holds its pipes", launcher,
                "hold 60000\n" + running},
           Case{"an agent that closed its output", launcher, "close-stdout\n" + running},
           Case{"a helper in a session of its own", launcher, "hold 60000 apart\n" + running},
       }) {
    SCOPED_TRACE(c.name);
    testing::ScratchDir dir;
    std::string record = dir.path() + "/record";
    auto handle = start({.script = out(turn_started) + c.script,
                         .env = {{"VANTREL_FAKE_RECORD", record}},
                         .executable = c.executable});
    ASSERT_TRUE(handle);
    ASSERT_TRUE(block_on(session_next_event(*handle)));
    const bool holds = c.script.starts_with("hold");
    pid_t holder = holds ? std::stoi(await_recorded(record, "hold")) : 0;
    const pid_t group = std::stoi(await_recorded(record, "pgid"));
    EXPECT_NE(group, ::getpgid(0)) << "the agent has a process group of its own";
    auto begun = std::chrono::steady_clock::now();
    session_cancel(*handle);
    Ran ran = block_on(drain(std::move(handle).value()));
    // A run that waited for the agent to end by itself would take a minute.
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(30));
    expect_error(ran.outcome, RunError::Cancelled, "agent run cancelled");
    EXPECT_TRUE(eventually([&] { return testing::live_group_members(group) == 0; }))
        << "no process of the agent's group is left";
    if (holds) {
      EXPECT_TRUE(eventually([&] { return !testing::is_running(holder); }))
          << "the helper, whatever its session, is gone too";
      if (testing::is_running(holder)) ::kill(holder, SIGKILL);
    }
  }
}

// Once the agent has exited, its pipes get about a second to end: a helper holding them keeps the
// run that long, no less (the grace was waited out, measured from before the agent's exit) and
// not much more (slack a loaded machine cannot use up).
TEST(ProcessTree, TheGraceOfAnExitedAgentsPipesIsAboutOneSecond) {
  testing::ScratchDir dir;
  std::string record = dir.path() + "/record";
  Ran ran = run({.script = "err before\n" + out(turn_started) + "hold 60000\n",
                 .env = {{"VANTREL_FAKE_RECORD", record}},
                 .executable = VANTREL_FAKE_LAUNCHER});
  const auto ended = std::chrono::system_clock::now().time_since_epoch();
  const auto agent_ended = std::chrono::nanoseconds(std::stoll(await_recorded(record, "end")));
  EXPECT_GE(ended - agent_ended, std::chrono::milliseconds(950));
  EXPECT_LT(ended - agent_ended, std::chrono::milliseconds(2500));
  EXPECT_FALSE(ran.outcome.error) << ran.outcome.error->display();
  EXPECT_EQ(kinds(ran.outcome.result.events), std::vector{EventType::TurnStarted});
  EXPECT_EQ(ran.outcome.result.stderr_text, "before\n");
}

// An agent that exits leaving a helper in its group that holds its pipes: the run ends once the
// grace is over, and the rest of the group is killed then, the helper with it. So with a
// helper that holds only standard input, never reading, and a prompt larger than the pipe (the
// writer stops at the grace's end too), and with a launcher killed from outside while the agent
// it started holds the pipes.
TEST(ProcessTree, WhatHoldsThePipesOfAnExitedAgentEndsWithTheGrace) {
  struct Case {
    std::string name;
    std::string script;
    std::string prompt;
    std::optional<RunError::Kind> error;
  };
  for (const Case& c : {
           Case{"a helper holding the output", "hold 60000\n", "go", std::nullopt},
           Case{"a helper holding standard input", "hold 60000 stdin\n", std::string(8 << 20, 'p'),
                std::nullopt},
           Case{"a launcher killed from outside", "signal-parent KILL\nsleep 60000\n", "go",
                RunError::Exit},
       }) {
    SCOPED_TRACE(c.name);
    testing::ScratchDir dir;
    std::string record = dir.path() + "/record";
    auto begun = std::chrono::steady_clock::now();
    Ran ran = run({.script = "err before\n" + out(turn_started) + c.script,
                   .env = {{"VANTREL_FAKE_RECORD", record}},
                   .executable = VANTREL_FAKE_LAUNCHER},
                  RunRequest{.prompt = c.prompt});
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(30));
    EXPECT_EQ(ran.outcome.error ? std::optional(ran.outcome.error->kind) : std::nullopt, c.error);
    EXPECT_EQ(kinds(ran.outcome.result.events), std::vector{EventType::TurnStarted});
    EXPECT_EQ(ran.outcome.result.stderr_text, "before\n");
    const pid_t group = std::stoi(await_recorded(record, "pgid"));
    EXPECT_TRUE(eventually([&] { return testing::live_group_members(group) == 0; }))
        << "nothing of the agent's group is left";
  }
}

}  // namespace
}  // namespace vantrel
