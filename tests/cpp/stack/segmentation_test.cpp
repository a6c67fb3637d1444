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

Bytes segment_datagram(std::uint8_t first_octet, std::uint8_t invoke_id, std::uint8_t sequence, std::uint8_t window,
                       std::span<const std::uint8_t> data) {
  const std::size_t length = 12 + data.size();
  Bytes out{0x81, 0x0A, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), 0x01, 0x04,
            first_octet, 0x05, invoke_id, sequence, window, 0x0F};
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// Every layer's header as a device reads it, for each kind of datagram the
// client sends.
TEST(Datagram, ExactOctets) {
  const Bytes data = octets(3, 0xA0);
  EXPECT_EQ(datagram::confirmed_request({9, 14, 0, apdu::kMaxApduCode1476, std::nullopt, true}, data),
            (Bytes{0x81, 0x0A, 0x00, 0x0D, 0x01, 0x04, 0x02, 0x05, 0x09, 0x0E, 0xA0, 0xA1, 0xA2}));
  EXPECT_EQ(datagram::confirmed_request({9, 14, 0, apdu::kMaxApduCode1476, apdu::SegmentHeader{true, 3, 4}, true}, data),
            (Bytes{0x81, 0x0A, 0x00, 0x0F, 0x01, 0x04, 0x0E, 0x05, 0x09, 0x03, 0x04, 0x0E, 0xA0, 0xA1, 0xA2}));
  EXPECT_EQ(datagram::segment_ack({false, false, 9, 3, 2}), (Bytes{0x81, 0x0A, 0x00, 0x0A, 0x01, 0x00, 0x40, 0x09, 0x03, 0x02}));
}

