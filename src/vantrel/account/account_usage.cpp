// The codex account-usage query: the child, the five-message exchange and the ending.
#include "vantrel/account/account_usage.h"

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cerrno>
#include <cstdlib>
#include <utility>
#include <variant>

#include "vantrel/engine/child_actor.h"
#include "vantrel/engine/line_reader.h"
#include "vantrel/engine/tail.h"
#include "vantrel/json/utf8.h"
#include "vantrel/protocol/request.h"
#include "vantrel/runtime/select.h"

namespace vantrel {
namespace {

using boost::asio::awaitable;
using namespace std::chrono_literals;

constexpr std::size_t stderr_tail_limit = 1048576;
// The initialize reply gets this long from its request's send, whatever the query's timeout.
constexpr std::chrono::nanoseconds initialize_limit = 8s;
constexpr std::chrono::nanoseconds default_timeout = 10s;
// The longest reply line taken; a server that writes a longer one fails the query.
constexpr std::size_t line_limit = 64 * 1024 * 1024;

// The server's answer to one request: its result's exact text, or the text of its refusal.
struct RpcAnswer {
  bool refused = false;
  std::string text;
};

// One reply line read against its request's deadline.
struct LineRead {
  enum What : std::uint8_t { Line, End, TimedOut, Failed } what = Line;
  std::string text;  // the line, or the failure text
};

// A line reader's failure as the query words it.
std::string read_failure_text(std::string failure) {
  if (failure == LineReader::too_long_text) return "reply line longer than 64 MiB";
  if (failure == LineReader::not_utf8_text) return "stream did not contain valid UTF-8";
  return failure;
}

// One exchange over the child's standard input and output; requests strictly one at a time.
// Replies are read with the engine's line reader; the server's actor may stop it (the grace
// after the server's exit is over), and the output then reads as ended where it stands.
class AppServerClient {
 public:
  AppServerClient(runtime::Pipe& stdin_pipe, LineReader& stdout_reader)
      : stdin_(stdin_pipe), stdout_(stdout_reader) {}

