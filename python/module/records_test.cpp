// The record conversions of the result objects: error fields by kind and the millisecond rule.
#include "records.h"

#include <gtest/gtest.h>

namespace vantrel::py {
namespace {

using namespace std::chrono;

TEST(EpochMillis, DropsTheFractionAndClampsBeforeTheEpoch) {
  struct Case {
    nanoseconds since_epoch;
    double millis;
  };
  const Case cases[] = {
      {nanoseconds(0), 0.0},           {nanoseconds(1999600000), 1999.0},
      {nanoseconds(999999), 0.0},      {nanoseconds(-1), 0.0},
      {nanoseconds(-5000000000), 0.0}, {nanoseconds(1733820000123456789), 1733820000123.0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(epoch_millis(WallTime(duration_cast<WallTime::duration>(c.since_epoch))), c.millis)
        << c.since_epoch.count();
}

TEST(ErrorToPyError, FillsCodeStderrAndLineOnlyForTheirKinds) {
  ErrorRecord exit = error_to_py_error(RunError::exit("", std::nullopt, -1));
  EXPECT_EQ(exit.kind, "exit");
  EXPECT_EQ(exit.message, "agent exited with code -1");
  EXPECT_EQ(exit.code, -1);
  EXPECT_EQ(exit.stderr_text, "");
  EXPECT_EQ(exit.line, std::nullopt);

  ErrorRecord decode = error_to_py_error(RunError::decode("bad", std::nullopt, 3));
  EXPECT_EQ(decode.kind, "decode");
  EXPECT_EQ(decode.message, "decode agent JSONL line 3: bad");
  EXPECT_EQ(decode.line, 3u);
  EXPECT_EQ(decode.code, std::nullopt);
  EXPECT_EQ(decode.stderr_text, std::nullopt);

  ErrorRecord invalid = error_to_py_error(RunError::invalid_request("no"));
  EXPECT_EQ(invalid.kind, "invalidRequest");
  EXPECT_EQ(invalid.message, "vantrel: invalid request: no");
  EXPECT_EQ(invalid.code, std::nullopt);
  EXPECT_EQ(invalid.stderr_text, std::nullopt);
  EXPECT_EQ(invalid.line, std::nullopt);
}

TEST(EmptyRunResult, HasNoEventsZeroUsageAndZeroTimes) {
  const RunResult& empty = *empty_run_result().result;
  EXPECT_EQ(empty, RunResult{});
  EXPECT_EQ(epoch_millis(empty.started_at), 0.0);
}

}  // namespace
}  // namespace vantrel::py
