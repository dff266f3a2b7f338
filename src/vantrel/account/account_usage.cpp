// The codex account-usage query: the child, the five-message exchange and the ending.
#include "vantrel/account/account_usage.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <boost/asio/deferred.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <cstdlib>
#include <memory>
#include <utility>

#include "vantrel/engine/tail.h"
#include "vantrel/json/utf8.h"
#include "vantrel/protocol/request.h"
#include "vantrel/runtime/select.h"

namespace vantrel {
namespace {

using boost::asio::awaitable;
using namespace std::chrono_literals;

constexpr std::size_t stderr_tail_limit = 1048576;
// The initialize reply gets this long per line read, whatever the request's timeout.
constexpr std::chrono::nanoseconds initialize_limit = 8s;
constexpr std::chrono::nanoseconds default_timeout = 10s;
constexpr std::size_t read_buffer_size = 8192;
// The longest reply line taken; a server that writes a longer one fails the query.
constexpr std::size_t line_limit = 64 * 1024 * 1024;

// The server's standard output, read one line at a time through a fixed buffer. A line longer
// than `line_limit` (its "\n" not counted) is a failure, so what is held stays bounded.
class ServerOutput {
 public:
  explicit ServerOutput(runtime::Pipe& pipe) : pipe_(pipe) {
    boost::system::error_code ignored;
    // What the pipe already holds is taken without waiting (see ready).
    pipe_.non_blocking(true, ignored);
  }

  // Takes what the pipe holds now, without waiting, until a whole line is buffered. True when
  // the next read completes at once: a line is buffered, the end was seen, or a read failed. So
  // a line the server has written whole counts as ready, however many reads it spans.
  bool ready() {
    take_held(/*to_a_line=*/true);
    return answered();
  }

  // Takes what the pipe holds now, then reads as if the output had ended there: what a server
  // left once its grace is over. Whatever arrives later is not read, and a line still unfinished
  // is dropped, as its writer may not be done with it; the whole lines before it are kept.
  void end_here() {
    take_held(/*to_a_line=*/false);
    if (at_end_ || failure_) return;
    std::size_t last_newline = pending_.rfind('\n');
    pending_.erase(last_newline == std::string::npos ? 0 : last_newline + 1);
    scanned_ = 0;
    at_end_ = true;
  }

  // The next line without its "\n" (and a "\r" before it); nullopt at the end of the output. A
  // last line without "\n" is still a line. A stopped read keeps what it had read.
  awaitable<runtime::Result<std::optional<std::string>>> read_line() {
    for (;;) {
      std::size_t newline = find_newline();
      if (too_long(newline)) co_return fail(std::string(too_long_text));
      if (newline != std::string::npos) {
        std::string line = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        scanned_ = 0;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        co_return checked(std::move(line));
      }
      if (at_end_) {
        if (pending_.empty()) co_return std::nullopt;
        co_return checked(std::exchange(pending_, {}));
      }
      if (failure_) co_return fail(*failure_);
      auto count = co_await runtime::read_some(pipe_, boost::asio::buffer(buffer_));
      if (!count) co_return fail(std::move(count).error());
      take(*count);
    }
  }

 private:
  static constexpr std::string_view too_long_text = "reply line longer than 64 MiB";

  // Takes what the pipe holds now, without waiting, until the end, a failed read, or (when
  // `to_a_line`) anything that answers the next read. One look takes no more than a pipe holds,
  // so a line written whole still fits, while a server that writes faster than it is read
  // cannot keep the look, and the query, away from the deadline.
  void take_held(bool to_a_line) {
    for (std::size_t looked = 0; looked < runtime::pipe_drain_limit; looked += read_buffer_size) {
      if (to_a_line ? answered() : at_end_ || failure_) return;
      auto taken = runtime::try_read_some(pipe_, boost::asio::buffer(buffer_));
      if (!taken)
        failure_ = std::move(taken).error();
      else if (!*taken)
        return;
      else
        take(**taken);
    }
  }

