// Tests of timeouts from floating-point seconds.
#include "vantrel/account/timeout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vantrel {
namespace {

using std::chrono::nanoseconds;

TEST(TimeoutFromSeconds, RefusesNegativeNotANumberInfiniteAndTooLarge) {
  const double refused[] = {-1.0,
                            -1e-300,
                            std::numeric_limits<double>::quiet_NaN(),
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(),
                            0x1p64,
                            1e20,
                            std::numeric_limits<double>::max()};
  for (double seconds : refused) EXPECT_EQ(timeout_from_seconds(seconds), std::nullopt) << seconds;
}

TEST(TimeoutFromSeconds, RoundsToTheNearestNanosecondTiesToEven) {
  struct Case {
    double seconds;
    nanoseconds expected;
  };
  const Case cases[] = {
      {0.0, nanoseconds(0)},
      {-0.0, nanoseconds(0)},
      {1.0, nanoseconds(1000000000)},
      {3.0, nanoseconds(3000000000)},
      {0.5, nanoseconds(500000000)},
      {1e-9, nanoseconds(1)},
      {0.1, nanoseconds(100000000)},       // 0.1 is a hair above one tenth
      {1.0 / 1024, nanoseconds(976562)},   // exactly 976562.5 ns: to even
      {3.0 / 1024, nanoseconds(2929688)},  // exactly 2929687.5 ns: to even
      {0x1p-31, nanoseconds(0)},           // 0.47 ns
      {0x1p-30, nanoseconds(1)},           // 0.93 ns
      {std::numeric_limits<double>::denorm_min(), nanoseconds(0)},
      {9e9, nanoseconds(9000000000000000000)},
      {1e10, nanoseconds::max()},             // beyond the nanosecond range
      {0x1p64 - 0x1p11, nanoseconds::max()},  // the largest double below 2**64
  };
  for (const Case& c : cases) EXPECT_EQ(timeout_from_seconds(c.seconds), c.expected) << c.seconds;
}

}  // namespace
}  // namespace vantrel
