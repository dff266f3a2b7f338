// The records a finished run or group yields: RunResult, Outcome, RunEvent and GroupResult.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "vantrel/event.h"
#include "vantrel/run_error.h"

namespace vantrel {

// The result of one finished run, built once at its end. A failed run has a complete result too.
struct RunResult {
  std::string run_id;
  std::string thread_id;      // of the last thread.started event; empty when none
  std::string final_message;  // text of the last completed agent_message item; empty when none
  Usage usage;                // of the last turn.completed / turn.failed event, never summed
  std::vector<Event> events;  // every event of the run, in decoding order
  std::string stderr_text;    // the standard-error tail (`stderr`), invalid UTF-8 replaced
  WallTime started_at{};
  WallTime finished_at{};
  friend bool operator==(const RunResult&, const RunResult&) = default;
};

// What a run's latch holds: the result, always present, and the error or none.
struct Outcome {
  RunResult result;
  std::optional<RunError> error;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

// One item of a group's event stream.
struct RunEvent {
  Event event;
  std::string run_id;
  std::size_t position = 0;  // of the request in the group's request list
  friend bool operator==(const RunEvent&, const RunEvent&) = default;
};

// The settled result of one request of a group: exactly one of `result` and `error` is present.
struct GroupResult {
  std::string run_id;  // empty when no run was started
  std::optional<RunResult> result;
  std::optional<RunError> error;
  std::size_t position = 0;
  friend bool operator==(const GroupResult&, const GroupResult&) = default;
};

}  // namespace vantrel