  // What is held answers the next read: a whole line, one too long, the end, or a failed read.
  bool answered() {
    std::size_t newline = find_newline();
    return newline != std::string::npos || too_long(newline) || at_end_ || failure_;
  }

  // Whether the line ending at `newline` (npos: not yet ended) is longer than the limit.
  bool too_long(std::size_t newline) const {
    return (newline == std::string::npos ? pending_.size() : newline) > line_limit;
  }

  // One read's bytes; none is the end of the output.
  void take(std::size_t count) {
    if (count == 0)
      at_end_ = true;
    else
      pending_.append(buffer_.data(), count);
  }

  std::size_t find_newline() {
    std::size_t at = pending_.find('\n', scanned_);
    scanned_ = at == std::string::npos ? pending_.size() : at;
    return at;
  }

  static runtime::Result<std::optional<std::string>> checked(std::string line) {
    if (!is_valid_utf8(line)) return fail(std::string("stream did not contain valid UTF-8"));
    return std::optional<std::string>(std::move(line));
  }

  runtime::Pipe& pipe_;
  std::array<char, read_buffer_size> buffer_{};
  std::string pending_;
  std::size_t scanned_ = 0;  // the first bytes of `pending_` known to hold no "\n"
  bool at_end_ = false;
  std::optional<std::string> failure_;  // a read that failed while ready() looked
};

// One line read raced against its own deadline.
struct LineRead {
  enum What : std::uint8_t { Line, End, TimedOut, Failed } what = Line;
  std::string text;  // the line, or the failure text
};

LineRead line_read(runtime::Result<std::optional<std::string>> read) {
  if (!read) return {LineRead::Failed, std::move(read).error()};
  if (!*read) return {LineRead::End, {}};
  return {LineRead::Line, std::move(**read)};
}

// How a wait for a reply line ended without the line.
enum class WaitEnd : std::uint8_t { LimitPassed, GraceOver };

// The server's own exit, watched through a second process descriptor. Once the server has
// exited, its standard output gets runtime::pipe_grace to reach its end: a process it left
// behind may hold the pipe for as long as it lives. Without that descriptor the output is read
// to its end or to the limit, as if nobody else held it.
class ServerExit {
 public:
  explicit ServerExit(runtime::ChildProcess& server) {
    if (auto notice = server.exit_notice(); notice.has_value()) notice_.emplace(std::move(*notice));
  }

  // Completes once `limit` has passed or the grace after the server's exit is over, whichever
  // comes first. The two waits are plain operations of one group, not coroutines: this runs
  // inside a select_first branch, where another select_first must not be nested.
  awaitable<WaitEnd> reply_deadline(std::chrono::nanoseconds limit) {
    // The timer's own arithmetic saturates a limit beyond the clock's range.
    boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, limit);
    if (!exited_at_ && notice_) {
      auto [order, limit_passed, exited] =
          co_await boost::asio::experimental::make_parallel_group(
              timer.async_wait(boost::asio::deferred),
              notice_->async_wait(runtime::Pipe::wait_read, boost::asio::deferred))
              .async_wait(boost::asio::experimental::wait_for_one(), boost::asio::deferred);
      const boost::system::error_code& first = order[0] == 0 ? limit_passed : exited;
      if (first == boost::asio::error::operation_aborted) throw boost::system::system_error(first);
      if (order[0] == 0) co_return WaitEnd::LimitPassed;
      if (exited)
        notice_.reset();  // the exit cannot be watched: only the limit counts
      else
        mark_exited();
    }
    const bool grace_first = exited_at_ && grace_end() < timer.expiry();
    if (grace_first) timer.expires_at(grace_end());
    co_await timer.async_wait(boost::asio::use_awaitable);
    co_return grace_first ? WaitEnd::GraceOver : WaitEnd::LimitPassed;
  }

