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

TEST(SegmentedSend, ThreeThousandOctetsGoOutAsThreeSegmentsSegmentZeroFirst) {
  Stack stack;
  const input::Send request = write_octets(kDevice, 3000);
  const Bytes parameters = std::get<EncodedService>(encode_service(request.service)).parameters;
  ASSERT_EQ(parameters.size(), 3000u);

  const auto first = stack.process(request);
  ASSERT_EQ(kinds(first), "TD");
  EXPECT_EQ(first.back(), deadline(2.0));
  const auto rest = stack.process(from(kDevice, server_segment_ack(0, 0, 4)));
  ASSERT_EQ(kinds(rest), "TT");
  // Max-segments more than 64 (2 MiB of buffer) and max-APDU 1476, as advertised.
  const std::vector<Bytes> headers{{0x81, 0x0A, 0x05, 0xCA, 0x01, 0x04, 0x0E, 0x75, 0x00, 0x00, 0x04, 0x0F},
                                   {0x81, 0x0A, 0x05, 0xCA, 0x01, 0x04, 0x0E, 0x75, 0x00, 0x01, 0x04, 0x0F},
                                   {0x81, 0x0A, 0x00, 0x48, 0x01, 0x04, 0x0A, 0x75, 0x00, 0x02, 0x04, 0x0F}};
  Bytes carried;
  std::vector<Bytes> datagrams = transmitted(first);
  for (const Bytes& d : transmitted(rest)) datagrams.push_back(d);
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
  EXPECT_EQ(sequence_numbers(stack.process(write_octets(kDevice, 1473))), std::vector<std::uint8_t>{0});
}

TEST(SegmentedSend, SegmentAcksMoveTheWindowAndTheLastEndsSending) {
  Stack stack(StackConfig{.max_apdu_length = 50});  // 44 octets per segment
  ASSERT_EQ(sequence_numbers(stack.process(write_octets(kDevice, 440))), (std::vector<std::uint8_t>{0}));

  EXPECT_TRUE(stack.process(from(kOtherDevice, server_segment_ack(0, 0, 3))).empty());
  EXPECT_TRUE(stack.process(from(kDevice, device_datagram({0x40, 0x00, 0x00, 0x03}))).empty());  // SRV clear
  EXPECT_EQ(sequence_numbers(stack.process(from(kDevice, server_segment_ack(0, 0, 3)))),
            (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(sequence_numbers(stack.process(from(kDevice, server_segment_ack(0, 3, 5)))),
            (std::vector<std::uint8_t>{4, 5, 6, 7, 8}));
  const auto moved = stack.process(from(kDevice, server_segment_ack(0, 8, 5)));
  EXPECT_EQ(sequence_numbers(moved), (std::vector<std::uint8_t>{9}));
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

// Seen through a lossy network: the device had the whole request and
// answered, the answer was lost, and the request timed out with its retries
// unused. It goes again, from segment 0 alone, as often as a request in one
// piece would.
TEST(SegmentedSend, ALostAnswerSendsTheWholeRequestAgainUpToTheRetries) {
  Stack stack(StackConfig{.apdu_retries = 1, .max_apdu_length = 50});  // 44 octets per segment
  const auto segment_zero = transmitted(stack.process(write_octets(kDevice, 100)));
  const auto deliver = [&] {
    EXPECT_EQ(sequence_numbers(stack.process(from(kDevice, server_segment_ack(0, 0, 4)))),
              (std::vector<std::uint8_t>{1, 2}));
    EXPECT_TRUE(stack.process(from(kDevice, server_segment_ack(0, 2, 4))).empty());
    EXPECT_TRUE(stack.send_segments().empty());
  };
  deliver();
  // Segment 0 again, under the request's invoke ID, which the host reads off it.
  ASSERT_EQ(segment_zero.size(), 1u);
  EXPECT_EQ(stack.process(tick(3.0)), (std::vector<Output>{transmit(segment_zero[0], kDevice, 0), deadline(5.0)}));
  expect_invariants(stack);
  deliver();
  EXPECT_EQ(stack.process(tick(6.0)), std::vector<Output>{timeout(0, kDevice)});
  EXPECT_TRUE(stack.transactions().empty() && stack.send_segments().empty());
  expect_invariants(stack);
}

// A SegmentACK between two ticks counts as activity at the later tick, so the
// window is not re-sent 2.0 s after the earlier one.
TEST(SegmentedSend, ActivityIsStampedAtTheNextTick) {
  Stack stack(StackConfig{.max_apdu_length = 50});
  (void)stack.process(write_octets(kDevice, 440));
  (void)stack.process(tick(1.0));
  EXPECT_EQ(kinds(stack.process(from(kDevice, server_segment_ack(0, 0, 4)))), "TTTT");
  EXPECT_EQ(stack.process(tick(3.0)), std::vector<Output>{deadline(5.0)});
  EXPECT_EQ(sequence_numbers(stack.process(tick(5.0))), (std::vector<std::uint8_t>{1, 2, 3, 4}));
}

TEST(SegmentedSend, AnAbortMidRequestLeavesNoWindowBehind) {
  Stack stack(StackConfig{.max_apdu_length = 50});
  (void)stack.process(write_octets(kDevice, 440));
  EXPECT_EQ(stack.process(from(kDevice, device_datagram({0x71, 0x00, 0x04}))),
            std::vector<Output>{abort_event(0, 4, kDevice)});
  EXPECT_TRUE(stack.send_segments().empty());
  EXPECT_TRUE(stack.process(tick(10.0)).empty());
}

TEST(SegmentedSend, MoreThan256SegmentsAreRefusedWithTheAllocatedIdFreed) {
  Stack stack(StackConfig{.max_apdu_length = 50});
  EXPECT_EQ(stack.process(write_octets(kDevice, 11265)),
            std::vector<Output>{local_error(0, "request of 11265 octets needs 257 segments, more than 256", kDevice)});
  EXPECT_TRUE(stack.transactions().empty());
  EXPECT_EQ(stack.invoke_pools().at(kDevice).next(), 1);
  expect_invariants(stack);
}

TEST(SegmentedSend, TwoHundredFiftySixSegmentsAreStillSent) {
  Stack stack(StackConfig{.max_apdu_length = 50});
  EXPECT_EQ(kinds(stack.process(write_octets(kDevice, 11264))), "TD");
  EXPECT_EQ(stack.send_segments().at(TransactionKey{kDevice, 0}).total_segments, 256u);
}

// The BVLC length field has 16 bits: the largest APDU configurable fits it.
TEST(SegmentedSend, NoDatagramOutgrowsItsLengthField) {
  Stack stack(StackConfig{.max_apdu_length = 65529});
  auto out = transmitted(stack.process(write_octets(kDevice, 70000)));
  for (const Bytes& d : transmitted(stack.process(from(kDevice, server_segment_ack(0, 0, 4))))) out.push_back(d);
  ASSERT_EQ(out.size(), 2u);
  for (const Bytes& d : out) {
    EXPECT_LE(d.size(), 0xFFFFu);
    EXPECT_EQ(d.size(), std::size_t{d[2]} << 8 | d[3]);
  }
}

}  // namespace
}  // namespace ferromesh::stack::test
