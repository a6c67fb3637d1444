#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "codec/bvlc.hpp"
#include "codec/npdu.hpp"
#include "stack/stack_test_support.hpp"
#include "support/captures.hpp"
#include "support/pcap.hpp"

namespace ferromesh::stack::test {
namespace {

Bytes part(std::uint8_t n) { return Bytes(3, n); }

TEST(SegmentedReceive, WindowsAreAcknowledgedAndTheAnswerReported) {
  Stack stack;
  (void)stack.process(read_property(kDevice));
  EXPECT_EQ(stack.process(from(kDevice, ack_segment(0, 0, true, 2, part(0)))),
            std::vector<Output>{transmit(segment_ack(0, 0, 2), kDevice)});
  EXPECT_EQ(stack.transactions().at(TransactionKey{kDevice, 0}).deadline, std::numeric_limits<double>::infinity());
  EXPECT_TRUE(stack.process(from(kDevice, ack_segment(0, 1, true, 2, part(1)))).empty());
  EXPECT_TRUE(stack.process(from(kDevice, ack_segment(0, 1, true, 2, part(1)))).empty());  // repeat
  EXPECT_EQ(stack.process(from(kDevice, ack_segment(0, 2, true, 2, part(2)))),
            std::vector<Output>{transmit(segment_ack(0, 2, 2), kDevice)});
  EXPECT_EQ(stack.process(from(kDevice, ack_segment(0, 3, false, 2, part(3)))),
            (std::vector<Output>{transmit(segment_ack(0, 3, 2), kDevice),
                                 response(0, {0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3}, kDevice)}));
  EXPECT_TRUE(stack.transactions().empty() && stack.recv_segments().empty());
  // A late repeat finds no request any more and gets no SegmentACK.
  EXPECT_TRUE(stack.process(from(kDevice, ack_segment(0, 3, false, 2, part(3)))).empty());
  EXPECT_TRUE(stack.recv_segments().empty());
}

TEST(SegmentedReceive, OnlyAnswersToOutstandingRequestsAreCollected) {
  Stack stack;
  (void)stack.process(read_property(kDevice));
  const std::string before = describe_tables(stack);
  EXPECT_TRUE(stack.process(from(kOtherDevice, ack_segment(0, 0, true, 2, part(0)))).empty());
  EXPECT_TRUE(stack.process(from(kDevice, ack_segment(1, 0, true, 2, part(0)))).empty());
  EXPECT_EQ(describe_tables(stack), before);
}

TEST(SegmentedReceive, OverTheByteLimitTheAnswerIsAbandoned) {
  Stack stack(StackConfig{.max_segment_buffer = 100});
  (void)stack.process(read_property(kDevice));
  (void)stack.process(from(kDevice, ack_segment(0, 0, true, 1, Bytes(60, 1))));
  (void)stack.process(from(kDevice, ack_segment(0, 1, true, 1, Bytes(40, 1))));
  // The device is told to stop: buffer-overflow.
  EXPECT_EQ(stack.process(from(kDevice, ack_segment(0, 2, true, 1, Bytes(1, 1)))),
            (std::vector<Output>{transmit(device_datagram({0x70, 0x00, 0x01}), kDevice), abort_event(0, 5, kDevice)}));
  EXPECT_TRUE(stack.transactions().empty() && stack.recv_segments().empty());
  expect_invariants(stack);
}

// Segments every 0.9 s for 10 s, ticks every 0.5 s: the answer is neither
// abandoned nor is its request sent again, though its 3.0 s deadline passes.
TEST(SegmentedReceive, ASlowAnswerCompletes) {
  Stack stack;
  (void)stack.process(read_property(kDevice));
  Bytes expected;
  std::vector<Output> all;
  int next_segment = 0;
  for (int half_seconds = 1; half_seconds <= 22; ++half_seconds) {
    const double now = half_seconds * 0.5;
    for (; next_segment < 12 && 0.3 + 0.9 * next_segment < now; ++next_segment) {
      const auto n = static_cast<std::uint8_t>(next_segment);
      expected.insert(expected.end(), 3, n);
      for (Output& o : stack.process(from(kDevice, ack_segment(0, n, n < 11, 3, part(n))))) all.push_back(o);
    }
    const auto ticked = stack.process(tick(now));
    EXPECT_TRUE(transmitted(ticked).empty()) << now;
    EXPECT_TRUE(events(ticked).empty()) << now;
    if (stack.recv_segments().empty()) continue;
    ASSERT_EQ(kinds(ticked), "D") << now;
    const double next = std::get<output::Deadline>(ticked.back()).deadline;
    EXPECT_TRUE(next > now && next <= now + 2.0) << now << " announced " << next;
  }
  EXPECT_EQ(events(all), (std::vector<Event>{event::Response{0, expected, kDevice}}));
  EXPECT_TRUE(stack.transactions().empty() && stack.recv_segments().empty());
}

// Silence for a segment timeout sends our last SegmentACK again (it may be
// what the device missed), three times; the fourth gives up.
TEST(SegmentedReceive, AStalledAnswerIsRemindedThenAbandonedAtTheAnnouncedTimes) {
  Stack stack;
  (void)stack.process(read_property(kDevice));
  (void)stack.process(tick(0.5));
  for (std::uint8_t n = 0; n < 3; ++n) (void)stack.process(from(kDevice, ack_segment(0, n, true, 4, part(n))));
  EXPECT_EQ(stack.process(tick(1.0)), std::vector<Output>{deadline(3.0)});
  for (double at : {1.5, 2.0, 2.5}) EXPECT_EQ(stack.process(tick(at)), std::vector<Output>{deadline(3.0)}) << at;
  for (double at : {3.0, 5.0, 7.0}) {
    EXPECT_EQ(stack.process(tick(at)), (std::vector<Output>{transmit(segment_ack(0, 0, 4), kDevice), deadline(at + 2)}))
        << at;
    EXPECT_EQ(stack.process(tick(at + 1)), std::vector<Output>{deadline(at + 2)}) << at;
  }
  // The device is told to stop: tsm-timeout.
  EXPECT_EQ(stack.process(tick(9.0)),
            (std::vector<Output>{transmit(device_datagram({0x70, 0x00, 0x0A}), kDevice), abort_event(0, 5, kDevice)}));
  EXPECT_TRUE(stack.transactions().empty() && stack.recv_segments().empty());
  expect_invariants(stack);
}

// A host that ticks only at announced deadlines still gets there: the
// reassembly announces its own, and a segment stamped before a sparse tick is
// not taken as stale by it.
TEST(SegmentedReceive, AReassemblyAnnouncesItsDeadline) {
  Stack stack;
  EXPECT_EQ(stack.process(read_property(kDevice)).back(), deadline(3.0));
  (void)stack.process(from(kDevice, ack_segment(0, 0, true, 4, part(0))));
  EXPECT_EQ(stack.process(tick(3.0)), std::vector<Output>{deadline(5.0)});
  EXPECT_EQ(stack.process(tick(5.0)), (std::vector<Output>{transmit(segment_ack(0, 0, 4), kDevice), deadline(7.0)}));
  // A host that slept through the rest gives up at once.
  EXPECT_EQ(stack.process(tick(20.0)),
            (std::vector<Output>{transmit(device_datagram({0x70, 0x00, 0x0A}), kDevice), abort_event(0, 5, kDevice)}));
}

// Seen against a device that sends nothing more until it has the SegmentACK
// of its first segment: that SegmentACK was lost, the answer stalled and was
// given up. Said again after a segment timeout, the answer completes.
TEST(SegmentedReceive, LostSegmentAckIsSentAgainAndTheAnswerCompletes) {
  Stack stack;
  (void)stack.process(tick(0.0));
  (void)stack.process(read_property(kDevice));
  const std::vector<Output> lost{transmit(segment_ack(0, 0, 2), kDevice)};
  EXPECT_EQ(stack.process(from(kDevice, ack_segment(0, 0, true, 2, part(0)))), lost);
  EXPECT_EQ(stack.process(tick(1.0)), std::vector<Output>{deadline(3.0)});
  EXPECT_EQ(stack.process(tick(3.0)), (std::vector<Output>{lost[0], deadline(5.0)}));
  EXPECT_TRUE(stack.process(from(kDevice, ack_segment(0, 1, true, 2, part(1)))).empty());
  EXPECT_EQ(stack.process(from(kDevice, ack_segment(0, 2, false, 2, part(2)))),
            (std::vector<Output>{transmit(segment_ack(0, 2, 2), kDevice),
                                 response(0, {0, 0, 0, 1, 1, 1, 2, 2, 2}, kDevice)}));
  EXPECT_TRUE(stack.transactions().empty() && stack.recv_segments().empty());
}

TEST(SegmentedReceive, AServerAbortEndsTheReassemblyOnce) {
  Stack stack;
  (void)stack.process(read_property(kDevice));
  (void)stack.process(from(kDevice, ack_segment(0, 0, true, 4, part(0))));
  EXPECT_EQ(stack.process(from(kDevice, device_datagram({0x71, 0x00, 0x03}))),
            std::vector<Output>{abort_event(0, 3, kDevice)});
  EXPECT_TRUE(stack.recv_segments().empty());
  EXPECT_TRUE(stack.process(tick(10.0)).empty());
}

// Real segmented answers, replayed: our SegmentACKs are the very datagrams
// of the client in the capture (through a router: with its DNET and DADR),
// and the parts join into one answer.
struct CaptureCase {
  const char* name;
  const char* file;
  std::array<std::uint8_t, 4> device;
  std::uint8_t invoke_id;
  bool read_property_multiple = false;  // the service answered, else ReadProperty
  // A device behind a router: its network and one-octet MAC there.
  std::uint16_t network = 0;
  std::uint8_t mac = 0;
};

class CapturedAnswer : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(CapturedAnswer, IsAcknowledgedLikeTheRealClientDid) {
  FERROMESH_SKIP_WITHOUT_CAPTURES();
  const CaptureCase& c = GetParam();
  const auto capture = ferromesh::test::read_pcap(std::filesystem::path(FERROMESH_CAPTURES_DIR) / c.file);
  ASSERT_TRUE(capture.has_value());
  BacnetAddr device{c.device, kBacnetPort};
  if (c.network != 0) device = *BacnetAddr::routed(c.device, kBacnetPort, c.network, Bytes{c.mac});
  Stack stack;
  // Requests of the service the capture answers, up to its invoke ID.
  input::Send request = read_property(device);
  if (c.read_property_multiple) request.service = service::ReadPropertyMultiple{};
  for (int i = 0; i <= c.invoke_id; ++i) (void)stack.process(request);