  // Takes the exit as seen now, unless it was seen before.
  void mark_exited() {
    if (!exited_at_) exited_at_ = std::chrono::steady_clock::now();
  }

  // Whether the grace after the server's exit is over. The exit is looked for without waiting,
  // so that a helper which keeps writing lines cannot keep the query reading past it.
  bool grace_over() {
    if (!exited_at_ && notice_) {
      pollfd exit_seen{notice_->native_handle(), POLLIN, 0};
      if (::poll(&exit_seen, 1, 0) == 1) mark_exited();
    }
    return exited_at_ && std::chrono::steady_clock::now() >= grace_end();
  }

  // What is left of the grace that began at the exit (none once it is over).
  std::chrono::nanoseconds grace_left() const {
    if (!exited_at_) return runtime::pipe_grace;
    return std::max(std::chrono::nanoseconds::zero(),
                    std::chrono::nanoseconds(grace_end() - std::chrono::steady_clock::now()));
  }

 private:
  std::chrono::steady_clock::time_point grace_end() const {
    return *exited_at_ + runtime::pipe_grace;
  }

  std::optional<runtime::Pipe> notice_;
  std::optional<std::chrono::steady_clock::time_point> exited_at_;
};

// A line that the server has already written is taken even when the limit is zero. Once the
// grace after the server's exit is over, the output reads as ended where it stands.
awaitable<LineRead> read_line_within(ServerOutput& reader, ServerExit& server_exit,
                                     std::chrono::nanoseconds limit) {
  if (server_exit.grace_over()) reader.end_here();
  if (reader.ready()) co_return line_read(co_await reader.read_line());
  auto read = co_await runtime::select_first(reader.read_line(), server_exit.reply_deadline(limit));
  if (read.first) co_return line_read(std::move(*read.first));
  if (*read.second == WaitEnd::LimitPassed) co_return LineRead{LineRead::TimedOut, {}};
  reader.end_here();
  co_return line_read(co_await reader.read_line());
}

// The server's answer to one request: its result's exact text, or the text of its refusal.
struct RpcAnswer {
  bool refused = false;
  std::string text;
};

// One exchange over the child's standard input and output; requests strictly one at a time.
class AppServerClient {
 public:
  AppServerClient(runtime::Pipe& stdin_pipe, runtime::Pipe& stdout_pipe, ServerExit& server_exit)
      : stdin_(stdin_pipe), stdout_(stdout_pipe), server_exit_(server_exit) {}

  // Writes one request and reads until its reply. Notifications, server requests and replies to
  // other ids are skipped; each line read gets the whole `limit` again.
  awaitable<Result<RpcAnswer, RunError>> request(std::string method,
                                                 std::optional<json::Value> params,
                                                 std::chrono::nanoseconds limit) {
    const std::uint64_t id = ++next_id_;
    json::Value::Object message{{"id", id}, {"method", method}};
    if (params) message.push_back({"params", std::move(*params)});
    if (auto written = co_await write(message); !written)
      co_return fail(std::move(written).error());
    for (;;) {
      LineRead read = co_await read_line_within(stdout_, server_exit_, limit);
      switch (read.what) {
        case LineRead::TimedOut:
          co_return fail(
              RunError::process("codex app-server JSON-RPC timeout waiting for " + method));
        case LineRead::Failed:
          co_return fail(RunError::process("read codex app-server: " + read.text));
        case LineRead::End: co_return fail(RunError::process("codex app-server closed stdout"));
        case LineRead::Line: break;
      }
      auto reply = deserialize_rpc_message(read.text);
      if (!reply)
        co_return fail(RunError::process("decode codex app-server JSON-RPC: " + reply.error()));
      if (reply->method || reply->id != id) continue;
      if (reply->error)
        co_return RpcAnswer{true,
                            reply->error->message.value_or("codex app-server JSON-RPC error")};
      if (reply->result) co_return RpcAnswer{false, std::move(*reply->result)};
      co_return fail(RunError::process("codex app-server response missing result"));
    }
  }

