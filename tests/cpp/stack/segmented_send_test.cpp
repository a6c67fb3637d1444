#include <gtest/gtest.h>

#include <limits>

#include "stack/service_encoding.hpp"
#include "stack/stack_test_support.hpp"

namespace ferromesh::stack::test {
namespace {

Bytes server_segment_ack(std::uint8_t invoke_id, std::uint8_t sequence, std::uint8_t window) {
  return device_datagram({0x41, invoke_id, sequence, window});
}

std::vector<std::uint8_t> sequence_numbers(const std::vector<Output>& outputs) {
  std::vector<std::uint8_t> out;
  for (const Bytes& d : transmitted(outputs)) out.push_back(d.at(9));
  return out;
}

TEST(SegmentedSend, ThreeThousandOctetsGoOutAsThreeSegments) {
  Stack stack;
  const input::Send request = write_octets(kDevice, 3000);
  const Bytes parameters = std::get<EncodedService>(encode_service(request.service)).parameters;
  ASSERT_EQ(parameters.size(), 3000u);

  const auto out = stack.process(request);
  ASSERT_EQ(kinds(out), "TTTD");
  EXPECT_EQ(out.back(), deadline(2.0));
  const std::vector<Bytes> headers{{0x81, 0x0A, 0x05, 0xCA, 0x01, 0x04, 0x0E, 0x05, 0x00, 0x00, 0x04, 0x0F},
                                   {0x81, 0x0A, 0x05, 0xCA, 0x01, 0x04, 0x0E, 0x05, 0x00, 0x01, 0x04, 0x0F},
                                   {0x81, 0x0A, 0x00, 0x48, 0x01, 0x04, 0x0A, 0x05, 0x00, 0x02, 0x04, 0x0F}};
  Bytes carried;
  const auto datagrams = transmitted(out);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Bytes(datagrams[i].begin(), datagrams[i].begin() + 12), headers[i]) << "segment " << i;
    carried.insert(carried.end(), datagrams[i].begin() + 12, datagrams[i].end());
  }
  EXPECT_EQ(carried, parameters);
  EXPECT_EQ(stack.transactions().at(TransactionKey{kDevice, 0}).deadline, std::numeric_limits<double>::infinity());
  expect_invariants(stack);
}

TEST(SegmentedSend, SegmentsOnlyWhatDoesNotFitOneApdu) {
  Stack stack;
  EXPECT_EQ(kinds(stack.process(write_octets(kDevice, 1472))), "TD");
  EXPECT_EQ(transmitted(stack.process(write_octets(kDevice, 1473))).size(), 2u);
}

TEST(SegmentedSend, SegmentAcksMoveTheWindowAndTheLastEndsSending) {
  Stack stack(StackConfig{.max_apdu_length = 50});  // 44 octets per segment
  ASSERT_EQ(sequence_numbers(stack.process(write_octets(kDevice, 440))), (std::vector<std::uint8_t>{0, 1, 2, 3}));

  EXPECT_TRUE(stack.process(from(kOtherDevice, server_segment_ack(0, 1, 3))).empty());
  EXPECT_EQ(sequence_numbers(stack.process(from(kDevice, server_segment_ack(0, 1, 3)))),
            (std::vector<std::uint8_t>{2, 3, 4}));
  const auto moved = stack.process(from(kDevice, server_segment_ack(0, 6, 5)));
  EXPECT_EQ(sequence_numbers(moved), (std::vector<std::uint8_t>{7, 8, 9}));
  EXPECT_EQ(transmitted(moved).back().at(6), 0x0A);  // the last segment says no more follow
  EXPECT_EQ(transmitted(moved).back().at(10), 5);    // proposing the granted window

  // Delivered: no more windows, but the request waits for its answer.
  (void)stack.process(tick(1.0));
  EXPECT_TRUE(stack.process(from(kDevice, server_segment_ack(0, 9, 5))).empty());
  EXPECT_TRUE(stack.send_segments().empty());
  EXPECT_EQ(stack.transactions().at(TransactionKey{kDevice, 0}).deadline, 4.0);
  EXPECT_EQ(stack.process(from(kDevice, device_datagram({0x20, 0x00, 0x0F}))),
            std::vector<Output>{response(0, {}, kDevice)});
  EXPECT_TRUE(stack.transactions().empty());
}

