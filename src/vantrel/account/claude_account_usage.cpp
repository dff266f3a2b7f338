// The claude account-usage probe.
#include "vantrel/account/claude_account_usage.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <optional>
#include <variant>

#include "vantrel/engine/child_actor.h"
#include "vantrel/engine/tail.h"
#include "vantrel/json/utf8.h"
#include "vantrel/runtime/select.h"

namespace vantrel {
namespace {

using boost::asio::awaitable;
using runtime::Child;
using runtime::ExitStatus;
using runtime::Pipe;

constexpr std::string_view usage_prompt = "/usage";
// The longest reply taken from standard output, and how much of standard error is kept (the
// newest bytes).
constexpr std::size_t output_limit = 64 * 1024 * 1024;
constexpr std::size_t stderr_limit = 1024 * 1024;

constexpr json::Field<ClaudeUsageResponse> response_fields[] = {
    {"is_error", json::member<&ClaudeUsageResponse::is_error>},
    {"result", json::member<&ClaudeUsageResponse::result>},
    {"errors", json::member<&ClaudeUsageResponse::errors>},
};
constexpr json::Record<ClaudeUsageResponse> response_record{"ClaudeUsageResponse", response_fields};

Failure<RunError> process_failure(std::string message) {
  return fail(RunError::process(std::move(message)));
}

// `bytes` as UTF-8 (invalid sequences replaced), trimmed of Unicode white space.
std::string trimmed_text(std::string_view bytes) {
  std::string text = utf8_lossy(bytes);
  return std::string(json::trim_unicode_space(text));
}

// The detail of an error reply: its result, else its errors, else "unknown error".
std::string failure_detail(const ClaudeUsageResponse& reply) {
  if (!reply.result.empty()) return reply.result;
  if (reply.errors.empty()) return unknown_error_text();
  std::string joined;
  for (const std::string& error : reply.errors) {
    if (&error != &reply.errors.front()) joined += "; ";
    joined += error;
  }
  return joined;
}

// The child's reply on its standard output, refused beyond `output_limit` whatever follows: the
// child is then killed at once, so that it cannot hold the probe until its deadline.
struct Reply {
  ChildActor& child;
  std::string bytes{};
  bool overflowed = false;

