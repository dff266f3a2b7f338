// The claude account-usage probe.
#include "vantrel/account/claude_account_usage.h"

#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/multiple_exceptions.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <tuple>

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

// The child's standard output to its end, at most `output_limit` bytes. Beyond that the reply
// is refused whatever follows: the pipe is closed and the child killed, so that neither a full
// pipe nor a child that goes on running holds the probe until its deadline.
awaitable<runtime::Result<std::string>> read_reply(Child& child) {
  Pipe& pipe = child.stdout_pipe;
  std::string bytes;
  std::array<char, 8192> chunk;
  for (;;) {
    auto count = co_await runtime::read_some(pipe, boost::asio::buffer(chunk));
    if (!count) co_return fail(std::move(count).error());
    if (*count == 0) co_return bytes;
    if (bytes.size() + *count > output_limit) {
      boost::system::error_code ignored;
      pipe.close(ignored);
      child.process.kill();
      co_return fail(std::string("reply longer than 64 MiB"));
    }
    bytes.append(chunk.data(), *count);
  }
}

// Standard error to its end, keeping only its newest `stderr_limit` bytes. The front is cut
// once twice the limit is held, so each byte is moved a bounded number of times.
awaitable<runtime::Result<std::string>> read_stderr_tail(Pipe& pipe) {
  std::string bytes;
  // Once more than `held` bytes are held, only the newest `stderr_limit` stay.
  auto keep_newest = [&](std::size_t held) {
    if (bytes.size() > held) bytes.erase(0, bytes.size() - stderr_limit);
  };
  auto read = co_await runtime::read_chunks(pipe, [&](std::string_view chunk) {
    bytes += chunk;
    keep_newest(2 * stderr_limit);
  });
  if (!read) co_return fail(std::move(read).error());
  keep_newest(stderr_limit);
  co_return bytes;
}

// Everything the child gave once it ended: its reply, its newest standard error, and its exit
// status.
struct Ended {
  std::string out;
  std::string err;
  ExitStatus status;
};

// The first exception of a bundle that `&&` made, however deeply bundled.
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

// Reads both output streams to their end while waiting for the exit: the failure text of the
// first read or wait that failed.
awaitable<runtime::Result<Ended>> run_to_end(Child& child) {
  using namespace boost::asio::experimental::awaitable_operators;
  std::exception_ptr stopped;
  try {
    auto [out, err, status] =
        co_await (read_reply(child) && read_stderr_tail(child.stderr_pipe) && child.process.wait());
    if (!out) co_return fail(std::move(out).error());
    if (!err) co_return fail(std::move(err).error());
    if (!status) co_return fail(std::move(status).error());
    co_return Ended{std::move(out).value(), std::move(err).value(), *status};
  } catch (const boost::asio::multiple_exceptions&) {
    // Stopped from outside, all three throw operation_aborted and `&&` bundles them: the first
    // is passed on, so that the stop still reads as a stop.
    stopped = first_bundled(std::current_exception());
  }
  std::rethrow_exception(stopped);
}

// run_to_end under the deadline; none when the deadline passed first. The ended child is
// looked at first, so a child that is done when the deadline comes still counts. The race runs
// on a strand of its own (select_first's), so `&&` inside it never stops an operation while
// that operation runs on another thread.
awaitable<std::optional<runtime::Result<Ended>>> run_to_end_within(
    Child& child, std::chrono::nanoseconds timeout) {
  co_return co_await runtime::within(run_to_end(child), timeout);
}

runtime::Command claude_usage_command(const ClaudeAccountUsageReqData& request) {
  std::string program =
      request.executable && !request.executable->empty() ? *request.executable : "claude";
  return {std::move(program), claude_usage_args(), runtime::inherited_environment_with(request.env),
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
