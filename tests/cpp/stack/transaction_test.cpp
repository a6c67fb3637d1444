#include <gtest/gtest.h>

#include "stack/stack_test_support.hpp"

// What ends a transaction and what does not: answers for the service asked,
// the server bit, cancellation; what a request advertises and how it is
// sized to the device.

namespace ferromesh::stack::test {
namespace {

enum class Asked { Read, Write };

input::Send request_of(Asked asked, const BacnetAddr& dest) {
  return asked == Asked::Write ? write_octets(dest, 40) : read_property(dest);
}

struct AnswerCase {
  const char* name;
  Asked asked;
  Bytes answer;  // an APDU for invoke ID 0
  bool ends;     // else a stray: no output, and the request still waits
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

// The right answer, sent after a stray, still ends the request.
Bytes right_answer(Asked asked) { return asked == Asked::Write ? Bytes{0x20, 0x00, 0x0F} : Bytes{0x30, 0x00, 0x0C}; }

class Answer : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(Answer, EndsOnlyTheRequestItAnswers) {
  const AnswerCase& c = GetParam();
  Stack stack;
  (void)stack.process(request_of(c.asked, kDevice));
  const std::string before = describe_tables(stack);
  Bytes datagram = device_datagram({});
  datagram.insert(datagram.end(), c.answer.begin(), c.answer.end());
  datagram[3] = static_cast<std::uint8_t>(datagram.size());
  const auto out = stack.process(from(kDevice, datagram));
  if (c.ends) {
    EXPECT_EQ(kinds(out), "E");
    EXPECT_TRUE(stack.transactions().empty());
    return;
  }
  EXPECT_EQ(out, std::vector<Output>{});
  EXPECT_EQ(describe_tables(stack), before);
  Bytes right = device_datagram({});
  const Bytes answer = right_answer(c.asked);
  right.insert(right.end(), answer.begin(), answer.end());
  right[3] = static_cast<std::uint8_t>(right.size());
  EXPECT_EQ(kinds(stack.process(from(kDevice, right))), "E");
  EXPECT_TRUE(stack.transactions().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Answer,
    ::testing::Values(AnswerCase{"complex_ack_of_the_read", Asked::Read, {0x30, 0x00, 0x0C, 0x09}, true},
                      AnswerCase{"complex_ack_of_another_service", Asked::Read, {0x30, 0x00, 0x0E, 0x09}, false},
                      AnswerCase{"complex_ack_to_a_write", Asked::Write, {0x30, 0x00, 0x0F, 0x09}, false},
                      AnswerCase{"read_answer_to_a_write", Asked::Write, {0x30, 0x00, 0x0C, 0x09}, false},
                      AnswerCase{"simple_ack_of_the_write", Asked::Write, {0x20, 0x00, 0x0F}, true},
                      AnswerCase{"simple_ack_to_a_read", Asked::Read, {0x20, 0x00, 0x0C}, false},
                      AnswerCase{"simple_ack_of_another_service", Asked::Write, {0x20, 0x00, 0x0E}, false},
                      AnswerCase{"error_of_the_read", Asked::Read, {0x50, 0x00, 0x0C, 0x91, 0x02, 0x91, 0x20}, true},
                      AnswerCase{"error_of_another_service", Asked::Read, {0x50, 0x00, 0x0F, 0x91, 0x02, 0x91, 0x20},
                                 false},
                      AnswerCase{"segment_of_another_service", Asked::Read, {0x3C, 0x00, 0x00, 0x04, 0x0E, 0x01}, false},
                      AnswerCase{"segment_to_a_write", Asked::Write, {0x3C, 0x00, 0x00, 0x04, 0x0F, 0x01}, false},
                      AnswerCase{"reject", Asked::Write, {0x60, 0x00, 0x09}, true},
                      AnswerCase{"abort_from_the_server", Asked::Read, {0x71, 0x00, 0x04}, true},
                      AnswerCase{"abort_from_the_device_as_client", Asked::Read, {0x70, 0x00, 0x04}, false}),
    [](const auto& tc) { return std::string(tc.param.name); });

// An answer in one piece while the segments of one arrive is no part of it.
TEST(Answer, AnUnsegmentedAnswerDuringASegmentedOneIsAStray) {
  Stack stack;
  (void)stack.process(read_property(kDevice));
  (void)stack.process(from(kDevice, ack_segment(0, 0, true, 2, Bytes(10, 1))));
  EXPECT_TRUE(stack.process(from(kDevice, device_datagram({0x30, 0x00, 0x0C, 0x09}))).empty());
  EXPECT_EQ(stack.process(from(kDevice, ack_segment(0, 1, false, 2, Bytes(5, 2)))),
            (std::vector<Output>{transmit(segment_ack(0, 1, 2), kDevice), response(0, [] {
                                   Bytes b(10, 1);
                                   b.insert(b.end(), 5, 2);
                                   return b;
                                 }(), kDevice)}));
}

// Reads time out and their IDs go to writes; a late answer to a read is no
// acknowledgement of the write that now holds its ID.
TEST(Answer, ALateAnswerToAnEarlierRequestIsNoAnswerToTheNext) {
  Stack stack(StackConfig{.apdu_retries = 0});
  for (int i = 0; i < 256; ++i) (void)stack.process(read_property(kDevice));
  EXPECT_EQ(events(stack.process(tick(3.0))).size(), 256u);
  for (int i = 0; i < 256; ++i) (void)stack.process(write_octets(kDevice, 40));
  EXPECT_TRUE(stack.process(from(kDevice, device_datagram({0x30, 0x00, 0x0C, 0x09}))).empty());
  EXPECT_TRUE(stack.transactions().contains(TransactionKey{kDevice, 0}));
  EXPECT_EQ(stack.process(from(kDevice, device_datagram({0x20, 0x00, 0x0F}))),
            std::vector<Output>{response(0, {}, kDevice)});
}

// Cancelling: no event, the ID free (and last to be used again), nothing sent
// for the request afterwards; an Abort to a device in the middle of segments.
TEST(Cancel, AnUnknownRequestIsNothing) {
  Stack stack;
  (void)stack.process(read_property(kDevice));
  const std::string before = describe_tables(stack);
  for (const input::Cancel& unknown : {input::Cancel{kDevice, 1}, input::Cancel{kOtherDevice, 0}}) {
    EXPECT_EQ(stack.process(unknown), std::vector<Output>{});
  }
  EXPECT_EQ(describe_tables(stack), before);
}

TEST(Cancel, AWaitingRequestEndsSilentlyAndIsNeverSentAgain) {
  Stack stack;
  (void)stack.process(read_property(kDevice));
  (void)stack.process(read_property(kDevice));
  EXPECT_EQ(stack.process(input::Cancel{kDevice, 0}), std::vector<Output>{});
  EXPECT_FALSE(stack.invoke_pools().at(kDevice).is_used(0));
  expect_invariants(stack);
  for (double at : {3.0, 6.0, 9.0, 12.0}) {
    for (const Bytes& d : transmitted(stack.process(tick(at)))) EXPECT_EQ(invoke_id_of(d), 1) << at;
  }
  // Its ID comes back only after all the others.
  EXPECT_EQ(invoke_id_of(transmitted(stack.process(read_property(kDevice))).at(0)), 2);
}

TEST(Cancel, ASegmentedRequestStopsAndTheDeviceIsTold) {
  Stack stack(StackConfig{.max_apdu_length = 50});
  (void)stack.process(write_octets(kDevice, 440));
  (void)stack.process(from(kDevice, device_datagram({0x41, 0x00, 0x00, 0x02})));
  EXPECT_EQ(stack.process(input::Cancel{kDevice, 0}),
            std::vector<Output>{transmit(device_datagram({0x70, 0x00, 0x00}), kDevice)});
  EXPECT_TRUE(stack.send_segments().empty() && stack.transactions().empty());
  EXPECT_TRUE(stack.process(from(kDevice, device_datagram({0x41, 0x00, 0x02, 0x02}))).empty());
  EXPECT_TRUE(stack.process(tick(10.0)).empty());
}

TEST(Cancel, AnAnswerArrivingInSegmentsIsAborted) {
  Stack stack;
  (void)stack.process(read_property(kDevice));
  (void)stack.process(from(kDevice, ack_segment(0, 0, true, 2, Bytes(10, 1))));
  EXPECT_EQ(stack.process(input::Cancel{kDevice, 0}),
            std::vector<Output>{transmit(device_datagram({0x70, 0x00, 0x00}), kDevice)});
  EXPECT_TRUE(stack.recv_segments().empty() && stack.transactions().empty());
  // Its further segments get no SegmentACK.
  EXPECT_TRUE(stack.process(from(kDevice, ack_segment(0, 1, true, 2, Bytes(10, 1)))).empty());
  EXPECT_TRUE(stack.process(from(kDevice, ack_segment(0, 2, true, 2, Bytes(10, 1)))).empty());
}

// Max-segments and max-APDU accepted, and segmented-response-accepted, from
// the configuration: the device sizes its answer's segments to the APDU
// advertised, and we accept as many as the buffer holds.
struct AdvertisedCase {
  std::size_t max_apdu_length;
  std::size_t max_segment_buffer;
  std::uint8_t first_octet;  // PDU type and segmented-response-accepted
  std::uint8_t sizes;        // max-segments code << 4 | max-APDU code
};

TEST(Advertised, RequestsSayWhatTheStackAccepts) {
  const AdvertisedCase cases[] = {
      {1476, 2097152, 0x02, 0x75},  // 1425 segments of 1471 octets: more than 64
      {480, 10000, 0x02, 0x43},     // 21 segments of 475 octets: 16
      {1023, 950, 0x02, 0x13},      // 2 of 475
      {50, 1476, 0x02, 0x50},       // 32 of 45
      {65529, 4000, 0x02, 0x15},    // 1476 is the largest code: 2 segments of 1471
      {1476, 2000, 0x00, 0x05},     // not even 2 segments: no segmented answers
  };
  for (const AdvertisedCase& c : cases) {
    Stack stack(StackConfig{.max_apdu_length = c.max_apdu_length, .max_segment_buffer = c.max_segment_buffer});
    const Bytes sent = transmitted(stack.process(read_property(kDevice))).at(0);
    EXPECT_EQ(sent.at(6), c.first_octet) << c.max_apdu_length << " " << c.max_segment_buffer;
    EXPECT_EQ(sent.at(7), c.sizes) << c.max_apdu_length << " " << c.max_segment_buffer;
  }
}

// An I-Am: device 254, then max APDU and segmentation as given.
Bytes i_am(std::uint16_t max_apdu, std::uint8_t segmentation, bool routed = false) {
  Bytes npdu = routed ? Bytes{0x01, 0x08, 0x00, 0x05, 0x01, 0x0A} : Bytes{0x01, 0x00};
  const Bytes apdu{0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, 0xFE, 0x22, static_cast<std::uint8_t>(max_apdu >> 8),
                   static_cast<std::uint8_t>(max_apdu), 0x91, segmentation, 0x21, 0x0F};
  Bytes out{0x81, 0x0B, 0x00, 0x00};
  out.insert(out.end(), npdu.begin(), npdu.end());
  out.insert(out.end(), apdu.begin(), apdu.end());
  out[3] = static_cast<std::uint8_t>(out.size());
  return out;
}

struct LimitsCase {
  const char* name;
  Bytes i_am;
  std::size_t max_apdu_length;
  std::size_t largest_apdu_sent;  // 0: refused with an Error, nothing sent
};

void PrintTo(const LimitsCase& c, std::ostream* os) { *os << c.name; }

class DeviceLimits : public ::testing::TestWithParam<LimitsCase> {};

// A WriteProperty of 300 octets, sent (segment 0 and the window after it)
// after the device's I-Am.
TEST_P(DeviceLimits, RequestsAreSizedToTheLastIAm) {
  const LimitsCase& c = GetParam();
  Stack stack(StackConfig{.max_apdu_length = c.max_apdu_length});
  EXPECT_EQ(kinds(stack.process(from(kDevice, c.i_am))), "E");
  auto out = stack.process(write_octets(kDevice, 300));
  if (c.largest_apdu_sent == 0) {
    ASSERT_EQ(kinds(out), "E");
    EXPECT_EQ(std::get<event::Error>(events(out)[0]).message,
              "request of 300 octets needs segmentation, but the device accepts no segmented requests (max APDU 206)");
    EXPECT_TRUE(stack.transactions().empty());
    expect_invariants(stack);
    return;
  }
  for (const Bytes& d : transmitted(stack.process(from(kDevice, device_datagram({0x41, 0x00, 0x00, 0x08}))))) {
    out.push_back(transmit(d, kDevice));
  }
  std::size_t largest = 0;
  for (const Bytes& d : transmitted(out)) largest = std::max(largest, d.size() - 6);
  EXPECT_EQ(largest, c.largest_apdu_sent);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceLimits,
    ::testing::Values(LimitsCase{"smaller_device_segmented", i_am(206, 0), 1476, 206},
                      LimitsCase{"device_that_only_receives_segments", i_am(206, 2), 1476, 206},
                      LimitsCase{"smaller_configuration_wins", i_am(1476, 0), 128, 128},
                      LimitsCase{"large_enough_device", i_am(1476, 3), 1476, 304},
                      LimitsCase{"device_without_segmentation", i_am(206, 3), 1476, 0},
                      LimitsCase{"device_that_only_sends_segments", i_am(206, 1), 1476, 0},
                      LimitsCase{"below_50_taken_as_50", i_am(10, 0), 1476, 50},
                      // Through a router the I-Am names the device behind it, not the router.
                      LimitsCase{"routed_i_am_changes_nothing", i_am(206, 3, true), 1476, 304}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(DeviceLimits, AreKeptForABoundedNumberOfDevices) {
  Stack stack;
  for (std::uint32_t i = 0; i < 3 * kDeviceLimitsKept; ++i) {
    const BacnetAddr src{{10, static_cast<std::uint8_t>(i >> 16), static_cast<std::uint8_t>(i >> 8),
                          static_cast<std::uint8_t>(i)},
                         kBacnetPort};
    (void)stack.process(from(src, i_am(480, 0)));
  }
  EXPECT_EQ(stack.device_limits().size(), kDeviceLimitsKept);
}

}  // namespace
}  // namespace ferromesh::stack::test
