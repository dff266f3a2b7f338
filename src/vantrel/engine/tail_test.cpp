// Tests of the standard-error tail.
#include "vantrel/engine/tail.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "vantrel/runtime/owned_fds.h"
#include "vantrel/runtime/runtime.h"
#include "vantrel/runtime/syscall.h"

namespace vantrel {
namespace {

struct TailCase {
  std::size_t limit;
  std::vector<std::string> pushes;
  std::string snapshot;
};

TEST(TailBuffer, KeepsTheNewestBytesAndReadsThemLossily) {
  const TailCase cases[] = {
      {5, {"abc", "defg"}, "cdefg"},
      {10, {std::string(8182, 'a') + "0123456789"}, "0123456789"},
      {0, {"anything", std::string(9000, 'x')}, ""},
      {10, {"a\xFFz"}, "a\xEF\xBF\xBDz"},
      // The trim cuts the two-byte character in half.
      {3, {"\xC3\xA9xy"}, "\xEF\xBF\xBDxy"},
      {100, {"", "a", ""}, "a"},
  };
  for (const TailCase& c : cases) {
    TailBuffer tail(c.limit);
    for (const auto& chunk : c.pushes) tail.push(chunk);
    EXPECT_EQ(tail_snapshot(tail), c.snapshot) << c.limit;
    EXPECT_EQ(tail_snapshot(tail), c.snapshot) << "a snapshot changes nothing";
  }
}

TEST(TailBuffer, APoisonedLockStopsPushAndSnapshot) {
  TailBuffer tail(4);
  tail.poison_for_test();
  EXPECT_THROW(
      {
        try {
          tail.push("x");
        } catch (const Panic& e) {
          EXPECT_STREQ(e.what(), "tail buffer poisoned");
          throw;
        }
      },
      Panic);
  EXPECT_THROW(tail_snapshot(tail), Panic);
}

// The reader is not finished while its pipe may still bring bytes, and is once it has taken the
// last of them.
TEST(TailReader, HasFinishedOnlyAfterTheEndOfItsPipe) {
  auto ends = runtime::sys::make_pipe();
  ASSERT_TRUE(ends.has_value());
  runtime::Pipe read_end(runtime::shared_runtime().executor(), ends->read.get());
  ends->read.release();
  auto tail = std::make_shared<TailBuffer>(64);
  TailReader reader =
      start_read_stderr_tail(runtime::shared_runtime().executor(), std::move(read_end), tail);
  EXPECT_FALSE(reader.has_finished());
  ASSERT_EQ(::write(ends->write.get(), "last", 4), 4);
  ends->write.reset();
  runtime::block_on(reader.finished());
  EXPECT_TRUE(reader.has_finished());
  EXPECT_EQ(tail->snapshot(), "last");
}

}  // namespace
}  // namespace vantrel
