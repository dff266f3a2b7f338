// Tests of Result, the value-or-error type of the core.
#include "vantrel/support/result.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace vantrel {
namespace {

void expect_panic(const std::function<void()>& access, const std::string& message) {
  try {
    access();
    ADD_FAILURE() << "no panic";
  } catch (const Panic& p) {
    EXPECT_EQ(p.what(), message);
  }
}

TEST(Result, HoldsTheSideItWasMadeFromEvenWhenBothTypesAgree) {
  Result<std::string, std::string> value = std::string("v");
  Result<std::string, std::string> error = fail(std::string("e"));
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, "v");
  ASSERT_FALSE(error);
  EXPECT_EQ(error.error(), "e");
  expect_panic([&] { (void)value.error(); }, "result holds a value");
  expect_panic([&] { (void)error.value(); }, "result holds an error");
}

TEST(Result, MovesOutMoveOnlyValues) {
  Result<std::unique_ptr<int>, std::string> result = std::make_unique<int>(7);
  std::unique_ptr<int> taken = std::move(result).value();
  EXPECT_EQ(*taken, 7);
}

TEST(Result, VoidHoldsOnlyAnError) {
  Result<void, std::string> ok;
  Result<void, std::string> failed = fail("bad");
  EXPECT_TRUE(ok);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), "bad");
  expect_panic([&] { (void)ok.error(); }, "result holds a value");
}

}  // namespace
}  // namespace vantrel
