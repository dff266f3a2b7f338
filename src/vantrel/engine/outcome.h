// The records a finished run or group yields: RunResult, Outcome, RunEvent and GroupResult.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "vantrel/protocol/event_record.h"
#include "vantrel/protocol/run_error.h"

namespace vantrel {

// The result of one finished run, built once at its end. A failed run has a complete result too.
struct RunResult {
  std::string run_id;
  std::string thread_id;      // of the last thread.started event; empty when none
  std::string final_message;  // text of the last completed agent_message item; empty when none
  Usage usage;                // of the last turn.completed / turn.failed event, never summed
  // Every event of the run, in decoding order, shared with the run's readers.
  EventList events;
  std::string stderr_text;  // the standard-error tail (`stderr`), invalid UTF-8 replaced
  WallTime started_at{};
  WallTime finished_at{};
  // Events compare by what they hold, not by where.
  friend bool operator==(const RunResult& a, const RunResult& b) {
    return a.run_id == b.run_id && a.thread_id == b.thread_id &&
           a.final_message == b.final_message && a.usage == b.usage &&
           same_events(a.events, b.events) && a.stderr_text == b.stderr_text &&
           a.started_at == b.started_at && a.finished_at == b.finished_at;
  }
};

// What a run's latch holds: the result, always present, and the error or none.
struct Outcome {
  RunResult result;
  std::optional<RunError> error;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

// One item of a group's event stream.
struct RunEvent {
  SharedEvent event;  // shared with the run's result and its other readers
  std::string run_id;
  std::size_t position = 0;  // of the request in the group's request list
  friend bool operator==(const RunEvent& a, const RunEvent& b) {
    return same_event(a.event, b.event) && a.run_id == b.run_id && a.position == b.position;
  }
};

// The settled result of one request of a group. A launched run has its run id, its result and
// its error or none; a request that was never launched has an empty run id, no result and its
// error.
struct GroupResult {
  std::string run_id;               // empty when no run was started
  std::optional<RunResult> result;  // present exactly when a run was started
  std::optional<RunError> error;
  std::size_t position = 0;
  friend bool operator==(const GroupResult&, const GroupResult&) = default;
};

}  // namespace vantrel
