#include <gtest/gtest.h>

#include "stack/datagram.hpp"
#include "stack/stack_test_support.hpp"

namespace ferromesh::stack::test {
namespace {

Bytes octets(std::size_t n, std::uint8_t first) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

// Every layer's header as a device reads it, for each kind of datagram the
// client sends.
TEST(Datagram, ExactOctets) {
  const Bytes data = octets(3, 0xA0);
  EXPECT_EQ(datagram::confirmed_request(kDevice, {9, 14, 0, apdu::kMaxApduCode1476, std::nullopt, true}, data),
            (Bytes{0x81, 0x0A, 0x00, 0x0D, 0x01, 0x04, 0x02, 0x05, 0x09, 0x0E, 0xA0, 0xA1, 0xA2}));
  EXPECT_EQ(datagram::confirmed_request(kDevice, {9, 14, 7, 3, apdu::SegmentHeader{true, 3, 4}, false}, data),
            (Bytes{0x81, 0x0A, 0x00, 0x0F, 0x01, 0x04, 0x0C, 0x73, 0x09, 0x03, 0x04, 0x0E, 0xA0, 0xA1, 0xA2}));
  EXPECT_EQ(datagram::segment_ack(kDevice, {true, false, 9, 3, 2}),
            (Bytes{0x81, 0x0A, 0x00, 0x0A, 0x01, 0x00, 0x42, 0x09, 0x03, 0x02}));
  EXPECT_EQ(datagram::abort(kDevice, {false, 9, 10}), (Bytes{0x81, 0x0A, 0x00, 0x09, 0x01, 0x00, 0x70, 0x09, 0x0A}));
  // Behind a router: DNET 0x04D2, DLEN and DADR, hop count 255, to the router's address.
  const BacnetAddr routed = *BacnetAddr::routed(kDevice.addr, kDevice.port, 0x04D2, Bytes{0x11});
  EXPECT_EQ(datagram::confirmed_request(routed, {9, 14, 0, apdu::kMaxApduCode1476, std::nullopt, true}, data),
            (Bytes{0x81, 0x0A, 0x00, 0x12, 0x01, 0x24, 0x04, 0xD2, 0x01, 0x11, 0xFF, 0x02, 0x05, 0x09, 0x0E, 0xA0,
                   0xA1, 0xA2}));
  EXPECT_EQ(datagram::segment_ack(routed, {false, false, 9, 3, 2}),
            (Bytes{0x81, 0x0A, 0x00, 0x0F, 0x01, 0x20, 0x04, 0xD2, 0x01, 0x11, 0xFF, 0x40, 0x09, 0x03, 0x02}));
  EXPECT_EQ(datagram::abort(routed, {false, 9, 10}),
            (Bytes{0x81, 0x0A, 0x00, 0x0E, 0x01, 0x20, 0x04, 0xD2, 0x01, 0x11, 0xFF, 0x70, 0x09, 0x0A}));
  EXPECT_EQ(datagram::largest_apdu(routed), datagram::kLargestApdu - 5);
}

// What we advertise: the largest code that fits, and 2..64 segments or more.
TEST(Advertised, MaxApduAndMaxSegmentsCodes) {
  const std::pair<std::size_t, std::uint8_t> apdu_codes[] = {{50, 0},  {127, 0},  {128, 1},  {205, 1},   {206, 2},
                                                             {480, 3}, {1023, 3}, {1024, 4}, {1476, 5}, {65529, 5}};
  for (const auto& [octets, code] : apdu_codes) EXPECT_EQ(apdu::max_apdu_code(octets), code) << octets;
  const std::pair<std::size_t, std::uint8_t> segment_codes[] = {{2, 1},  {3, 1},  {4, 2},  {15, 3}, {16, 4},
                                                                {63, 5}, {64, 6}, {65, 7}, {100000, 7}};
  for (const auto& [segments, code] : segment_codes) EXPECT_EQ(apdu::max_segments_code(segments), code) << segments;
}

// The sequence numbers of the segment datagrams given.
std::vector<int> sequences(const std::vector<Bytes>& datagrams) {
  std::vector<int> out;
  for (const Bytes& d : datagrams) out.push_back(d.at(9));
  return out;
}

struct SegmentAckStep {
  bool negative;
  std::uint8_t sequence;
  std::uint8_t window;
  std::vector<int> sent;  // the segments this SegmentACK makes us send
};

struct SendCase {
  const char* name;
  std::size_t segments;
  std::vector<SegmentAckStep> steps;
};

void PrintTo(const SendCase& c, std::ostream* os) { *os << c.name; }

class SegmentedRequest : public ::testing::TestWithParam<SendCase> {};

// Segment 0 goes alone; then each SegmentACK sends what it asks for and no
// more, and the window never moves back.
TEST_P(SegmentedRequest, SendsWhatEachSegmentAckAsksFor) {
  const SendCase& c = GetParam();
  const apdu::ConfirmedRequestHeader header{9, 15, 7, 5, std::nullopt, true};
  auto [state, first] = SendSegState::create(octets(c.segments * 10, 0), kDevice, header, 10, 0.0);
  ASSERT_EQ(state.total_segments, c.segments);
  EXPECT_EQ(sequences({first}), std::vector<int>{0});
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const SegmentAckStep& step = c.steps[i];
    const std::size_t window_before = state.window_start;
    EXPECT_EQ(sequences(state.acknowledge(step.negative, step.sequence, step.window, 1.0)), step.sent)
        << "step " << i;
    EXPECT_GE(state.window_start, window_before) << "step " << i;
    EXPECT_LE(state.next_to_send, state.total_segments) << "step " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SegmentedRequest,
    ::testing::Values(
        SendCase{"follows_the_window", 10,
                 {{false, 0, 3, {1, 2, 3}}, {false, 3, 3, {4, 5, 6}}, {false, 6, 3, {7, 8, 9}}, {false, 9, 3, {}}}},
        SendCase{"repeated_and_old_segment_acks_send_nothing", 10,
                 {{false, 0, 3, {1, 2, 3}},
                  {false, 0, 3, {}},
                  {false, 3, 3, {4, 5, 6}},
                  {false, 1, 3, {}},
                  {false, 3, 3, {}},
                  {true, 2, 3, {}}}},
        SendCase{"a_segment_ack_for_segments_never_sent_is_ignored", 10,
                 {{false, 0, 2, {1, 2}}, {false, 5, 2, {}}, {false, 2, 2, {3, 4}}}},
        // A negative SegmentACK re-sends from the gap, once.
        SendCase{"negative_segment_acks_send_again_from_the_gap", 10,
                 {{false, 0, 4, {1, 2, 3, 4}},
                  {true, 1, 4, {2, 3, 4, 5}},
                  {true, 1, 4, {}},
                  {false, 5, 4, {6, 7, 8, 9}},
                  {true, 5, 4, {6, 7, 8, 9}}}},
        SendCase{"a_negative_segment_ack_naming_the_segment_before_the_window", 6,
                 {{false, 0, 4, {1, 2, 3, 4}}, {true, 0, 4, {1, 2, 3, 4}}, {true, 0, 4, {}}}},
        SendCase{"a_wider_window_sends_only_segments_not_yet_sent", 10,
                 {{false, 0, 2, {1, 2}}, {false, 1, 4, {3, 4, 5}}, {false, 5, 1, {6}}}},
        SendCase{"window_0_counts_as_1", 4, {{false, 0, 0, {1}}, {false, 1, 0, {2}}}},
        SendCase{"windows_above_127_count_as_127", 200, {{false, 0, 200, [] {
                                                            std::vector<int> all;
                                                            for (int i = 1; i <= 127; ++i) all.push_back(i);
                                                            return all;
                                                          }()}}}),
    [](const auto& tc) { return std::string(tc.param.name); });

// A timed-out window goes out again, and a negative SegmentACK after that
// may ask for it once more.
TEST(SendSegState, AResentWindowMayBeAskedForAgain) {
  auto [state, first] = SendSegState::create(octets(100, 0), kDevice, {9, 15, 0, 5, std::nullopt, true}, 10, 0.0);
  EXPECT_EQ(sequences(state.acknowledge(false, 0, 3, 1.0)), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(sequences(state.acknowledge(true, 0, 3, 1.0)), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(sequences(state.resend_window(3.0)), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(state.window_resends, 1);
  EXPECT_EQ(sequences(state.acknowledge(true, 0, 3, 4.0)), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(state.window_resends, 0);
}

struct Segment {
  std::uint8_t sequence;
  bool more_follows;
  std::uint8_t window;
  Bytes payload;
};

// The outcome of each segment in turn.
struct ReassemblyCase {
  const char* name;
  std::size_t max_buffer;
  std::vector<Segment> segments;
  std::vector<FragmentOutcome> outcomes;
};

void PrintTo(const ReassemblyCase& c, std::ostream* os) { *os << c.name; }

class Reassembly : public ::testing::TestWithParam<ReassemblyCase> {};

TEST_P(Reassembly, GivesTheExpectedOutcomes) {
  const ReassemblyCase& c = GetParam();
  RecvSegState state = RecvSegState::create(c.max_buffer, 7);
  ASSERT_EQ(c.segments.size(), c.outcomes.size());
  for (std::size_t i = 0; i < c.segments.size(); ++i) {
    const Segment& s = c.segments[i];
    EXPECT_EQ(state.accept_fragment(s.sequence, s.more_follows, s.window, s.payload, double(i)), c.outcomes[i])
        << "segment #" << i << " (sequence " << int{s.sequence} << ")";
  }
}

auto ack(std::uint8_t sequence, std::uint8_t window) { return outcome::Ack{segment_ack(7, sequence, window)}; }
auto nak(std::uint8_t sequence, std::uint8_t window) {
  return outcome::Ack{datagram::segment_ack(BacnetAddr{}, {true, false, 7, sequence, window})};
}
auto complete(std::uint8_t sequence, std::uint8_t window, Bytes payload) {
  return outcome::Complete{segment_ack(7, sequence, window), std::move(payload)};
}
const outcome::Pending kPending;

INSTANTIATE_TEST_SUITE_P(
    Cases, Reassembly,
    ::testing::Values(
        // Segment 0 is acknowledged at once; after it, a full window or the last segment.
        ReassemblyCase{"window_2",
                       100,
                       {{0, true, 2, {1}}, {1, true, 2, {2}}, {2, true, 2, {3}}, {3, false, 2, {4}}},
                       {ack(0, 2), kPending, ack(2, 2), complete(3, 2, {1, 2, 3, 4})}},
        ReassemblyCase{"window_1_acks_every_segment",
                       100,
                       {{0, true, 1, {1}}, {1, true, 1, {2}}, {2, false, 1, {3}}},
                       {ack(0, 1), ack(1, 1), complete(2, 1, {1, 2, 3})}},
        ReassemblyCase{"single_segment", 100, {{0, false, 4, {9, 9}}}, {complete(0, 4, {9, 9})}},
        // A repeat is stored once and counted once (60 + 40 fits 100 only so);
        // a repeat of the segment last acknowledged is acknowledged again,
        // as its SegmentACK may have been lost.
        ReassemblyCase{"repeats",
                       100,
                       {{0, true, 2, Bytes(60, 1)}, {0, true, 2, Bytes(60, 2)}, {1, false, 2, Bytes(40, 3)}},
                       {ack(0, 2), ack(0, 2), complete(1, 2, [] {
                          Bytes b(60, 1);
                          b.insert(b.end(), 40, 3);
                          return b;
                        }())}},
        ReassemblyCase{"byte_limit",
                       100,
                       {{0, true, 1, Bytes(60, 1)}, {1, true, 1, Bytes(40, 1)}, {2, false, 1, Bytes(1, 1)}},
                       {ack(0, 1), ack(1, 1), outcome::Abort{datagram::abort(BacnetAddr{}, {false, 7, 1})}}},
        // A segment past a gap is dropped; at the window's end a negative
        // SegmentACK names the last segment received in order, and the device
        // sends again from the gap.
        ReassemblyCase{"a_missing_segment_is_asked_for_again",
                       100,
                       {{0, true, 3, {1}}, {2, true, 3, {3}}, {3, true, 3, {4}}, {1, true, 3, {2}},
                        {2, true, 3, {3}}, {3, true, 3, {4}}, {4, false, 3, {5}}},
                       {ack(0, 3), kPending, nak(0, 3), kPending, kPending, ack(3, 3), complete(4, 3, {1, 2, 3, 4, 5})}},
        // The last segment overtakes the one before: not acknowledged, asked for again.
        ReassemblyCase{"reordered_last_segment",
                       100,
                       {{0, true, 2, {1}}, {2, false, 2, {3}}, {1, true, 2, {2}}, {2, false, 2, {3}}},
                       {ack(0, 2), nak(0, 2), kPending, complete(2, 2, {1, 2, 3})}},
        // Far outside the window: neither stored nor acknowledged.
        ReassemblyCase{"far_ahead", 100, {{0, true, 1, {1}}, {5, false, 1, {6}}}, {ack(0, 1), kPending}},
        // Before segment 0 nothing is acknowledged.
        ReassemblyCase{"segment_0_missing", 100, {{1, true, 2, {2}}, {0, true, 2, {1}}}, {kPending, ack(0, 2)}},
        ReassemblyCase{"window_0_counts_as_1", 100, {{0, true, 0, {1}}, {1, true, 0, {2}}}, {ack(0, 1), ack(1, 1)}}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Sequence numbers wrap after 255; positions do not, so an answer of more
// than 256 segments arrives whole, and a repeat from before the wrap is no
// segment of the next round.
TEST(RecvSegState, AnswersOfMoreThan256SegmentsArriveWhole) {
  RecvSegState state = RecvSegState::create(100000, 7);
  Bytes expected;
  for (std::size_t i = 0; i < 700; ++i) {
    const auto sequence = static_cast<std::uint8_t>(i);
    const Bytes segment{sequence, static_cast<std::uint8_t>(i >> 8)};
    expected.insert(expected.end(), segment.begin(), segment.end());
    const FragmentOutcome result = state.accept_fragment(sequence, i + 1 < 700, 4, segment, 0.0);
    if (i + 1 == 700) {
      EXPECT_EQ(result, FragmentOutcome(complete(sequence, 4, expected)));
    } else if (i % 4 == 0) {
      EXPECT_EQ(result, FragmentOutcome(ack(sequence, 4))) << i;
      // The segment 4 back is a repeat, not the segment 252 ahead.
      EXPECT_EQ(state.accept_fragment(static_cast<std::uint8_t>(i - 4), true, 4, Bytes{0xEE}, 0.0),
                FragmentOutcome(kPending))
          << i;
    } else {
      EXPECT_EQ(result, FragmentOutcome(kPending)) << i;
    }
  }
}

}  // namespace
}  // namespace ferromesh::stack::test