TEST(SendSegState, CutsDataIntoSegmentsAndBuildsTheFirstWindow) {
  const Bytes data = octets(3000, 0);
  const std::span<const std::uint8_t> all(data);
  SendSegStart start = SendSegState::create(data, 15, 9, kDevice, 1470, 1.5);
  EXPECT_EQ(start.state.total_segments, 3u);
  EXPECT_EQ(start.state.last_activity, 1.5);
  EXPECT_EQ(start.datagrams, (std::vector<Bytes>{segment_datagram(0x0E, 9, 0, 4, all.subspan(0, 1470)),
                                                 segment_datagram(0x0E, 9, 1, 4, all.subspan(1470, 1470)),
                                                 segment_datagram(0x0A, 9, 2, 4, all.subspan(2940, 60))}));

  // Two full segments; the first window stops at 4 of 5 segments.
  EXPECT_EQ(SendSegState::create(octets(2940, 0), 15, 9, kDevice, 1470, 0).datagrams.back(),
            segment_datagram(0x0A, 9, 1, 4, all.subspan(1470, 1470)));
  SendSegStart five = SendSegState::create(octets(50, 0), 15, 9, kDevice, 10, 0);
  EXPECT_EQ(five.datagrams.size(), 4u);
  five.state.window_size = 2;
  EXPECT_EQ(five.state.build_frame(4),
            segment_datagram(0x0A, 9, 4, 2, std::span<const std::uint8_t>(five.state.data).subspan(40)));
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

class Reassembly : public ::testing::TestWithParam<ReassemblyCase> {};

TEST_P(Reassembly, GivesTheExpectedOutcomes) {
  const ReassemblyCase& c = GetParam();
  RecvSegState state = RecvSegState::create(c.max_buffer, c.segments.front().window);
  ASSERT_EQ(c.segments.size(), c.outcomes.size());
  for (std::size_t i = 0; i < c.segments.size(); ++i) {
    const Segment& s = c.segments[i];
    EXPECT_EQ(state.accept_fragment(s.sequence, s.more_follows, s.window, s.payload, 7, double(i)), c.outcomes[i])
        << "segment #" << i << " (sequence " << int{s.sequence} << ")";
  }
}

auto ack(std::uint8_t sequence, std::uint8_t window) { return outcome::Ack{segment_ack(7, sequence, window)}; }

INSTANTIATE_TEST_SUITE_P(
    Cases, Reassembly,
    ::testing::Values(
        // Segment 0 is acknowledged at once; after it, a full window or the last segment.
        ReassemblyCase{"window_2",
                       100,
                       {{0, true, 2, {1}}, {1, true, 2, {2}}, {2, true, 2, {3}}, {3, false, 2, {4}}},
                       {ack(0, 2), outcome::Pending{}, ack(2, 2),
                        outcome::Complete{segment_ack(7, 3, 2), {1, 2, 3, 4}}}},
        ReassemblyCase{"window_1_acks_every_segment",
                       100,
                       {{0, true, 1, {1}}, {1, true, 1, {2}}, {2, false, 1, {3}}},
                       {ack(0, 1), ack(1, 1), outcome::Complete{segment_ack(7, 2, 1), {1, 2, 3}}}},
        ReassemblyCase{"single_segment",
                       100,
                       {{0, false, 4, {9, 9}}},
                       {outcome::Complete{segment_ack(7, 0, 4), {9, 9}}}},
        // A repeat is stored once and counted once (60 + 40 fits 100 only so);
        // a repeated segment 0 is acknowledged again.
        ReassemblyCase{"duplicates",
                       100,
                       {{0, true, 2, Bytes(60, 1)}, {0, true, 2, Bytes(60, 2)}, {1, false, 2, Bytes(40, 3)}},
                       {ack(0, 2), ack(0, 2), outcome::Complete{segment_ack(7, 1, 2), [] {
                                                 Bytes b(60, 1);
                                                 b.insert(b.end(), 40, 3);
                                                 return b;
                                               }()}}},
        ReassemblyCase{"byte_limit",
                       100,
                       {{0, true, 1, Bytes(60, 1)}, {1, true, 1, Bytes(40, 1)}, {2, false, 1, Bytes(1, 1)}},
                       {ack(0, 1), ack(1, 1), outcome::Abort{5}}},
        // The last segment overtakes segment 1: acknowledged, incomplete. The
        // straggler completes the answer at once, acknowledging the final
        // segment again: the device sends nothing more after that one's ACK.
        ReassemblyCase{"reordered_last_segment",
                       100,
                       {{0, true, 2, {1}}, {2, false, 2, {3}}, {1, true, 2, {2}}},
                       {ack(0, 2), ack(2, 2), outcome::Complete{segment_ack(7, 2, 2), {1, 2, 3}}}},
        // Also when the straggler would not fill a window of its own.
        ReassemblyCase{"reordered_middle_of_a_window",
                       100,
                       {{0, true, 4, {1}}, {1, true, 4, {2}}, {3, false, 4, {4}}, {2, true, 4, {3}}},
                       {ack(0, 4), outcome::Pending{}, ack(3, 4), outcome::Complete{segment_ack(7, 3, 4), {1, 2, 3, 4}}}},
        // A far sequence number leaves empty slots that keep it incomplete.
        ReassemblyCase{"gap",
                       100,
                       {{0, true, 1, {1}}, {5, false, 1, {6}}},
                       {ack(0, 1), ack(5, 1)}}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(RecvSegState, CountsOnlyNewBytesAndTracksTheLatestSegment) {
  RecvSegState state = RecvSegState::create(1000, 4);
  (void)state.accept_fragment(0, true, 4, Bytes(10, 1), 7, 1.0);
  (void)state.accept_fragment(3, true, 6, Bytes(20, 1), 7, 2.0);
  (void)state.accept_fragment(3, true, 5, Bytes(99, 1), 7, 3.0);
  EXPECT_EQ(state.buffered, 30u);
  EXPECT_EQ(state.fragments.size(), 4u);
  EXPECT_EQ(state.fragments[3], Bytes(20, 1));
  EXPECT_EQ(state.window_size, 5);
  EXPECT_EQ(state.last_activity, 3.0);
  EXPECT_TRUE(state.activity_since_tick);
}

}  // namespace
}  // namespace ferromesh::stack::test
