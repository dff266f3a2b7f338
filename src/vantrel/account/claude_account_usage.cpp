// The claude account-usage probe.
#include "vantrel/account/claude_account_usage.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/multiple_exceptions.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <tuple>

#include "vantrel/engine/tail.h"
#include "vantrel/json/utf8.h"
#include "vantrel/runtime/select.h"

namespace vantrel {
namespace {

using boost::asio::awaitable;
using runtime::Child;
using runtime::ChildProcess;
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

// One output stream of the child, read to its end over as many calls as it takes: a call that
// is stopped loses nothing read before. Standard error goes to a `tail`, which keeps its newest
// bytes. Without one the bytes are the reply, refused beyond `output_limit` whatever follows: the
// child is then killed at once, so that it cannot hold the probe until its deadline.
struct Output {
  Pipe& pipe;
  ChildProcess* killed_on_overflow = nullptr;
  TailBuffer* tail = nullptr;
  std::string bytes{};
  bool ended = false;
  bool overflowed = false;

  void take(std::string_view chunk) {
    if (tail) {
      tail->push(chunk);
      return;
    }
    if (overflowed) return;
    if (bytes.size() + chunk.size() > output_limit) {
      overflowed = true;
      bytes.clear();
      killed_on_overflow->kill();
      return;
    }
    bytes += chunk;
  }
};

awaitable<runtime::Result<void>> read_rest(Output& output) {
  if (output.ended) co_return runtime::Result<void>{};
  auto read = co_await runtime::read_chunks(output.pipe,
                                            [&](std::string_view chunk) { output.take(chunk); });
  output.ended = true;
  co_return read;
}

// Everything the child gave once it ended: its reply, its newest standard error, and its exit
// status.
struct Ended {
  std::string out;
  std::string err;
  ExitStatus status;
};

// The first exception of a bundle that an awaitable operator made, however deeply bundled.
std::exception_ptr first_bundled(std::exception_ptr failure) {
  for (;;) {
    try {
      std::rethrow_exception(failure);
    } catch (const boost::asio::multiple_exceptions& bundle) {
      failure = bundle.first_exception();
    } catch (...) {
      return failure;
    }
  }
}

// Runs `work`; stopped from outside, the operators in it throw their operation_aborted in a
// bundle, and the first is passed on, so that the stop still reads as a stop.
template <class T>
awaitable<T> unbundled(awaitable<T> work) {
  std::exception_ptr stopped;
  try {
    co_return co_await std::move(work);
  } catch (const boost::asio::multiple_exceptions&) {
    stopped = first_bundled(std::current_exception());
  }
  std::rethrow_exception(stopped);
}

// Reads both streams to their end: the failure text of the first read that failed.
awaitable<runtime::Result<void>> read_outputs(Output& out, Output& err) {
  using namespace boost::asio::experimental::awaitable_operators;
  auto [from_out, from_err] = co_await unbundled(read_rest(out) && read_rest(err));
  if (!from_out) co_return from_out;
  co_return from_err;
}

// Reads both output streams while waiting for the exit: the failure text of the first read or
// wait that failed. Once the child itself has exited, its streams get a short grace to end: a
// process it left behind may hold them, and what was read by then is taken. The operators run on
// the caller's strand (see run_to_end_within).
awaitable<runtime::Result<Ended>> run_to_end(Child& child) {
  using namespace boost::asio::experimental::awaitable_operators;
  TailBuffer stderr_tail(stderr_limit);
  Output out{child.stdout_pipe, &child.process};
  Output err{child.stderr_pipe, nullptr, &stderr_tail};
  auto first = co_await unbundled(child.process.wait() || read_outputs(out, err));
  runtime::Result<void> read;
  std::optional<runtime::Result<ExitStatus>> status;
  if (first.index() == 0) {
    status = std::get<0>(std::move(first));
    auto in_grace =
        co_await unbundled(read_outputs(out, err) || runtime::sleep_for(runtime::pipe_grace));
    if (in_grace.index() == 0) read = std::get<0>(std::move(in_grace));
  } else {
    read = std::get<1>(std::move(first));
    status = co_await child.process.wait();
  }
  if (out.overflowed) co_return fail(std::string("reply longer than 64 MiB"));
  if (!read) co_return fail(std::move(read).error());
  if (!*status) co_return fail(std::move(*status).error());
  co_return Ended{std::move(out.bytes), stderr_tail.snapshot(), **status};
}

// run_to_end under the deadline; none when the deadline passed first. The ended child is
// looked at first, so a child that is done when the deadline comes still counts. The race runs
// on a strand of its own (select_first's), so the operators inside it never stop an operation
// while that operation runs on another thread.
awaitable<std::optional<runtime::Result<Ended>>> run_to_end_within(
    Child& child, std::chrono::nanoseconds timeout) {
  co_return co_await runtime::within(run_to_end(child), timeout);
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
  child->stdin_pipe.close();

  auto ended =
      co_await run_to_end_within(*child, request.timeout.value_or(default_claude_usage_timeout));
  if (!ended) co_return process_failure("claude account usage command timed out");
  if (!*ended) co_return process_failure("wait for claude account usage: " + ended->error());
  const Ended& output = ended->value();
  co_return claude_usage_from_output(output.status, output.out, output.err);
}

}  // namespace vantrel
