// Conversion of the core's run records into the records of the result objects.
#include "records.h"

#include <boost/asio/post.hpp>
#include <chrono>
#include <limits>

#include "vantrel/runtime/runtime.h"

namespace vantrel::py {

void release_off_thread(std::shared_ptr<const void> owner) noexcept {
  if (!owner || owner.use_count() > 1) return;
  // No runtime is built in a forked child that drops what it inherited: freed here, then.
  runtime::Runtime* runtime = runtime::shared_runtime_if_built();
  if (runtime == nullptr) return;
  try {
    boost::asio::post(runtime->executor(), [owner = std::move(owner)] {});
  } catch (...) {
    // Not handed over: freed here.
  }
}

namespace {

// The run result inside `owner`, shared by the records made from it (results, their events and
// usage); the last of those lets go of `owner` off the interpreter's thread.
template <class Owner>
std::shared_ptr<const RunResult> shared_result(std::shared_ptr<const Owner> owner,
                                               const RunResult& result) {
  return std::shared_ptr<const RunResult>(
      &result, [owner = std::move(owner)](const RunResult*) mutable noexcept {
        release_off_thread(std::move(owner));
      });
}

}  // namespace

ErrorRecord error_to_py_error(const RunError& error) {
  ErrorRecord record{std::string(error.kind_word()), error.display(), {}, {}, {}};
  if (error.kind == RunError::Exit) {
    record.code = error.code;
    record.stderr_text = error.stderr_text;
  } else if (error.kind == RunError::Decode) {
    // Line numbers reach Python as unsigned 32-bit values; a longer stream saturates.
    constexpr std::uint64_t max_line = std::numeric_limits<std::uint32_t>::max();
    record.line = static_cast<std::uint32_t>(error.line < max_line ? error.line : max_line);
  }
  return record;
}

ErrorRecord invalid_request_record(std::string reason) {
  return {"invalidRequest", std::move(reason), {}, {}, {}};
}

RunResultRecord empty_run_result() {
  static const auto empty = std::make_shared<const RunResult>();
  return {empty};
}

OutcomeRecord outcome_into_py(const std::shared_ptr<const Outcome>& outcome) {
  std::optional<ErrorRecord> error;
  if (outcome->error) error = error_to_py_error(*outcome->error);
  // Shares the stored outcome: its result, events among them, is never changed.
  return {{shared_result(outcome, outcome->result)}, std::move(error)};
}

OutcomeRecord failed_outcome(ErrorRecord error) { return {empty_run_result(), std::move(error)}; }

RunEventRecord run_event_into_py(RunEvent&& event) {
  return {std::move(event.run_id), static_cast<std::uint32_t>(event.position),
          std::move(event.event)};
}

GroupResultRecord group_result_into_py(const std::shared_ptr<const GroupResult>& result) {
  GroupResultRecord record{static_cast<std::uint32_t>(result->position), result->run_id, {}, {}};
  // Shares the stored result: its events are never changed.
  if (result->result) record.result = RunResultRecord{shared_result(result, *result->result)};
  if (result->error) record.error = error_to_py_error(*result->error);
  return record;
}

double epoch_millis(WallTime time) {
  using namespace std::chrono;
  auto since_epoch = duration_cast<nanoseconds>(time.time_since_epoch());
  if (since_epoch.count() < 0) return 0.0;
  auto nanos = static_cast<std::uint64_t>(since_epoch.count());
  std::uint64_t millis = nanos / 1000000000u * 1000u + nanos % 1000000000u / 1000000u;
  return static_cast<double>(millis);
}

}  // namespace vantrel::py