  auto apdu_of = [](const std::vector<std::uint8_t>& datagram) {
    const auto bvlc_frame = bvlc::unwrap(datagram);
    if (!bvlc_frame) return Bytes{};
    const auto frame = npdu::decode(bvlc_frame->npdu);
    return frame ? Bytes(frame->apdu.begin(), frame->apdu.end()) : Bytes{};
  };
  std::vector<Bytes> captured_acks, our_acks;
  Bytes joined;
  std::vector<Event> answers;
  for (const auto& udp : *capture) {
    const Bytes apdu = apdu_of(udp.payload);
    if (apdu.size() < 2 || apdu[1] != c.invoke_id) continue;
    // The whole datagram, up to its BVLC length (Ethernet pads short frames).
    const std::size_t length = std::size_t{udp.payload[2]} << 8 | udp.payload[3];
    if (apdu[0] >> 4 == 4) captured_acks.emplace_back(udp.payload.begin(), udp.payload.begin() + length);
    const bool segment = apdu[0] >> 4 == 3 && (apdu[0] & 0x08) != 0;
    if (!segment || udp.source_ip != c.device) continue;
    joined.insert(joined.end(), apdu.begin() + 5, apdu.end());
    const auto out = stack.process(from(device, udp.payload));
    for (const Bytes& ack : transmitted(out)) our_acks.push_back(ack);
    for (const Event& e : events(out)) answers.push_back(e);
  }
  ASSERT_FALSE(captured_acks.empty());
  EXPECT_EQ(our_acks, captured_acks);
  EXPECT_EQ(answers, (std::vector<Event>{event::Response{c.invoke_id, joined, device}}));
}

INSTANTIATE_TEST_SUITE_P(Captures, CapturedAnswer,
                         ::testing::Values(
                             CaptureCase{"read_property", "bacnet_segmented_data.pcap", {10, 0, 0, 2}, 0x5E},
                             CaptureCase{"routed_rpm", "bacnet_services.pcap", {192, 168, 0, 24}, 0x88, true, 3,
                                         0x6C}),
                         [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
}  // namespace ferromesh::stack::test
