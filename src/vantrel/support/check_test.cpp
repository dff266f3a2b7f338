// Tests of the invariant check.
#include "vantrel/support/check.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(Check, StopsWithTheFixedMessage) {
  EXPECT_NO_THROW(check(true, "never"));
  try {
    check(false, "latch poisoned");
    FAIL() << "check(false) returned";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "latch poisoned");
  }
}

}  // namespace
}  // namespace vantrel
