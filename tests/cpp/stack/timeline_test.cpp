#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "stack/stack_test_support.hpp"

namespace ferromesh::stack::test {
namespace {

class RetryTimeline : public ::testing::TestWithParam<double> {};

// The host clock starts at GetParam(); with a non-zero start the host ticks
// before it sends, and deadlines still lie apdu_timeout_secs after the send.
TEST_P(RetryTimeline, ResendsThreeTimesThenTimesOut) {
  const double t0 = GetParam();
  Stack stack;
  if (t0 != 0.0) {
    EXPECT_TRUE(stack.process(tick(t0)).empty());
  }
  const auto sent = stack.process(read_property(kDevice));
  ASSERT_EQ(sent.size(), 2u);
  const Bytes request = transmitted(sent).at(0);
  EXPECT_EQ(sent[1], deadline(t0 + 3.0));

  EXPECT_EQ(stack.process(tick(t0 + 2.999)), std::vector<Output>{deadline(t0 + 3.0)});
  for (double at : {3.0, 6.0, 9.0}) {
    EXPECT_EQ(stack.process(tick(t0 + at)),
              (std::vector<Output>{transmit(request, kDevice, 0), deadline(t0 + at + 3.0)}))
        << "tick at +" << at;
  }
  EXPECT_EQ(stack.process(tick(t0 + 12.0)), std::vector<Output>{timeout(0, kDevice)});
  EXPECT_TRUE(stack.transactions().empty());
  EXPECT_FALSE(stack.invoke_pools().at(kDevice).is_used(0));
  EXPECT_TRUE(stack.process(tick(t0 + 100.0)).empty());
}

INSTANTIATE_TEST_SUITE_P(ClockStarts, RetryTimeline, ::testing::Values(0.0, 10000.0));

TEST(Timeline, NoRetriesTimesOutAtTheFirstDueTick) {
  Stack stack(StackConfig{.apdu_retries = 0});
  (void)stack.process(read_property(kDevice));
  EXPECT_EQ(stack.process(tick(3.0)), std::vector<Output>{timeout(0, kDevice)});
}

TEST(Timeline, TickAnnouncesTheEarliestPendingTime) {
  Stack stack;
  (void)stack.process(read_property(kDevice));                     // due 3.0
  (void)stack.process(tick(1.0));
  EXPECT_EQ(stack.process(read_property(kOtherDevice)).back(), deadline(4.0));
  const auto out = stack.process(tick(3.0));                         // first re-sent, due 6.0
  EXPECT_EQ(kinds(out), "TD");
  EXPECT_EQ(out.back(), deadline(4.0));
}

TEST(Timeline, NonFiniteTicksNeitherFireNorMoveTheTimeBase) {
  Stack stack;
  (void)stack.process(tick(5.0));
  (void)stack.process(read_property(kDevice));  // due 8.0
  EXPECT_EQ(stack.process(tick(std::nan(""))), std::vector<Output>{deadline(8.0)});
  EXPECT_EQ(stack.process(read_property(kDevice)).back(), deadline(8.0));
}

TEST(Timeline, EarliestDeadlineIgnoresNaN) {
  Stack stack(StackConfig{.apdu_timeout_secs = std::nan(""), .max_apdu_length = 30});
  (void)stack.process(read_property(kDevice));            // deadline NaN
  (void)stack.process(write_octets(kOtherDevice, 100));   // segmented: window due at 2.0
  EXPECT_EQ(stack.process(tick(1.0)), std::vector<Output>{deadline(2.0)});
}

}  // namespace
}  // namespace ferromesh::stack::test
