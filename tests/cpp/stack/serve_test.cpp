#include <gtest/gtest.h>

#include "services/cov_notification.hpp"
#include "services/event_notification.hpp"
#include "stack/stack_test_support.hpp"

// The engine as the server of what devices send it: each Confirmed-Request
// gets exactly one answer, to where it came from; notifications also their
// event; nothing is kept.
namespace ferromesh::stack::test {
namespace {

const BacnetAddr kSrc{{192, 168, 1, 20}, 47808};

// BVLC Original-Unicast around `npdu` (NPDU header, then APDU).
Bytes framed(const Bytes& npdu) {
  Bytes out{0x81, 0x0A, 0x00, static_cast<std::uint8_t>(4 + npdu.size())};
  out.insert(out.end(), npdu.begin(), npdu.end());
  return out;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Process 18, device 4, analog-input 10, 60 s left, present-value 65.0.
const Bytes kCov{0x09, 0x12, 0x1C, 0x02, 0x00, 0x00, 0x04, 0x2C, 0x00, 0x00, 0x00, 0x0A,
                 0x39, 0x3C, 0x4E, 0x09, 0x55, 0x2E, 0x44, 0x42, 0x82, 0x00, 0x00, 0x2F, 0x4F};
// Process 1, device 4, analog-input 2, time stamp sequence 16, class 4,
// priority 100, out-of-range, alarm, normal to high-limit.
const Bytes kEvent{0x09, 0x01, 0x1C, 0x02, 0x00, 0x00, 0x04, 0x2C, 0x00, 0x00, 0x00, 0x02, 0x3E,
                   0x19, 0x10, 0x3F, 0x49, 0x04, 0x59, 0x64, 0x69, 0x05, 0x89, 0x00, 0xB9, 0x03};
// SNET 5, SADR 0x0A: how a router forwards what a device behind it sends.
const Bytes kRoutedNpdu{0x01, 0x0C, 0x00, 0x05, 0x01, 0x0A};
// What goes back there: DNET 5, DADR 0x0A, hop count 255.
const Bytes kReplyNpdu{0x01, 0x20, 0x00, 0x05, 0x01, 0x0A, 0xFF};
// The device's whole address: the router's B/IP address, network 5, MAC 0x0A.
const BacnetAddr kRoutedSrc = BacnetAddr::routed(kSrc.addr, kSrc.port, 5, Bytes{0x0A}).value();

Output cov_event(bool confirmed, const BacnetAddr& src = kSrc) {
  return event_out(event::CovNotification{src, confirmed, services::cov_notification::decode(kCov).value()});
}
Output event_notification(bool confirmed) {
  return event_out(
      event::EventNotification{kSrc, confirmed, services::event_notification::decode(kEvent).value()});
}

struct ServeCase {
  const char* name;
  Bytes datagram;
  std::vector<Output> expected;
};

std::vector<ServeCase> serve_cases() {
  const Bytes local{0x01, 0x04};
  return {
      {"confirmed_cov_notification", framed(cat(cat(local, {0x00, 0x05, 0x21, 0x01}), kCov)),
       {transmit(framed({0x01, 0x00, 0x20, 0x21, 0x01}), kSrc), cov_event(true)}},
      {"unconfirmed_cov_notification", framed(cat({0x01, 0x00, 0x10, 0x02}, kCov)), {cov_event(false)}},
      {"confirmed_event_notification", framed(cat(cat(local, {0x00, 0x05, 0x07, 0x02}), kEvent)),
       {transmit(framed({0x01, 0x00, 0x20, 0x07, 0x02}), kSrc), event_notification(true)}},
      {"unconfirmed_event_notification", framed(cat({0x01, 0x00, 0x10, 0x03}, kEvent)), {event_notification(false)}},
      // ReadProperty to us: unrecognized-service.
      {"other_request", framed({0x01, 0x04, 0x02, 0x05, 0x09, 0x0C, 0x0C, 0x02, 0x00, 0x00, 0x01, 0x19, 0x55}),
       {transmit(framed({0x01, 0x00, 0x60, 0x09, 0x09}), kSrc)}},
      // The first segment of a request: segmentation-not-supported, as the server.
      {"segmented_request", framed({0x01, 0x04, 0x0E, 0x05, 0x0B, 0x00, 0x04, 0x01, 0x09, 0x12}),
       {transmit(framed({0x01, 0x00, 0x71, 0x0B, 0x04}), kSrc)}},
      // Parameters cut inside the values: missing-required-parameter; a
      // wrong tag: invalid-tag. No event for either.
      {"cut_notification", framed(cat(local, {0x00, 0x05, 0x21, 0x01, 0x09, 0x12, 0x1C, 0x02, 0x00, 0x00, 0x04})),
       {transmit(framed({0x01, 0x00, 0x60, 0x21, 0x05}), kSrc)}},
      {"mistagged_notification", framed(cat(local, {0x00, 0x05, 0x21, 0x01, 0x19, 0x12})),
       {transmit(framed({0x01, 0x00, 0x60, 0x21, 0x04}), kSrc)}},
      // Through a router: the answer names the device's network and address.
      {"routed_notification", framed(cat(cat(kRoutedNpdu, {0x00, 0x05, 0x21, 0x01}), kCov)),
       {transmit(framed(cat(kReplyNpdu, {0x20, 0x21, 0x01})), kRoutedSrc), cov_event(true, kRoutedSrc)}},
      {"routed_other_request", framed(cat(kRoutedNpdu, {0x00, 0x05, 0x30, 0x0F, 0x0C})),
       {transmit(framed(cat(kReplyNpdu, {0x60, 0x30, 0x09})), kRoutedSrc)}},
      {"routed_segmented_request", framed(cat(kRoutedNpdu, {0x08, 0x05, 0x30, 0x00, 0x01, 0x0F, 0x0C})),
       {transmit(framed(cat(kReplyNpdu, {0x71, 0x30, 0x04})), kRoutedSrc)}},
      // Forwarded by a BBMD from 10.0.1.7:47808: answered at the device itself.
      {"forwarded_request",
       Bytes{0x81, 0x04, 0x00, 0x10, 0x0A, 0x00, 0x01, 0x07, 0xBA, 0xC0, 0x01, 0x04, 0x00, 0x05, 0x30, 0x0F},
       {transmit(framed({0x01, 0x00, 0x60, 0x30, 0x09}), BacnetAddr{{10, 0, 1, 7}, 47808})}},
      // A header too short to name the invoke ID is dropped; an unconfirmed
      // notification that does not decode too.
      {"header_cut", framed({0x01, 0x04, 0x00, 0x05}), {}},
      {"unconfirmed_cut", framed(cat({0x01, 0x00, 0x10, 0x02}, Bytes(kCov.begin(), kCov.end() - 1))), {}},
  };
}

class Serve : public ::testing::TestWithParam<ServeCase> {};

TEST_P(Serve, AnswersOnceAndKeepsNothing) {
  const ServeCase& c = GetParam();
  Stack stack;
  for (int i = 0; i < 3; ++i) (void)stack.process(read_property(kSrc));
  const std::string before = describe_tables(stack);
  EXPECT_EQ(stack.process(from(kSrc, c.datagram)), c.expected);
  EXPECT_EQ(describe_tables(stack), before);
  // A request under an invoke ID our own requests use is no answer to them.
  EXPECT_EQ(stack.transactions().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Requests, Serve, ::testing::ValuesIn(serve_cases()),
                         [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
}  // namespace ferromesh::stack::test
