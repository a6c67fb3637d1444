// Devices behind routers and BBMDs: routed conversations, what routers say,
// foreign-device registration.
#include <gtest/gtest.h>

#include <algorithm>

#include "stack/scripted_peer.hpp"
#include "stack/stack_test_support.hpp"

namespace ferromesh::stack::test {
namespace {

const BacnetAddr kRouter{{10, 0, 0, 1}, kBacnetPort};
const BacnetAddr kOtherRouter{{10, 0, 0, 9}, kBacnetPort};
const BacnetAddr kBbmd{{10, 1, 0, 1}, kBacnetPort};

BacnetAddr behind(const BacnetAddr& router, std::uint16_t network, Bytes mac) {
  return *BacnetAddr::routed(router.addr, router.port, network, mac);
}

const BacnetAddr kMstp = behind(kRouter, 1234, {0x11});
const BacnetAddr kMstpOther = behind(kRouter, 1234, {0x12});
const BacnetAddr kRemoteIp = behind(kRouter, 5, {10, 2, 0, 7, 0xBA, 0xC0});

// Two devices behind one router, one B/IP device on a network further on,
// and the router itself as a device on ours: four invoke-ID spaces at two
// UDP addresses, each answer matched to its whole address.
TEST(Routed, EveryDeviceBehindARouterGetsItsOwnAnswers) {
  ScriptedPeer mstp(kMstp), other(kMstpOther), remote_ip(kRemoteIp), router(kRouter);
  mstp.answer = Bytes(3000, 0x11);
  mstp.answer_segment_size = 480;  // a segmented answer through the router
  other.answer = {0x0C, 0x12};
  router.answer = {0x0C, 0x01};
  Conversation talk;
  talk.peers = {&mstp, &other, &remote_ip, &router};
  for (const BacnetAddr& device : {kMstp, kMstpOther, kRemoteIp, kRouter}) {
    const auto out = talk.run(read_property(device));
    const auto* sent = std::get_if<output::Transmit>(&out.front());
    ASSERT_NE(sent, nullptr);
    EXPECT_EQ(sent->dest, device);  // the host sends it to the router's UDP address
    EXPECT_EQ(invoke_id_of(sent->data), 0);
  }
  std::vector<Event> answers;
  for (const Output& o : talk.outputs) {
    if (const auto* e = std::get_if<output::Event>(&o)) answers.push_back(e->event);
  }
  EXPECT_EQ(answers, (std::vector<Event>{event::Response{0, mstp.answer, kMstp},
                                         event::Response{0, other.answer, kMstpOther},
                                         event::Response{0, remote_ip.answer, kRemoteIp},
                                         event::Response{0, router.answer, kRouter}}));
  EXPECT_GE(mstp.segment_acks_received, 4u);
  EXPECT_EQ(talk.stack.invoke_pools().size(), 4u);
  EXPECT_TRUE(talk.stack.transactions().empty());
}

// A long request to a routed device is cut into segments that each carry its DNET.
TEST(Routed, ASegmentedRequestThroughTheRouter) {
  ScriptedPeer device(kMstp);
  Conversation talk(StackConfig{3.0, 3, 128, 1 << 20});
  talk.peers = {&device};
  EXPECT_EQ(events(talk.run(write_octets(kMstp, 1000))), (std::vector<Event>{event::Response{0, {}, kMstp}}));
  ASSERT_EQ(device.requests.size(), 1u);
  EXPECT_GE(device.requests[0].segments, 8u);
}

// The router's own answer, or another device's, ends nothing of a routed request.
TEST(Routed, AnAnswerFromAnotherAddressEndsNothing) {
  Stack stack;
  (void)stack.process(read_property(kMstp));
  (void)stack.process(from(kRouter, device_datagram({0x20, 0x00, 0x0C})));  // no SNET: the router itself
  Bytes wrong_mac{0x81, 0x0A, 0x00, 0x0C, 0x01, 0x08, 0x04, 0xD2, 0x01, 0x13, 0x20, 0x00, 0x0C};
  wrong_mac[3] = static_cast<std::uint8_t>(wrong_mac.size());
  (void)stack.process(from(kRouter, wrong_mac));
  EXPECT_EQ(stack.transactions().size(), 1u);
  EXPECT_EQ(stack.transactions().begin()->first.addr, kMstp);
}

TEST(Routed, AConfirmedRequestToAWholeNetworkIsRefused) {
  Stack stack;
  for (const BacnetAddr& everyone : {behind(kRouter, 1234, {}), behind(kRouter, BacnetAddr::kGlobalNetwork, {})}) {
    const auto out = stack.process(read_property(everyone));
    ASSERT_EQ(kinds(out), "E");
    EXPECT_EQ(std::get<event::Error>(std::get<output::Event>(out[0]).event).peer, everyone);
  }
  EXPECT_TRUE(stack.invoke_pools().empty() && stack.transactions().empty());
}

Bytes reject_message(std::uint8_t reason, std::uint16_t network) {
  return {0x81, 0x0A, 0x00, 0x0A, 0x01, 0x80, 0x03, reason, static_cast<std::uint8_t>(network >> 8),
          static_cast<std::uint8_t>(network)};
}

// Requests to network 1234 through the router that rejects it end at once;
// the same network through another router, another network, and the router
// itself keep waiting.
TEST(Routed, RejectMessageToNetworkEndsRequestsThereAtOnce) {
  Stack stack;
  (void)stack.process(tick(0.0));
  const BacnetAddr kept[] = {behind(kOtherRouter, 1234, {0x11}), behind(kRouter, 99, {0x11}), kRouter};
  for (const BacnetAddr& device : {kMstp, kMstpOther, kMstp}) (void)stack.process(read_property(device));
  for (const BacnetAddr& device : kept) (void)stack.process(read_property(device));

  const auto out = stack.process(from(kRouter, reject_message(1, 1234)));
  std::vector<Event> ended = events(out);
  ASSERT_EQ(ended.size(), 4u);
  EXPECT_EQ(ended.back(), (Event{event::UnconfirmedReceived{kRouter, RejectMessageToNetwork{1, 1234}}}));
  ended.pop_back();
  const std::string why = "router rejected the message to network 1234: network unreachable (reason 1)";
  const auto rejected = [&](std::uint8_t id, const BacnetAddr& peer) {
    return Event{event::Error{id, why, peer, {}, event::ErrorKind::Network, std::nullopt, std::nullopt, 1}};
  };
  for (const Event& expected : {rejected(0, kMstp), rejected(1, kMstp), rejected(0, kMstpOther)}) {
    EXPECT_EQ(std::count(ended.begin(), ended.end(), expected), 1) << testing::PrintToString(expected);
  }
  EXPECT_EQ(stack.transactions().size(), 3u);
  for (const BacnetAddr& device : kept) {
    EXPECT_EQ(stack.invoke_pools().at(device).used_count(), 1u);
  }
  EXPECT_EQ(stack.invoke_pools().at(kMstp).used_count(), 0u);
  // Nothing of theirs is re-sent or times out later.
  const auto later = stack.process(tick(3.0));
  EXPECT_EQ(transmitted(later).size(), 3u);
  expect_invariants(stack);
}

// The limits an I-Am announces hold for the device it names: routed, the
// device behind the router, not the router itself.
TEST(Routed, ADevicesIAmThroughTheRouterSizesRequestsToIt) {
  Stack stack;
  const Bytes i_am{0x81, 0x0B, 0x00, 0x18, 0x01, 0x08, 0x04, 0xD2, 0x01, 0x11, 0x10, 0x00,
                   0xC4, 0x02, 0x00, 0x00, 0x07, 0x22, 0x00, 0xCE, 0x91, 0x03, 0x21, 0x07};
  ASSERT_EQ(kinds(stack.process(from(kRouter, i_am))), "E");
  const auto refused = stack.process(write_octets(kMstp, 300));
  ASSERT_EQ(kinds(refused), "E");
  EXPECT_EQ(std::get<event::Error>(events(refused)[0]).peer, kMstp);
  EXPECT_EQ(kinds(stack.process(write_octets(kRouter, 300))), "TD");
  EXPECT_EQ(kinds(stack.process(write_octets(kMstpOther, 300))), "TD");
}

// ---------------------------------------------------------------------------
// Foreign-device registration

const Bytes kRegister60{0x81, 0x05, 0x00, 0x06, 0x00, 0x3C};
const Bytes kSuccess{0x81, 0x00, 0x00, 0x06, 0x00, 0x00};
const Bytes kRegistrationNak{0x81, 0x00, 0x00, 0x06, 0x00, 0x30};

input::SendUnconfirmed who_is(const BacnetAddr& dest) { return {service::WhoIs{}, dest}; }

TEST(ForeignDevice, RegistersRetriesRenewsAndEnds) {
  Stack stack;  // APDU timeout 3 s, 3 retries
  (void)stack.process(tick(10.0));
  EXPECT_EQ(stack.process(input::RegisterForeignDevice{kBbmd, 60}),
            (std::vector<Output>{transmit(kRegister60, kBbmd), deadline(13.0)}));
  EXPECT_EQ(stack.process(tick(12.0)), std::vector<Output>{deadline(13.0)});
  // Unanswered, it goes again every APDU timeout.
  EXPECT_EQ(stack.process(tick(13.0)), (std::vector<Output>{transmit(kRegister60, kBbmd), deadline(16.0)}));
  // Answered: renewed halfway through the time-to-live.
  EXPECT_EQ(stack.process(from(kBbmd, kSuccess)),
            (std::vector<Output>{event_out(event::BvlcResult{kBbmd, 0}), deadline(43.0)}));
  EXPECT_EQ(stack.process(tick(16.0)), std::vector<Output>{deadline(43.0)});
  EXPECT_EQ(stack.process(tick(43.0)), (std::vector<Output>{transmit(kRegister60, kBbmd), deadline(46.0)}));
  // A BBMD that stays silent: three retries, then a rest until the next renewal.
  for (double at : {46.0, 49.0, 52.0}) EXPECT_EQ(transmitted(stack.process(tick(at))), std::vector<Bytes>{kRegister60});
  EXPECT_EQ(stack.process(tick(55.0)), std::vector<Output>{deadline(82.0)});
  // A NAK is reported and tried again at the next renewal.
  EXPECT_EQ(stack.process(tick(82.0)), (std::vector<Output>{transmit(kRegister60, kBbmd), deadline(85.0)}));
  EXPECT_EQ(stack.process(from(kBbmd, kRegistrationNak)),
            (std::vector<Output>{event_out(event::BvlcResult{kBbmd, 0x30}), deadline(112.0)}));
  // A result from anyone else is reported and changes nothing.
  EXPECT_EQ(stack.process(from(kRouter, kSuccess)), std::vector<Output>{event_out(event::BvlcResult{kRouter, 0})});
  ASSERT_TRUE(stack.registration());
  EXPECT_EQ(stack.registration()->due, 112.0);

  (void)stack.process(input::UnregisterForeignDevice{});
  EXPECT_FALSE(stack.registration());
  EXPECT_TRUE(stack.process(tick(1000.0)).empty());
}

// While registered, broadcasts go to the BBMD to be distributed; unicasts
// and everything after the registration ends go out as before.
TEST(ForeignDevice, BroadcastsGoThroughTheBbmdWhileRegistered) {
  const BacnetAddr everywhere = behind({{255, 255, 255, 255}, kBacnetPort}, BacnetAddr::kGlobalNetwork, {});
  const BacnetAddr local{{192, 168, 1, 255}, kBacnetPort};
  Stack stack;
  (void)stack.process(input::RegisterForeignDevice{kBbmd, 300});
  EXPECT_EQ(stack.process(who_is(everywhere)),
            std::vector<Output>{transmit({0x81, 0x09, 0x00, 0x0C, 0x01, 0x20, 0xFF, 0xFF, 0x00, 0xFF, 0x10, 0x08},
                                         kBbmd)});
  EXPECT_EQ(stack.process(who_is(local)),
            std::vector<Output>{transmit({0x81, 0x09, 0x00, 0x08, 0x01, 0x00, 0x10, 0x08}, kBbmd)});
  EXPECT_EQ(stack.process(who_is(kDevice)),
            std::vector<Output>{transmit({0x81, 0x0A, 0x00, 0x08, 0x01, 0x00, 0x10, 0x08}, kDevice)});
  (void)stack.process(input::UnregisterForeignDevice{});
  EXPECT_EQ(stack.process(who_is(local)),
            std::vector<Output>{transmit({0x81, 0x0B, 0x00, 0x08, 0x01, 0x00, 0x10, 0x08}, local)});
}

// A BBMD forwards what a device on its subnet sends, naming the device:
// the stack asks the device where it is, sizes requests to its I-Am, and
// takes the answer the BBMD forwards as the device's own.
Bytes forwarded_by_bbmd(const BacnetAddr& original, const Bytes& npdu) {
  Bytes out{0x81, 0x04, 0x00, static_cast<std::uint8_t>(10 + npdu.size())};
  out.insert(out.end(), original.addr.begin(), original.addr.end());
  out.push_back(static_cast<std::uint8_t>(original.port >> 8));
  out.push_back(static_cast<std::uint8_t>(original.port));
  out.insert(out.end(), npdu.begin(), npdu.end());
  return out;
}

TEST(ForeignDevice, ADeviceHeardThroughTheBbmdIsAskedWhereItIs) {
  const BacnetAddr far{{10, 2, 0, 7}, 47809};
  const BacnetAddr neighbour{{10, 2, 0, 8}, 47809};
  Stack stack;
  (void)stack.process(tick(0.0));
  (void)stack.process(input::RegisterForeignDevice{kBbmd, 300});
  (void)stack.process(from(kBbmd, kSuccess));
  // I-Am: device 7, max APDU 206, no segmentation, vendor 7.
  const auto heard = stack.process(from(
      kBbmd, forwarded_by_bbmd(far, {0x01, 0x00, 0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, 0x07, 0x22, 0x00, 0xCE, 0x91,
                                     0x03, 0x21, 0x07})));
  ASSERT_EQ(kinds(heard), "E");
  EXPECT_EQ(std::get<event::UnconfirmedReceived>(events(heard)[0]).src, far);
  // Its limits hold for it, not for the BBMD.
  EXPECT_EQ(kinds(stack.process(write_octets(far, 300))), "E");
  EXPECT_EQ(kinds(stack.process(write_octets(kBbmd, 300))), "TD");

  const auto asked = stack.process(read_property(far));
  ASSERT_EQ(kinds(asked), "TD");
  const auto& request = std::get<output::Transmit>(asked[0]);
  EXPECT_EQ(request.dest, far);  // unicast, straight to the device
  const std::uint8_t id = invoke_id_of(request.data);
  const Bytes ack{0x01, 0x00, 0x30, id, 0x0C, 0xAA, 0xBB};
  // The same invoke ID answered by the device next to it is that device's: it ends nothing here.
  EXPECT_EQ(events(stack.process(from(kBbmd, forwarded_by_bbmd(neighbour, ack)))),
            (std::vector<Event>{event::Response{id, {0xAA, 0xBB}, neighbour}}));
  EXPECT_EQ(stack.transactions().size(), 2u);
  EXPECT_EQ(events(stack.process(from(kBbmd, forwarded_by_bbmd(far, ack)))),
            (std::vector<Event>{event::Response{id, {0xAA, 0xBB}, far}}));
  EXPECT_EQ(stack.transactions().size(), 1u);  // the write to the BBMD still waits
  expect_invariants(stack);
}

}  // namespace
}  // namespace ferromesh::stack::test