  // Writes one notification; nothing is read.
  awaitable<Result<void, RunError>> notify(std::string method, json::Value params) {
    json::Value::Object message{{"method", std::move(method)}, {"params", std::move(params)}};
    co_return co_await write(message);
  }

 private:
  // One message: its compact text and "\n", written whole.
  awaitable<Result<void, RunError>> write(const json::Value& message) {
    auto text = json::write_compact(message);
    if (!text)
      return failed(RunError::process("encode codex app-server JSON-RPC: " + text.error()));
    *text += '\n';
    return write_line(std::move(*text));
  }

  awaitable<Result<void, RunError>> write_line(std::string line) {
    auto written = co_await runtime::write_all(stdin_, boost::asio::buffer(line));
    if (!written) co_return fail(RunError::process("write codex app-server: " + written.error()));
    co_return Result<void, RunError>{};
  }

  static awaitable<Result<void, RunError>> failed(RunError error) {
    co_return fail(std::move(error));
  }

  runtime::Pipe& stdin_;
  ServerOutput stdout_;
  ServerExit& server_exit_;
  std::uint64_t next_id_ = 0;
};

// A step's failure: its context, then the display of the cause.
RunError in_step(std::string_view context, const RunError& cause) {
  return RunError::process(std::string(context) + cause.display());
}

// The server's refusal, composed as a Process error of its own text.
RunError refusal(const RpcAnswer& answer) { return RunError::process(answer.text); }

template <class T>
Result<T, RunError> decoded_in_step(std::string_view context, Result<T, std::string> decoded) {
  if (!decoded) return fail(RunError::process(std::string(context) + decoded.error()));
  return std::move(decoded).value();
}

json::Value client_info() {
  return json::Value::Object{
      {"clientInfo", json::Value::Object{{"name", "vantrel"}, {"version", "0.1.0"}}}};
}

// The exchange after start-up: initialize, initialized, then the three account requests.
awaitable<Result<AccountUsage, RunError>> exchange(AppServerClient& client,
                                                   std::chrono::nanoseconds timeout) {
  constexpr std::string_view initialize_context = "initialize codex app-server: ";
  auto initialized = co_await client.request("initialize", client_info(), initialize_limit);
  if (!initialized) co_return fail(in_step(initialize_context, initialized.error()));
  if (initialized->refused) co_return fail(in_step(initialize_context, refusal(*initialized)));

  if (auto notified = co_await client.notify("initialized", json::Value::Object{}); !notified)
    co_return fail(std::move(notified).error());

  AccountUsage usage;
  constexpr std::string_view rate_limits_context = "read codex account rate limits: ";
  auto rate_limits = co_await client.request("account/rateLimits/read", std::nullopt, timeout);
  if (!rate_limits) co_return fail(in_step(rate_limits_context, rate_limits.error()));
  if (rate_limits->refused) co_return fail(in_step(rate_limits_context, refusal(*rate_limits)));
  auto response = decoded_in_step("decode codex account rate limits: ",
                                  deserialize_rate_limits_response(rate_limits->text));
  if (!response) co_return fail(std::move(response).error());
  usage.rate_limits = std::move(response->rate_limits);
  usage.rate_limits_by_limit_id = std::move(response->rate_limits_by_limit_id);
  usage.raw_rate_limits = std::move(rate_limits->text);

  // A refusal of either of the last two requests only leaves its fields absent.
  auto token_usage = co_await client.request("account/usage/read", std::nullopt, timeout);
  if (!token_usage) co_return fail(in_step("read codex account usage: ", token_usage.error()));
  if (!token_usage->refused) {
    auto decoded = decoded_in_step("decode codex account usage: ",
                                   deserialize_account_token_usage(token_usage->text));
    if (!decoded) co_return fail(std::move(decoded).error());
    usage.token_usage = std::move(decoded).value();
    usage.raw_token_usage = std::move(token_usage->text);
  }

  auto account = co_await client.request("account/read", json::Value::Object{}, timeout);
  if (!account) co_return fail(in_step("read codex account: ", account.error()));
  if (!account->refused) {
    auto decoded =
        decoded_in_step("decode codex account: ", deserialize_account_response(account->text));
    if (!decoded) co_return fail(std::move(decoded).error());
    // The top-level flag is the one reported; the account object's own is dropped.
    if (decoded->account) {
      usage.account = std::move(decoded->account);
      usage.account->requires_openai_auth = decoded->requires_openai_auth;
    }
    usage.raw_account = std::move(account->text);
  }
  co_return usage;
}

// A variable of `env`, when set and not empty (taken as bytes, not trimmed).
std::optional<std::string> variable_of(const std::vector<runtime::EnvVar>& env,
                                       std::string_view name) {
  auto found = std::find_if(env.begin(), env.end(),
                            [&](const runtime::EnvVar& var) { return var.first == name; });
  if (found == env.end() || found->second.empty()) return std::nullopt;
  return found->second;
}

}  // namespace

