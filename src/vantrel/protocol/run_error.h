// Run errors (the one failure value a run ends with) and run ids.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vantrel/protocol/event.h"
#include "vantrel/protocol/request.h"

namespace vantrel {

// Exactly one of ten kinds. Which fields carry data follows from `kind`:
// InvalidRequest, Handler, Process: `message`; Decode: `message`, `raw_line`, `line`;
// Exit: `stderr_text`, `event` (the run's last event, if any), `code`;
// Codex, Claude, Grok: `message` (the agent failure text), `event` (the event it was made from).
struct RunError {
  enum Kind : std::uint8_t {
    PromptRequired,
    InvalidRequest,
    Exit,
    Decode,
    Codex,
    Claude,
    Grok,
    Handler,
    Cancelled,
    Process,
  };

  Kind kind = PromptRequired;
  std::string message;
  std::string stderr_text;
  std::optional<Event> event;
  std::int32_t code = 0;
  std::optional<std::string> raw_line;
  std::uint64_t line = 0;

  static RunError prompt_required() { return RunError{}; }
  static RunError invalid_request(std::string reason);
  static RunError exit(std::string stderr_tail, std::optional<Event> last_event, std::int32_t code);
  static RunError decode(std::string message, std::optional<std::string> raw_line,
                         std::uint64_t line);
  static RunError handler(std::string message);
  static RunError cancelled();
  static RunError process(std::string message);

  // The kind word: "promptRequired", "invalidRequest", "exit", ...
  std::string_view kind_word() const;
  // The display text, which Python shows as the error's message.
  std::string display() const;

  friend bool operator==(const RunError&, const RunError&) = default;
};

// The agent failure of a run whose last event is turn.failed or error: "codex turn failed: ...",
// "codex error: ..." or "codex error event" (with the run's agent name), carrying a copy of it.
RunError agent_failure(Agent agent, const Event& last_event);

// "run-" + wall-clock nanoseconds since the epoch (0 before it) + "-" + a process-wide counter
// incremented before use.
std::string new_run_id();

// `error` with ": " and the trimmed standard-error tail appended to its message, when it is a
// Process error and the trimmed tail is not empty; otherwise `error` unchanged.
RunError with_context(RunError error, std::string_view stderr_tail);

}  // namespace vantrel