TEST(SegmentedSend, AnUnacknowledgedWindowIsResentThenTimesOut) {
  Stack stack(StackConfig{.max_apdu_length = 50});
  const auto first = transmitted(stack.process(write_octets(kDevice, 440)));
  EXPECT_EQ(stack.process(tick(1.9)), std::vector<Output>{deadline(2.0)});
  for (double at : {2.0, 4.0, 6.0}) {
    const auto out = stack.process(tick(at));
    EXPECT_EQ(transmitted(out), first) << at;
    EXPECT_EQ(out.back(), deadline(at + 2.0));
  }
  EXPECT_EQ(stack.process(tick(8.0)), std::vector<Output>{timeout(0, kDevice)});
  EXPECT_TRUE(stack.transactions().empty() && stack.send_segments().empty());
  expect_invariants(stack);
}

// A SegmentACK between two ticks counts as activity at the later tick, so the
// window is not re-sent 2.0 s after the earlier one.
TEST(SegmentedSend, ActivityIsStampedAtTheNextTick) {
  Stack stack(StackConfig{.max_apdu_length = 50});
  (void)stack.process(write_octets(kDevice, 440));
  (void)stack.process(tick(1.0));
  EXPECT_EQ(kinds(stack.process(from(kDevice, server_segment_ack(0, 3, 4)))), "TTTT");
  EXPECT_EQ(stack.process(tick(3.0)), std::vector<Output>{deadline(5.0)});
  EXPECT_EQ(kinds(stack.process(tick(5.0))), "TTTTD");
}

TEST(SegmentedSend, AnAbortMidRequestLeavesNoWindowBehind) {
  Stack stack(StackConfig{.max_apdu_length = 50});
  (void)stack.process(write_octets(kDevice, 440));
  EXPECT_EQ(stack.process(from(kDevice, device_datagram({0x71, 0x00, 0x04}))),
            std::vector<Output>{abort_event(0, 4, kDevice)});
  EXPECT_TRUE(stack.send_segments().empty());
  EXPECT_TRUE(stack.process(tick(10.0)).empty());
}

struct RefusedCase {
  const char* name;
  std::size_t max_apdu_length;
  std::size_t parameter_length;
  const char* message;
};

class Unsegmentable : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(Unsegmentable, GivesOneErrorWithTheAllocatedIdAndFreesIt) {
  const RefusedCase& c = GetParam();
  Stack stack(StackConfig{.max_apdu_length = c.max_apdu_length});
  EXPECT_EQ(stack.process(write_octets(kDevice, c.parameter_length)),
            std::vector<Output>{local_error(0, c.message, kDevice)});
  EXPECT_TRUE(stack.transactions().empty());
  EXPECT_EQ(stack.invoke_pools().at(kDevice).next_id, 1);
  expect_invariants(stack);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Unsegmentable,
    ::testing::Values(RefusedCase{"no_room_in_a_segment", 6, 20,
                                  "request of 20 octets needs segmentation, but max_apdu_length 6 leaves no room for "
                                  "segment data"},
                      RefusedCase{"over_256_segments", 16, 2561,
                                  "request of 2561 octets needs 257 segments, more than 256"}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(SegmentedSend, TwoHundredFiftySixSegmentsAreStillSent) {
  Stack stack(StackConfig{.max_apdu_length = 16});
  EXPECT_EQ(kinds(stack.process(write_octets(kDevice, 2560))), "TTTTD");
  EXPECT_EQ(stack.send_segments().at(TransactionKey{kDevice, 0}).total_segments, 256u);
}

// The BVLC length field has 16 bits: larger configured APDUs must not wrap it.
TEST(SegmentedSend, NoDatagramOutgrowsItsLengthField) {
  Stack stack(StackConfig{.max_apdu_length = 100000});
  const auto out = transmitted(stack.process(write_octets(kDevice, 70000)));
  ASSERT_EQ(out.size(), 2u);
  for (const Bytes& d : out) {
    EXPECT_LE(d.size(), 0xFFFFu);
    EXPECT_EQ(d.size(), std::size_t{d[2]} << 8 | d[3]);
  }
}

}  // namespace
}  // namespace ferromesh::stack::test
