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

// A time that is not a finite number changes nothing and says nothing: not
// even the deadline, which a host would take as the time to come back.
TEST(Timeline, NonFiniteTicksAreIgnored) {
  Stack stack;
  (void)stack.process(tick(5.0));
  (void)stack.process(read_property(kDevice));  // due 8.0
  const std::string before = describe_tables(stack);
  for (double now : {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(stack.process(tick(now)), std::vector<Output>{}) << now;
  }
  EXPECT_EQ(describe_tables(stack), before);
  EXPECT_EQ(stack.process(read_property(kDevice)).back(), deadline(8.0));
}

// The Python layer refuses these; a C++ caller gets the defaults instead.
TEST(Timeline, FieldsOutsideTheirLimitsTakeTheirDefaults) {
  const StackConfig defaults;
  for (const StackConfig& wrong : {StackConfig{std::nan(""), 2, 49, 0}, StackConfig{0.0, 2, 65530, 0},
                                   StackConfig{-std::numeric_limits<double>::infinity(), 2, 0, 0},
                                   StackConfig{std::numeric_limits<double>::infinity(), 2, 100000, 0}}) {
    EXPECT_EQ(Stack(wrong).config(), (StackConfig{defaults.apdu_timeout_secs, 2, defaults.max_apdu_length,
                                                  defaults.max_segment_buffer}));
  }
  const StackConfig edges{1e-9, 0, 50, 1};
  EXPECT_EQ(Stack(edges).config(), edges);
  EXPECT_EQ(Stack(StackConfig{.max_apdu_length = 65529}).config().max_apdu_length, 65529u);
}

}  // namespace
}  // namespace ferromesh::stack::test
