// Tests of the standard-error tail.
#include "vantrel/engine/tail.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace vantrel