  // Writes one request and reads until its reply. Notifications, server requests and replies to
  // other ids are skipped; the reply must come within `limit` of the request's send, whatever
  // the server writes meanwhile.
  awaitable<Result<RpcAnswer, RunError>> request(std::string method,
                                                 std::optional<json::Value> params,
                                                 std::chrono::nanoseconds limit) {
    const std::uint64_t id = ++next_id_;
    json::Value::Object message{{"id", id}, {"method", method}};
    if (params) message.push_back({"params", std::move(*params)});
    const auto deadline = runtime::deadline_after(limit);
    if (auto written = co_await write(message); !written)
      co_return fail(std::move(written).error());
    for (;;) {
      LineRead read = co_await read_line(deadline);
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
  // The next line. Lines the pipe already holds are taken even past the deadline (so with a
  // zero limit too); once it has passed, the reading takes only what the pipe holds (at most
  // runtime::pipe_drain_limit bytes), so a server that keeps writing cannot keep it going.
  awaitable<LineRead> read_line(std::chrono::steady_clock::time_point deadline) {
    using namespace boost::asio::experimental::awaitable_operators;
    for (;;) {
      LineReader::Item item = stdout_.next();
      switch (item.kind) {
        case LineReader::Item::Line: co_return LineRead{LineRead::Line, std::string(item.line)};
        case LineReader::Item::End: co_return ended();
        case LineReader::Item::Failed:
          co_return LineRead{LineRead::Failed, read_failure_text(std::move(item.failure))};
        case LineReader::Item::NeedData: break;
      }
      if (!stdout_.stopped() && std::chrono::steady_clock::now() >= deadline) time_out();
      if (stdout_.stopped()) {
        if (!co_await stdout_.fill()) co_return ended();
        continue;
      }
      auto first = co_await (stdout_.fill() || runtime::sleep_until(deadline));
      if (first.index() == 1) {
        // Stopped from outside, the sleep ends early: the query ends as the output does.
        if (std::get<1>(first))
          time_out();
        else
          co_return ended();
      } else if (!std::get<0>(first)) {
        co_return ended();
      }
    }
  }

  void time_out() {
    timed_out_ = true;
    stdout_.stop();
  }

  LineRead ended() const { return {timed_out_ ? LineRead::TimedOut : LineRead::End, {}}; }

  // One message: its compact text and "\n", written whole.
  awaitable<Result<void, RunError>> write(const json::Value& message) {
    auto text = json::write_compact(message);
    if (!text)
      return failed(RunError::process("encode codex app-server JSON-RPC: " + text.error()));
    *text += '\n';
    return write_line(std::move(*text));
  }

  // A write stopped (the grace after the server's exit is over while it does not read) reads as
  // a broken pipe: the server is gone.
  awaitable<Result<void, RunError>> write_line(std::string line) {
    auto written = co_await runtime::write_all(stdin_, boost::asio::buffer(line));
    if (!written) co_return fail(RunError::process("write codex app-server: " + written.error()));
    if (!*written)
      co_return fail(RunError::process("write codex app-server: " + runtime::os_error_text(EPIPE)));
    co_return Result<void, RunError>{};
  }

  static awaitable<Result<void, RunError>> failed(RunError error) {
    co_return fail(std::move(error));
  }

  runtime::Pipe& stdin_;
  LineReader& stdout_;
  std::uint64_t next_id_ = 0;
  bool timed_out_ = false;
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

// The query's actors, on a strand of their own: the exchange, the reader of the server's
// standard error, and the server's actor, which waits for its exit and gives the pipes their
// grace (child_actor.h). The server is never asked to exit: once the exchange is over its group
// is killed, even after a complete exchange. Its standard error then ends at once, unless a
// process beyond the group holds the pipe; it gets what is left of the one grace that began at
// the server's exit.
// (The outcome is always present: co_spawn wants a value it can make by default.)
awaitable<std::optional<Result<AccountUsage, RunError>>> talk_to_server(
    runtime::Child child, std::chrono::nanoseconds timeout) {
  using namespace boost::asio::experimental::awaitable_operators;
  ChildActor server(std::move(child.process), /*pipes=*/3);
  LineReader replies(std::move(child.stdout_pipe), line_limit);
  PipeReader errors(std::move(child.stderr_pipe));
  runtime::Pipe& requests = child.stdin_pipe;
  TailBuffer tail(stderr_tail_limit);
  std::optional<Result<AccountUsage, RunError>> outcome;
  co_await runtime::stops_as_values();
  auto talk = [&]() -> awaitable<void> {
    co_await runtime::stops_as_values();
    AppServerClient client(requests, replies);
    outcome.emplace(co_await exchange(client, timeout));
    server.kill();
    replies.close();
    requests.close();
    server.let_go();
    server.let_go();
  };
  auto read_errors = [&]() -> awaitable<void> {
    co_await runtime::stops_as_values();
    (void)co_await errors.read_all([&](std::string_view chunk) { tail.push(chunk); });
    server.let_go();
  };
  auto watch_server = [&]() -> awaitable<void> {
    co_await runtime::stops_as_values();
    (void)co_await server.run([] {},
                              [&] {
                                replies.stop();
                                errors.stop();
                                runtime::stop_waits(requests);
                              });
  };
  co_await (talk() && watch_server() && read_errors());
  server.release();
  if (!*outcome) outcome.emplace(fail(with_context(std::move(*outcome).error(), tail.snapshot())));
  co_return outcome;
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
  // From here on a failure or an abandoned query drops the child, which kills it. A stop that
  // came before the server's actors start is not passed to them: it is looked at here.
  if (co_await runtime::was_stopped()) co_return fail(RunError::cancelled());
  auto outcome = co_await boost::asio::co_spawn(boost::asio::make_strand(executor),
                                                talk_to_server(std::move(spawned).value(), timeout),
                                                boost::asio::use_awaitable);
  // A query stopped from outside reads as cancelled, whatever its exchange got to.
  if (co_await runtime::was_stopped()) co_return fail(RunError::cancelled());
  co_return std::move(*outcome);
}

}  // namespace vantrel
