// The claude account-usage probe: runs `claude` once on "/usage" and reads its JSON reply.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/account/claude_usage_report.h"
#include "vantrel/json/json.h"
#include "vantrel/protocol/request.h"
#include "vantrel/protocol/run_error.h"
#include "vantrel/runtime/child_process.h"
#include "vantrel/support/result.h"

namespace vantrel {

// What to run.
struct ClaudeAccountUsageReqData {
  // Searched on PATH when it has no "/"; absent or empty means "claude".
  std::optional<std::string> executable;
  // Set on top of the inherited environment, in order (a later pair wins).
  EnvPairs env;
  // The environment the child starts from: the host's, copied on the host's own thread.
  std::shared_ptr<const EnvPairs> inherited_env;
  // Bounds the wait for the child's output and exit, counted from after "/usage" is written;
  // absent means `default_claude_usage_timeout`.
  std::optional<std::chrono::nanoseconds> timeout;
};

inline constexpr std::chrono::seconds default_claude_usage_timeout{10};

// The arguments after the program: "-p" "--output-format" "json" "--no-session-persistence".
std::vector<std::string> claude_usage_args();

// The reply the child prints: one JSON object (or an array in this field order). Keys are
// taken only as written; null is refused for every field.
struct ClaudeUsageResponse {
  bool is_error = false;
  std::string result;               // the report text
  std::vector<std::string> errors;  // looked at only when `is_error` holds
  friend bool operator==(const ClaudeUsageResponse&, const ClaudeUsageResponse&) = default;
};

Result<ClaudeUsageResponse, json::Error> deserialize_claude_usage_response(std::string_view text);

// "unknown error": the failure detail of an error reply that carries none.
std::string unknown_error_text();

// A successful probe.
struct ClaudeAccountUsage {
  std::string report;                             // the reply's `result`, untrimmed
  std::vector<ClaudeAccountUsageWindow> windows;  // parsed out of `report`
  std::string raw;                                // the trimmed standard output that was decoded
  friend bool operator==(const ClaudeAccountUsage&, const ClaudeAccountUsage&) = default;
};

// What a child that ran to its end means: an Exit error for a failed exit (with its trimmed
// standard error), a Process error for a reply that does not decode or reports an error, else
// the usage. Invalid UTF-8 in either stream is replaced before anything is read.
Result<ClaudeAccountUsage, RunError> claude_usage_from_output(runtime::ExitStatus status,
                                                              std::string_view out,
                                                              std::string_view err);

// Runs the probe on the caller's executor. Every failure is a Process error, except a failed
// exit of the child (Exit). On a timeout or any failure after the spawn the child is killed
// and reaped in the background.
boost::asio::awaitable<Result<ClaudeAccountUsage, RunError>> query_claude_account_usage(
    ClaudeAccountUsageReqData request);

}  // namespace vantrel
