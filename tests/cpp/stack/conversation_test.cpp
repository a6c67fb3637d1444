#include <gtest/gtest.h>

#include <set>

#include "stack/scripted_peer.hpp"
#include "stack/service_encoding.hpp"
#include "stack/stack_test_support.hpp"

namespace ferromesh::stack::test {
namespace {

input::Send read_property_multiple(const BacnetAddr& dest, std::size_t objects) {
  service::ReadPropertyMultiple rpm;
  for (std::uint32_t i = 0; i < objects; ++i) {
    rpm.specs.push_back({{ObjectType::Member::AnalogInput, i},
                         {{PropertyIdentifier::Member::PresentValue, std::nullopt},
                          {PropertyIdentifier::Member::ObjectName, std::nullopt}}});
  }
  return {std::move(rpm), dest};
}

TEST(Conversation, EachServiceGetsItsAnswer) {
  ScriptedPeer device(kDevice);
  Conversation talk;
  talk.peers = {&device};
  const input::Send requests[] = {read_property(kDevice), write_octets(kDevice, 40),
                                  read_property_multiple(kDevice, 3)};
  const std::vector<Bytes> payloads{device.answer, {}, device.answer};
  for (std::size_t i = 0; i < std::size(requests); ++i) {
    const auto id = static_cast<std::uint8_t>(i);
    EXPECT_EQ(events(talk.run(requests[i])), (std::vector<Event>{event::Response{id, payloads[i], kDevice}}));
    const auto sent = std::get<EncodedService>(encode_service(requests[i].service));
    EXPECT_EQ(device.requests.at(i).service_choice, sent.service_choice);
    EXPECT_EQ(device.requests.at(i).parameters, sent.parameters);
  }
  EXPECT_TRUE(talk.stack.transactions().empty());
}

TEST(Conversation, RefusalsBecomeEvents) {
  ScriptedPeer device(kDevice);
  Conversation talk;
  talk.peers = {&device};
  const std::pair<ScriptedPeer::Reply, Event> cases[] = {
      {ScriptedPeer::Reply::Error, bacnet_error(0, 2, 32, kDevice, {0x91, 0x02, 0x91, 0x20})},
      {ScriptedPeer::Reply::Reject, reject(1, 9, kDevice)},
      {ScriptedPeer::Reply::Abort, event::Abort{2, 4, kDevice}},
  };
  for (const auto& [reply, expected] : cases) {
    device.reply = reply;
    EXPECT_EQ(events(talk.run(read_property(kDevice))), std::vector<Event>{expected});
  }
  EXPECT_TRUE(talk.stack.transactions().empty());
}

// Two silent devices both hold invoke ID 0: the timeouts say which is which.
TEST(Conversation, SilenceEndsInOneTimeoutPerDevice) {
  ScriptedPeer device(kDevice), other(kOtherDevice);
  device.reply = other.reply = ScriptedPeer::Reply::Silence;
  Conversation talk;
  talk.peers = {&device, &other};
  (void)talk.run(read_property(kDevice));
  (void)talk.run(read_property(kOtherDevice));
  std::vector<Event> ended;
  for (double at = 1.0; at <= 12.0; at += 1.0) {
    for (const Event& e : events(talk.run(tick(at)))) ended.push_back(e);
  }
  EXPECT_EQ(device.request_datagrams, 4u);
  EXPECT_EQ(other.request_datagrams, 4u);
  ASSERT_EQ(ended.size(), 2u);
  EXPECT_TRUE((ended == std::vector<Event>{event::Timeout{0, kDevice}, event::Timeout{0, kOtherDevice}}) ||
              (ended == std::vector<Event>{event::Timeout{0, kOtherDevice}, event::Timeout{0, kDevice}}));
}

TEST(Conversation, ALongAnswerArrivesInSegments) {
  ScriptedPeer device(kDevice);
  device.answer.resize(5000);
  for (std::size_t i = 0; i < device.answer.size(); ++i) device.answer[i] = static_cast<std::uint8_t>(i % 251);
  device.answer_segment_size = 480;  // 11 segments, two per window
  Conversation talk;
  talk.peers = {&device};
  const auto out = talk.run(read_property(kDevice));
  EXPECT_EQ(events(out), (std::vector<Event>{event::Response{0, device.answer, kDevice}}));
  EXPECT_EQ(device.segment_acks_received, 6u);  // segment 0, then every second, then the last
  EXPECT_TRUE(talk.stack.recv_segments().empty());
}

// A long request answered by a long answer: the request stays outstanding
// after its last segment is acknowledged, so the answer is collected.
TEST(Conversation, ALongRequestAndALongAnswer) {
  ScriptedPeer device(kDevice);
  device.granted_window = 3;
  device.answer = Bytes(4000, 0x5A);
  device.answer_segment_size = 1400;
  Conversation talk;
  talk.peers = {&device};
  const input::Send request = read_property_multiple(kDevice, 500);
  const auto sent = std::get<EncodedService>(encode_service(request.service));
  ASSERT_GT(sent.parameters.size(), 3 * 1470u);

  EXPECT_EQ(events(talk.run(request)), (std::vector<Event>{event::Response{0, device.answer, kDevice}}));
  ASSERT_EQ(device.requests.size(), 1u);
  EXPECT_EQ(device.requests[0].parameters, sent.parameters);
  EXPECT_TRUE(talk.stack.transactions().empty() && talk.stack.send_segments().empty());
}

// A ReadPropertyMultiple of 40 objects x 2 properties at 128-octet APDUs:
// segment 0 alone, then the device's windows, every segment sent once.
TEST(Conversation, EachSegmentOfARequestGoesOutOnce) {
  ScriptedPeer device(kDevice);
  device.granted_window = 3;
  Conversation talk(StackConfig{.max_apdu_length = 128});
  talk.peers = {&device};
  const input::Send request = read_property_multiple(kDevice, 40);
  const std::size_t length = std::get<EncodedService>(encode_service(request.service)).parameters.size();
  const std::size_t segments = (length + 121) / 122;
  ASSERT_EQ(segments, 4u);
  EXPECT_EQ(events(talk.run(request)), (std::vector<Event>{event::Response{0, device.answer, kDevice}}));
  EXPECT_EQ(device.request_datagrams, segments);
  EXPECT_EQ(device.requests.at(0).parameters, std::get<EncodedService>(encode_service(request.service)).parameters);
}

// Datagrams lost on the way: every segment still arrives, and a loss costs
// at most the window it was in again, never a cascade of windows.
TEST(Conversation, ALossCostsAtMostItsWindowAgain) {
  for (const std::set<std::size_t>& losses :
       {std::set<std::size_t>{0}, std::set<std::size_t>{2}, std::set<std::size_t>{3, 7}, std::set<std::size_t>{5, 6}}) {
    ScriptedPeer device(kDevice);
    device.granted_window = 3;
    Conversation talk(StackConfig{.max_apdu_length = 128});
    talk.peers = {&device};
    talk.lost = [&](std::size_t n) { return losses.contains(n); };
    const input::Send request = read_property_multiple(kDevice, 40);
    const std::size_t segments = (std::get<EncodedService>(encode_service(request.service)).parameters.size() + 121) / 122;
    std::vector<Event> ended = events(talk.run(request));
    for (double at = 2.0; ended.empty() && at < 20.0; at += 1.0) ended = events(talk.run(tick(at)));
    EXPECT_EQ(ended, (std::vector<Event>{event::Response{0, device.answer, kDevice}})) << *losses.begin();
    EXPECT_EQ(device.requests.at(0).parameters, std::get<EncodedService>(encode_service(request.service)).parameters);
    std::size_t requests_sent = 0;
    for (const Output& o : talk.outputs) {
      if (const auto* t = std::get_if<output::Transmit>(&o)) requests_sent += t->data.at(6) >> 4 == 0;
    }
    EXPECT_LE(requests_sent, segments + losses.size() * device.granted_window) << *losses.begin();
  }
}

// 700 segments of 2 octets: sequence numbers wrap twice, the answer is whole.
TEST(Conversation, AnAnswerOfMoreThan256SegmentsArrivesWhole) {
  ScriptedPeer device(kDevice);
  device.answer.resize(1400);
  for (std::size_t i = 0; i < device.answer.size(); ++i) device.answer[i] = static_cast<std::uint8_t>(i / 2);
  device.answer_segment_size = 2;
  device.proposed_window = 16;
  Conversation talk;
  talk.peers = {&device};
  EXPECT_EQ(events(talk.run(read_property(kDevice))), (std::vector<Event>{event::Response{0, device.answer, kDevice}}));
  EXPECT_EQ(device.segment_acks_received, 1 + 699 / 16 + 1u);
}

// A silent device fills its pool; the other keeps answering; every
// outstanding request ends in its own Timeout and the pool is whole again.
TEST(Conversation, ManyRequestsToTwoDevices) {
  ScriptedPeer device(kDevice), silent(kOtherDevice);
  silent.reply = ScriptedPeer::Reply::Silence;
  Conversation talk;
  talk.peers = {&device, &silent};
  std::vector<Event> seen;
  for (std::uint32_t i = 0; i < 600; ++i) {
    for (Event& e : events(talk.run(read_property(i % 2 ? kOtherDevice : kDevice, i)))) seen.push_back(std::move(e));
  }
  for (double at : {3.0, 6.0, 9.0, 12.0}) {
    for (Event& e : events(talk.run(tick(at)))) seen.push_back(std::move(e));
  }
  std::size_t responses = 0, exhausted = 0, timeouts = 0;
  for (const Event& e : seen) {
    if (const auto* r = std::get_if<event::Response>(&e)) responses += r->peer == kDevice;
    if (const auto* x = std::get_if<event::Error>(&e)) exhausted += x->peer == kOtherDevice;
    if (const auto* t = std::get_if<event::Timeout>(&e)) timeouts += t->peer == kOtherDevice;
  }
  EXPECT_EQ(responses, 300u);
  EXPECT_EQ(exhausted, 44u);
  EXPECT_EQ(timeouts, 256u);
  EXPECT_EQ(seen.size(), 600u);
  EXPECT_EQ(silent.request_datagrams, 256u * 4);
  EXPECT_TRUE(talk.stack.transactions().empty());
}

}  // namespace
}  // namespace ferromesh::stack::test
