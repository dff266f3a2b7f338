// The records that the module's result objects own, made from the core's run records. Plain C++:
// nothing here touches the interpreter.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vantrel/engine/outcome.h"
#include "vantrel/protocol/run_error.h"

namespace vantrel::py {

// The five fields of a PyError.
struct ErrorRecord {
  std::string kind;
  std::string message;
  std::optional<std::int32_t> code;        // "exit" only
  std::optional<std::string> stderr_text;  // "exit" only
  std::optional<std::uint32_t> line;       // "decode" only
};

// A run result. It never changes once made, so copies share it instead of copying its events.
struct RunResultRecord {
  std::shared_ptr<const RunResult> result;
};

struct OutcomeRecord {
  RunResultRecord result;
  std::optional<ErrorRecord> error;
};

struct RunEventRecord {
  std::string run_id;
  std::uint32_t index = 0;
  // The run's event itself; every read of the attribute shares it instead of copying the event.
  SharedEvent event;
};

struct GroupResultRecord {
  std::uint32_t index = 0;
  std::string run_id;
  std::optional<RunResultRecord> result;
  std::optional<ErrorRecord> error;
};

ErrorRecord error_to_py_error(const RunError& error);
// An error record made without a RunError: kind "invalidRequest" and the bare reason.
ErrorRecord invalid_request_record(std::string reason);

// Stands where a run produced no result: empty texts, zero usage, no events, times 0.0.
RunResultRecord empty_run_result();
// The outcome as a run's latch stores it, shared: the record refers to it instead of copying.
OutcomeRecord outcome_into_py(const std::shared_ptr<const Outcome>& outcome);
// A request that never became a run: the empty run result with the error record.
OutcomeRecord failed_outcome(ErrorRecord error);
RunEventRecord run_event_into_py(RunEvent&& event);
// One result of a group's stored results, shared: the record refers to it instead of copying.
GroupResultRecord group_result_into_py(const std::shared_ptr<const GroupResult>& result);

// Drops `owner`. Its last share goes to a runtime worker to be freed there: a long run's records
// take a good while to free, and the Python thread that drops them holds the interpreter lock.
void release_off_thread(std::shared_ptr<const void> owner) noexcept;

// Whole milliseconds since the epoch (the fraction dropped), as a double; 0.0 before the epoch.
double epoch_millis(WallTime time);

}  // namespace vantrel::py