  void take(std::string_view chunk) {
    if (overflowed) return;
    if (bytes.size() + chunk.size() > output_limit) {
      overflowed = true;
      bytes.clear();
      child.kill();
      return;
    }
    bytes += chunk;
  }
};

// Everything the child gave once it ended: its reply, its newest standard error, and its exit
// status.
struct Ended {
  std::string out;
  std::string err;
  ExitStatus status;
};

// The probe's three actors, as a run has them: the readers of both output streams, and the
// child's, which waits for the exit and gives the streams their grace (child_actor.h). The
// failure text of the first read or wait that failed. They run on the caller's strand (see
// run_to_end_within).
awaitable<runtime::Result<Ended>> run_to_end(Child& child) {
  using namespace boost::asio::experimental::awaitable_operators;
  ChildActor actor(std::move(child.process), /*pipes=*/2);
  PipeReader out(std::move(child.stdout_pipe));
  PipeReader err(std::move(child.stderr_pipe));
  TailBuffer stderr_tail(stderr_limit);
  Reply reply{actor};
  std::optional<runtime::Result<ExitStatus>> status;
  runtime::Result<void> from_out, from_err;
  co_await runtime::stops_as_values();
  auto watch_child = [&]() -> awaitable<void> {
    co_await runtime::stops_as_values();
    status = co_await actor.run([] {},
                                [&] {
                                  out.stop();
                                  err.stop();
                                });
  };
  auto read_out = [&]() -> awaitable<void> {
    co_await runtime::stops_as_values();
    from_out = co_await out.read_all([&](std::string_view chunk) { reply.take(chunk); });
    actor.let_go();
  };
  auto read_err = [&]() -> awaitable<void> {
    co_await runtime::stops_as_values();
    from_err = co_await err.read_all([&](std::string_view chunk) { stderr_tail.push(chunk); });
    actor.let_go();
  };
  co_await (watch_child() && read_out() && read_err());
  actor.release();
  if (reply.overflowed) co_return fail(std::string("reply longer than 64 MiB"));
  if (!from_out) co_return fail(std::move(from_out).error());
  if (!from_err) co_return fail(std::move(from_err).error());
  if (!*status) co_return fail(std::move(*status).error());
  co_return Ended{std::move(reply.bytes), stderr_tail.snapshot(), **status};
}

awaitable<std::optional<runtime::Result<Ended>>> race_deadline(Child& child,
                                                               std::chrono::nanoseconds timeout) {
  using namespace boost::asio::experimental::awaitable_operators;
  co_await runtime::stops_as_values();
  auto first = co_await (run_to_end(child) || runtime::sleep_for(timeout));
  if (first.index() == 1) co_return std::nullopt;
  co_return std::get<0>(std::move(first));
}

// run_to_end under the deadline, on a strand of its own, where the actors run and are stopped;
// none when the deadline passed first (the actors are then stopped and the child killed).
awaitable<std::optional<runtime::Result<Ended>>> run_to_end_within(
    Child& child, std::chrono::nanoseconds timeout) {
  auto strand = boost::asio::make_strand(co_await boost::asio::this_coro::executor);
  co_return co_await boost::asio::co_spawn(strand, race_deadline(child, timeout),
                                           boost::asio::use_awaitable);
}

runtime::Command claude_usage_command(const ClaudeAccountUsageReqData& request) {
  std::string program =
      request.executable && !request.executable->empty() ? *request.executable : "claude";
  return {std::move(program), claude_usage_args(),
          runtime::environment_with(inherited_variables(request.inherited_env), request.env),
          std::nullopt};
}

}  // namespace

std::vector<std::string> claude_usage_args() {
  return {"-p", "--output-format", "json", "--no-session-persistence"};
}

void read_json(json::Reader& r, ClaudeUsageResponse& out) {
  json::read_record(r, response_record, out);
}

Result<ClaudeUsageResponse, json::Error> deserialize_claude_usage_response(std::string_view text) {
  ClaudeUsageResponse response;
  if (auto error = json::decode(text, response)) return fail(std::move(*error));
  return response;
}

std::string unknown_error_text() { return "unknown error"; }

Result<ClaudeAccountUsage, RunError> claude_usage_from_output(ExitStatus status,
                                                              std::string_view out,
                                                              std::string_view err) {
  std::string stderr_text = trimmed_text(err);
  if (!status.success()) return fail(RunError::exit(std::move(stderr_text), {}, status.code()));
  std::string raw = trimmed_text(out);
  auto reply = deserialize_claude_usage_response(raw);
  if (!reply)
    return fail(with_context(
        RunError::process("decode claude account usage: " + reply.error().text()), stderr_text));
  if (reply->is_error)
    return process_failure("claude account usage failed: " + failure_detail(*reply));
  std::vector<ClaudeAccountUsageWindow> windows = parse_claude_usage(reply->result);
  return ClaudeAccountUsage{std::move(reply->result), std::move(windows), std::move(raw)};
}

awaitable<Result<ClaudeAccountUsage, RunError>> query_claude_account_usage(
    ClaudeAccountUsageReqData request) {
  if (auto refusal = env_name_refusal(request.env)) co_return process_failure(std::move(*refusal));
  auto executor = co_await boost::asio::this_coro::executor;
  auto child = runtime::spawn(executor, claude_usage_command(request));
  if (!child) co_return process_failure("start claude account usage: " + child.error());
  // From here on every way out drops the child, which kills and reaps it unless it has ended.
  if (!child->stdin_pipe.is_open()) co_return process_failure("open claude account usage stdin");
  auto written = co_await runtime::write_all(child->stdin_pipe, boost::asio::buffer(usage_prompt));
  if (!written) co_return process_failure("write claude account usage: " + written.error());
  if (!*written) co_return process_failure("claude account usage command timed out");
  child->stdin_pipe.close();

  // A stop that came before the actors start is not passed to them: it is looked at here.
  if (co_await runtime::was_stopped()) co_return fail(RunError::cancelled());
  auto ended =
      co_await run_to_end_within(*child, request.timeout.value_or(default_claude_usage_timeout));
  // A probe stopped from outside reads as cancelled, whatever its run got to.
  if (co_await runtime::was_stopped()) co_return fail(RunError::cancelled());
  if (!ended) co_return process_failure("claude account usage command timed out");
  if (!*ended) co_return process_failure("wait for claude account usage: " + ended->error());
  const Ended& output = ended->value();
  co_return claude_usage_from_output(output.status, output.out, output.err);
}

}  // namespace vantrel
