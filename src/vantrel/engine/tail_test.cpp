// Tests of the standard-error tail.
#include "vantrel/engine/tail.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <memory>
#include <string>
#include <utility>
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

// A pipe's reader, on a strand as a run's actors are: it reads to the end of its pipe; once
// stopped, while a writer still holds the pipe, it takes what the pipe holds and ends.
std::pair<std::string, bool> read_pipe(bool stop_while_held) {
  auto ends = runtime::sys::make_pipe();
  EXPECT_TRUE(ends.has_value());
  auto strand = boost::asio::make_strand(runtime::shared_runtime().executor());
  PipeReader reader(runtime::Pipe(strand, ends->read.release()));
  EXPECT_EQ(::write(ends->write.get(), "held", 4), 4);
  if (!stop_while_held) ends->write.reset();
  std::string read;
  auto run = [&]() -> boost::asio::awaitable<void> {
    if (stop_while_held) boost::asio::post(strand, [&] { reader.stop(); });
    auto done = co_await reader.read_all([&](std::string_view chunk) { read += chunk; });
    EXPECT_TRUE(done.has_value());
  };
  runtime::block_on(boost::asio::co_spawn(strand, run(), boost::asio::use_awaitable));
  return {read, reader.done()};
}

TEST(PipeReader, ReadsToTheEndOrWhatIsHeldOnceStopped) {
  EXPECT_EQ(read_pipe(false), std::make_pair(std::string("held"), true));
  EXPECT_EQ(read_pipe(true), std::make_pair(std::string("held"), true));
}

}  // namespace
}  // namespace vantrel