std::vector<runtime::EnvVar> codex_home_env(const std::vector<runtime::EnvVar>& inherited,
                                            const std::vector<runtime::EnvVar>& pairs) {
  std::vector<runtime::EnvVar> env = runtime::environment_with(inherited, pairs);
  auto codex_home = std::find_if(
      env.begin(), env.end(), [](const runtime::EnvVar& var) { return var.first == "CODEX_HOME"; });
  if (codex_home != env.end() && !json::trim_unicode_space(codex_home->second).empty()) return env;
  std::optional<std::string> base = variable_of(inherited, "HOME");
  if (!base) base = variable_of(inherited, "USERPROFILE");
  if (!base) return env;
  if (base->back() != '/') *base += '/';
  std::string path = utf8_lossy(*base + ".codex");
  if (codex_home != env.end())
    codex_home->second = std::move(path);
  else
    env.emplace_back("CODEX_HOME", std::move(path));
  return env;
}

awaitable<Result<AccountUsage, RunError>> query_account_usage(AccountUsageReqData req) {
  if (auto refusal = env_name_refusal(req.env)) co_return fail(RunError::process(*refusal));
  runtime::Command command;
  command.env = codex_home_env(inherited_variables(req.inherited_env), req.env);
  command.program = req.executable && !req.executable->empty() ? *req.executable : "codex";
  command.args = {"-s", "read-only", "-a", "on-request", "app-server", "--stdio"};
  const std::chrono::nanoseconds timeout = req.timeout.value_or(default_timeout);

  auto executor = co_await boost::asio::this_coro::executor;
  auto spawned = runtime::spawn(executor, command);
  if (!spawned) co_return fail(RunError::process("start codex app-server: " + spawned.error()));
  runtime::Child child = std::move(spawned).value();
  // From here on a failure or an abandoned query drops the child, which kills it.
  auto tail = std::make_shared<TailBuffer>(stderr_tail_limit);
  TailReader tail_reader = start_read_stderr_tail(executor, std::move(child.stderr_pipe), tail);

  ServerExit server_exit(child.process);
  AppServerClient client(child.stdin_pipe, child.stdout_pipe, server_exit);
  Result<AccountUsage, RunError> outcome = co_await exchange(client, timeout);

  // The server is never asked to exit: its group is killed, even after a complete exchange. Its
  // standard error then ends at once, unless a process beyond the group holds the pipe; it gets
  // what is left of the one grace that began at the server's exit.
  child.process.kill();
  auto reaped = co_await child.process.wait();
  (void)reaped;
  server_exit.mark_exited();
  (void)co_await tail_reader.finished_within(server_exit.grace_left());
  if (!outcome) co_return fail(with_context(std::move(outcome).error(), tail_snapshot(*tail)));
  co_return outcome;
}

}  // namespace vantrel
