#include <gtest/gtest.h>

#include <filesystem>

#include "stack/stack_test_support.hpp"
#include "support/captures.hpp"
#include "support/pcap.hpp"

namespace ferromesh::stack::test {
namespace {

const BacnetAddr kSrc{{192, 168, 1, 20}, 47808};

BacnetAddr routed(const BacnetAddr& router, std::uint16_t network, std::initializer_list<std::uint8_t> mac) {
  return *BacnetAddr::routed(router.addr, router.port, network, Bytes(mac));
}

struct ReceiveCase {
  const char* name;
  Bytes datagram;
  std::vector<Output> expected;
};

std::vector<ReceiveCase> receive_cases() {
  const services::IAm i_am{{ObjectType::Member::Device, 254}, 1024, 0, 154};
  return {
      // Responses for IDs nobody used still yield their event.
      {"simple_ack", {0x81, 0x0A, 0x00, 0x09, 0x01, 0x00, 0x20, 0x05, 0x0F}, {response(5, {}, kSrc)}},
      {"complex_ack",
       {0x81, 0x0A, 0x00, 0x0D, 0x01, 0x00, 0x30, 0x07, 0x0C, 0x01, 0x02, 0x03, 0x04},
       {response(7, {0x01, 0x02, 0x03, 0x04}, kSrc)}},
      {"complex_ack_empty", {0x81, 0x0A, 0x00, 0x09, 0x01, 0x00, 0x30, 0x07, 0x0C}, {response(7, {}, kSrc)}},
      {"error",
       {0x81, 0x0A, 0x00, 0x0D, 0x01, 0x00, 0x50, 0x01, 0x0C, 0x91, 0x02, 0x91, 0x20},
       {event_out(event::Error{1, "error class=2 code=32", kSrc, {0x91, 0x02, 0x91, 0x20}, event::ErrorKind::Error, 2,
                               32, std::nullopt})}},
      // WritePropertyMultiple: class and code inside tag 0, then the first failed write.
      {"error_with_details",
       {0x81, 0x0A, 0x00, 0x18, 0x01, 0x00, 0x50, 0x01, 0x10, 0x0E, 0x91, 0x02, 0x91, 0x28, 0x0F, 0x1E, 0x0C, 0x00,
        0x80, 0x00, 0x01, 0x19, 0x55, 0x1F},
       {event_out(bacnet_error(1, 2, 40, kSrc,
                               {0x0E, 0x91, 0x02, 0x91, 0x28, 0x0F, 0x1E, 0x0C, 0x00, 0x80, 0x00, 0x01, 0x19, 0x55, 0x1F}))}},
      {"reject",
       {0x81, 0x0A, 0x00, 0x09, 0x01, 0x00, 0x60, 0x03, 0x09},
       {event_out(event::Error{3, "reject reason=9", kSrc, {}, event::ErrorKind::Reject, std::nullopt, std::nullopt, 9})}},
      {"abort_from_server", {0x81, 0x0A, 0x00, 0x09, 0x01, 0x00, 0x71, 0x04, 0x02}, {abort_event(4, 2, kSrc)}},
      {"i_am_broadcast",
       {0x81, 0x0B, 0x00, 0x14, 0x01, 0x00, 0x10, 0x00, 0xC4, 0x02, 0x00, 0x00,
        0xFE, 0x22, 0x04, 0x00, 0x91, 0x00, 0x21, 0x9A},
       {event_out(event::UnconfirmedReceived{kSrc, i_am})}},
      {"i_am_router_to_network",
       {0x81, 0x0B, 0x00, 0x0B, 0x01, 0x80, 0x01, 0x00, 0x02, 0x00, 0x03},
       {event_out(event::UnconfirmedReceived{kSrc, IAmRouterToNetwork{{2, 3}}})}},
      // Routed: the peer is the router's UDP address with the NPDU's source network and MAC.
      {"routed_simple_ack",
       {0x81, 0x0A, 0x00, 0x0D, 0x01, 0x08, 0x00, 0x05, 0x01, 0x0A, 0x20, 0x05, 0x0F},
       {response(5, {}, routed(kSrc, 5, {0x0A}))}},
      // Through a BBMD: the device is the original source the Forwarded-NPDU names.
      {"forwarded_i_am",
       {0x81, 0x04, 0x00, 0x1A, 0xC0, 0xA8, 0x02, 0x07, 0xBA, 0xC1, 0x01, 0x00, 0x10, 0x00, 0xC4, 0x02,
        0x00, 0x00, 0xFE, 0x22, 0x04, 0x00, 0x91, 0x00, 0x21, 0x9A},
       {event_out(event::UnconfirmedReceived{{{192, 168, 2, 7}, 47809}, i_am})}},
      {"forwarded_routed_i_am",
       {0x81, 0x04, 0x00, 0x1F, 0xC0, 0xA8, 0x02, 0x07, 0xBA, 0xC1, 0x01, 0x08, 0x04, 0xD2, 0x02, 0x00, 0x07,
        0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, 0xFE, 0x22, 0x04, 0x00, 0x91, 0x00, 0x21, 0x9A},
       {event_out(event::UnconfirmedReceived{routed({{192, 168, 2, 7}, 47809}, 1234, {0x00, 0x07}), i_am})}},
      {"reject_message_to_network",
       {0x81, 0x0A, 0x00, 0x0A, 0x01, 0x80, 0x03, 0x01, 0x04, 0xD2},
       {event_out(event::UnconfirmedReceived{kSrc, RejectMessageToNetwork{1, 1234}})}},
      {"router_busy",
       {0x81, 0x0B, 0x00, 0x09, 0x01, 0x80, 0x04, 0x04, 0xD2},
       {event_out(event::UnconfirmedReceived{kSrc, RouterBusyToNetwork{{1234}}})}},
      {"router_available_for_all",
       {0x81, 0x0B, 0x00, 0x07, 0x01, 0x80, 0x05},
       {event_out(event::UnconfirmedReceived{kSrc, RouterAvailableToNetwork{}})}},
      {"bvlc_result_nak", {0x81, 0x00, 0x00, 0x06, 0x00, 0x30}, {event_out(event::BvlcResult{kSrc, 0x30})}},
      {"bvlc_result_success", {0x81, 0x00, 0x00, 0x06, 0x00, 0x00}, {event_out(event::BvlcResult{kSrc, 0})}},
      {"octets_after_bvlc_length_ignored",
       {0x81, 0x0A, 0x00, 0x0C, 0x01, 0x00, 0x30, 0x07, 0x0C, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE},
       {response(7, {0xAA, 0xBB, 0xCC}, kSrc)}},
      // Dropped without output.
      {"confirmed_request", {0x81, 0x0A, 0x00, 0x0B, 0x01, 0x04, 0x02, 0x05, 0x00, 0x0C, 0x0C}, {}},
      {"pdu_type_8", {0x81, 0x0A, 0x00, 0x09, 0x01, 0x00, 0x80, 0x05, 0x0F}, {}},
      {"pdu_type_15", {0x81, 0x0A, 0x00, 0x09, 0x01, 0x00, 0xF0, 0x05, 0x0F}, {}},
      {"who_is", {0x81, 0x0B, 0x00, 0x08, 0x01, 0x00, 0x10, 0x08}, {}},
      {"i_am_truncated", {0x81, 0x0B, 0x00, 0x0C, 0x01, 0x00, 0x10, 0x00, 0xC4, 0x02, 0x00, 0x00}, {}},
      {"other_network_message", {0x81, 0x0B, 0x00, 0x09, 0x01, 0x80, 0x00, 0x00, 0x02}, {}},
      {"empty_network_message", {0x81, 0x0A, 0x00, 0x06, 0x01, 0x80}, {}},
      {"empty_apdu", {0x81, 0x0A, 0x00, 0x06, 0x01, 0x00}, {}},
      {"forwarded_npdu", {0x81, 0x04, 0x00, 0x09, 0x01, 0x00, 0x20, 0x05, 0x0F}, {}},
      {"bvlc_function_09", {0x81, 0x09, 0x00, 0x09, 0x01, 0x00, 0x20, 0x05, 0x0F}, {}},
      {"bvlc_type_82", {0x82, 0x0A, 0x00, 0x09, 0x01, 0x00, 0x20, 0x05, 0x0F}, {}},
      {"bvlc_length_3", {0x81, 0x0A, 0x00, 0x03, 0x01, 0x00, 0x20, 0x05, 0x0F}, {}},
      {"bvlc_length_beyond_datagram", {0x81, 0x0A, 0x00, 0x0A, 0x01, 0x00, 0x20, 0x05, 0x0F}, {}},
      {"npdu_version_2", {0x81, 0x0A, 0x00, 0x09, 0x02, 0x00, 0x20, 0x05, 0x0F}, {}},
      {"npdu_dadr_cut", {0x81, 0x0A, 0x00, 0x0A, 0x01, 0x20, 0xFF, 0xFF, 0x06, 0x0A}, {}},
      {"bvlc_result_unknown_code", {0x81, 0x00, 0x00, 0x06, 0x00, 0x31}, {}},
      {"source_without_mac", {0x81, 0x0A, 0x00, 0x0C, 0x01, 0x08, 0x00, 0x05, 0x00, 0x20, 0x05, 0x0F}, {}},
      {"source_of_every_network", {0x81, 0x0A, 0x00, 0x0D, 0x01, 0x08, 0xFF, 0xFF, 0x01, 0x0A, 0x20, 0x05, 0x0F}, {}},
      {"source_mac_of_8_octets",
       {0x81, 0x0A, 0x00, 0x14, 0x01, 0x08, 0x00, 0x05, 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0x20, 0x05, 0x0F}, {}},
      {"hop_count_missing", {0x81, 0x0A, 0x00, 0x0B, 0x01, 0x20, 0xFF, 0xFF, 0x00, 0x20, 0x05}, {}},
      {"reject_message_too_long", {0x81, 0x0A, 0x00, 0x0B, 0x01, 0x80, 0x03, 0x01, 0x04, 0xD2, 0x00}, {}},
      {"segment_ack_unknown", {0x81, 0x0A, 0x00, 0x0A, 0x01, 0x00, 0x41, 0x00, 0x00, 0x04}, {}},
      {"unsolicited_segment", {0x81, 0x0A, 0x00, 0x0C, 0x01, 0x00, 0x3C, 0x00, 0x00, 0x04, 0x0C, 0x01}, {}},
      // The device as a client aborts a transaction of its own, not ours.
      {"abort_from_client", {0x81, 0x0A, 0x00, 0x09, 0x01, 0x00, 0x70, 0x04, 0x05}, {}},
  };
}

class Receive : public ::testing::TestWithParam<ReceiveCase> {};

TEST_P(Receive, YieldsExactlyItsOutputsAndDropsLeaveTablesUnchanged) {
  const ReceiveCase& c = GetParam();
  Stack stack;
  for (int i = 0; i < 3; ++i) (void)stack.process(read_property(kDevice));
  const std::string before = describe_tables(stack);
  EXPECT_EQ(stack.process(from(kSrc, c.datagram)), c.expected);
  EXPECT_EQ(describe_tables(stack), before);
}

// Cut before the end its BVLC length announces, any datagram is malformed.
TEST_P(Receive, EveryTruncatedPrefixIsDroppedWithoutChange) {
  const ReceiveCase& c = GetParam();
  const Bytes& d = c.datagram;
  const std::size_t announced = d.size() < 4 ? d.size() : std::min(d.size(), std::size_t{d[2]} << 8 | d[3]);
  Stack stack;
  (void)stack.process(read_property(kSrc));
  const std::string before = describe_tables(stack);
  for (std::size_t n = 0; n < announced; ++n) {
    const Bytes prefix(c.datagram.begin(), c.datagram.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_TRUE(stack.process(from(kSrc, prefix)).empty()) << "prefix of " << n;
  }
  EXPECT_EQ(describe_tables(stack), before);
}

INSTANTIATE_TEST_SUITE_P(Pdus, Receive, ::testing::ValuesIn(receive_cases()),
                         [](const auto& tc) { return std::string(tc.param.name); });

struct EndingCase {
  const char* name;
  Bytes datagram;  // answers invoke ID 1
  bool to_a_write = false;  // else to a ReadProperty
};

class EndsTransaction : public ::testing::TestWithParam<EndingCase> {};

TEST_P(EndsTransaction, OnlyForItsPeerAndInvokeId) {
  Stack stack;
  auto request = [&](const BacnetAddr& dest) {
    return GetParam().to_a_write ? write_octets(dest, 40) : read_property(dest);
  };
  for (int i = 0; i < 3; ++i) (void)stack.process(request(kDevice));
  (void)stack.process(request(kOtherDevice));

  // The same invoke ID from another device ends nothing here.
  const auto elsewhere = stack.process(from(kOtherDevice, GetParam().datagram));
  ASSERT_EQ(events(elsewhere).size(), 1u);
  EXPECT_EQ(stack.transactions().size(), 4u);

  const auto answered = stack.process(from(kDevice, GetParam().datagram));
  ASSERT_EQ(kinds(answered), "E");
  EXPECT_FALSE(stack.transactions().contains(TransactionKey{kDevice, 1}));
  EXPECT_EQ(stack.transactions().size(), 3u);
  std::visit([](const auto& e) {
    if constexpr (requires { e.peer; }) {
      EXPECT_EQ(e.peer, kDevice);
    }
  }, events(answered).at(0));
  // Nothing is re-sent for it later.
  for (const Bytes& resent : transmitted(stack.process(tick(3.0)))) EXPECT_NE(invoke_id_of(resent), 1);
  expect_invariants(stack);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, EndsTransaction,
    ::testing::Values(EndingCase{"simple_ack", device_datagram({0x20, 0x01, 0x0F}), true},
                      EndingCase{"complex_ack", device_datagram({0x30, 0x01, 0x0C, 0x09})},
                      EndingCase{"error", device_datagram({0x50, 0x01, 0x0C, 0x91, 0x02, 0x91, 0x20})},
                      EndingCase{"reject", device_datagram({0x60, 0x01, 0x09})},
                      EndingCase{"abort", device_datagram({0x71, 0x01, 0x04})}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Every datagram of a real capture, fed to one stack as received: answers
// and announcements become events; requests and Who-Is nothing. The capture's
// Error and SimpleACK datagrams announce more octets in their BVLC length
// than they carry, and are dropped like any cut datagram.
TEST(ReceiveCapture, ExampleTrafficYieldsOneEventPerAnswerOrAnnouncement) {
  FERROMESH_SKIP_WITHOUT_CAPTURES();
  const auto capture =
      ferromesh::test::read_pcap(std::filesystem::path(FERROMESH_CAPTURES_DIR) / "bacnet_example.pcap");
  ASSERT_TRUE(capture.has_value());
  Stack stack;
  std::size_t responses = 0, announcements = 0, overlong = 0, others = 0;
  for (const auto& udp : *capture) {
    const BacnetAddr src{udp.source_ip, udp.source_port};
    const auto out = stack.process(from(src, udp.payload));
    const Bytes& d = udp.payload;
    if (d.size() >= 4 && (std::size_t{d[2]} << 8 | d[3]) > d.size()) {
      ++overlong;
      EXPECT_TRUE(out.empty());
      continue;
    }
    for (const Event& e : events(out)) {
      if (const auto* r = std::get_if<event::Response>(&e)) {
        responses += !r->payload.empty() && r->peer == src;
      } else {
        announcements += std::holds_alternative<event::UnconfirmedReceived>(e);
      }
    }
    others += out.size() - events(out).size();
  }
  EXPECT_EQ(responses, 1400u);
  EXPECT_EQ(announcements, 210u);
  EXPECT_EQ(overlong, 120u);
  EXPECT_EQ(others, 0u);
  EXPECT_TRUE(stack.transactions().empty() && stack.invoke_pools().empty());
}

}  // namespace
}  // namespace ferromesh::stack::test
