#pragma once

// A BACnet/IP device reduced to what a client conversation needs. It parses
// the stack's datagrams as a device would (BVLC, NPDU, Confirmed-Request,
// SegmentACK), collects segmented requests window by window, and answers:
// SimpleACK for WriteProperty, a ComplexACK (segmented when long) otherwise,
// or an Error, Reject or Abort, or nothing, as told. Given an address with a
// network and MAC, it is a device behind the router at that IPv4 address.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "codec/bvlc.hpp"
#include "codec/npdu.hpp"
#include "codec/span_reader.hpp"
#include "stack/stack.hpp"
#include "stack/stack_test_support.hpp"
#include "stack/types.hpp"

namespace ferromesh::stack::test {

class ScriptedPeer {
 public:
  enum class Reply { Answer, Error, Reject, Abort, Silence };

  explicit ScriptedPeer(BacnetAddr address) : address_(address) {}

  const BacnetAddr& address() const { return address_; }

  Reply reply = Reply::Answer;
  Bytes answer{0x0C, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55, 0x3E, 0x44, 0x42, 0x28, 0x00, 0x00, 0x3F};
  std::size_t answer_segment_size = 1024;  // longer answers go out segmented
  std::uint8_t proposed_window = 2;        // for segmented answers
  std::uint8_t granted_window = 3;         // actual window in SegmentACKs to segmented requests

  struct Request {
    std::uint8_t invoke_id = 0;
    std::uint8_t service_choice = 0;
    Bytes parameters;
    std::size_t segments = 1;
  };
  std::vector<Request> requests;      // every complete request, in order
  std::size_t request_datagrams = 0;  // every Confirmed-Request datagram, re-sends included
  std::size_t segment_acks_received = 0;

  // One datagram from the stack; returns what the device sends back.
  std::vector<Bytes> on_datagram(std::span<const std::uint8_t> datagram) {
    const auto bvlc_frame = bvlc::unwrap(datagram);
    if (!bvlc_frame) return {};
    const auto frame = npdu::decode(bvlc_frame->npdu);
    if (!frame || frame->network_layer_message || frame->apdu.empty() || !addressed_to_me(frame.value())) return {};
    SpanReader in(frame->apdu);
    const std::uint8_t first = in.read_u8().value();
    switch (first >> 4) {
      case 0:
        ++request_datagrams;
        return on_request(first, in);
      case 4:
        ++segment_acks_received;
        return on_segment_ack(in);
      default:
        return {};
    }
  }

 private:
  struct IncomingRequest {
    Bytes parameters;
    std::uint8_t service_choice = 0;
    std::size_t next_sequence = 0;
    std::size_t window_base = 0;  // first sequence number after the last SegmentACK
  };

  // Behind a router, a request names our network and MAC, and the router
  // passes it on with hop count 255 (we are one hop away); on our own
  // network it names none.
  bool addressed_to_me(const npdu::NpduFrame& frame) const {
    if (!address_.remote()) return !frame.destination;
    const auto mac = address_.mac_octets();
    return frame.destination && frame.destination->net == address_.network &&
           std::equal(mac.begin(), mac.end(), frame.destination->mac.begin(), frame.destination->mac.end()) &&
           frame.hop_count == 255;
  }

  // Our answers; behind a router they come from the router with our network
  // and MAC as SNET/SADR.
  Bytes wrap(const Bytes& apdu) const {
    Bytes npdu{0x01, 0x00};
    if (address_.remote()) {
      npdu = {0x01, 0x08, static_cast<std::uint8_t>(address_.network >> 8), static_cast<std::uint8_t>(address_.network),
              address_.mac_length};
      for (const std::uint8_t octet : address_.mac_octets()) npdu.push_back(octet);
    }
    const std::size_t length = 4 + npdu.size() + apdu.size();
    Bytes out{0x81, 0x0A, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    out.insert(out.end(), npdu.begin(), npdu.end());
    out.insert(out.end(), apdu.begin(), apdu.end());
    return out;
  }

  std::vector<Bytes> on_request(std::uint8_t first, SpanReader& in) {
    const bool segmented = (first & 0x08) != 0;
    const bool more_follows = (first & 0x04) != 0;
    in.skip(1);  // max segments / max APDU
    const std::uint8_t invoke_id = in.read_u8().value();
    if (!segmented) {
      const std::uint8_t service_choice = in.read_u8().value();
      const auto rest = in.rest();
      requests.push_back({invoke_id, service_choice, Bytes(rest.begin(), rest.end()), 1});
      return respond(invoke_id, service_choice);
    }
    const std::uint8_t sequence = in.read_u8().value();
    in.skip(1);  // proposed window
    const std::uint8_t service_choice = in.read_u8().value();
    const auto rest = in.rest();

    IncomingRequest& request = incoming_[invoke_id];
    if (sequence == 0) request = IncomingRequest{{}, service_choice, 0, 0};
    if (sequence != request.next_sequence) {
      // Out of order or repeated: dropped, and the client told where we are.
      if (request.next_sequence == 0) return {};
      return {server_segment_ack(invoke_id, static_cast<std::uint8_t>(request.next_sequence - 1), true)};
    }
    request.parameters.insert(request.parameters.end(), rest.begin(), rest.end());
    request.next_sequence = sequence + 1u;
    const bool window_full = sequence == 0 || sequence + 1u == request.window_base + granted_window;
    if (more_follows && !window_full) return {};
    request.window_base = sequence + 1u;
    std::vector<Bytes> out{server_segment_ack(invoke_id, sequence)};
    if (!more_follows) {
      requests.push_back({invoke_id, request.service_choice, request.parameters, request.next_sequence});
      incoming_.erase(invoke_id);
      for (Bytes& reply_datagram : respond(invoke_id, service_choice)) out.push_back(std::move(reply_datagram));
    }
    return out;
  }

  Bytes server_segment_ack(std::uint8_t invoke_id, std::uint8_t sequence, bool negative = false) const {
    // SRV set: from the server.
    return wrap({static_cast<std::uint8_t>(negative ? 0x43 : 0x41), invoke_id, sequence, granted_window});
  }

  std::vector<Bytes> respond(std::uint8_t invoke_id, std::uint8_t service_choice) {
    switch (reply) {
      case Reply::Silence:
        return {};
      case Reply::Error:
        return {wrap({0x50, invoke_id, service_choice, 0x91, 0x02, 0x91, 0x20})};
      case Reply::Reject:
        return {wrap({0x60, invoke_id, 0x09})};
      case Reply::Abort:
        return {wrap({0x71, invoke_id, 0x04})};  // SRV set: from the server
      case Reply::Answer:
        break;
    }
    if (service_choice == 15) return {wrap({0x20, invoke_id, service_choice})};
    if (answer.size() <= answer_segment_size) {
      Bytes apdu{0x30, invoke_id, service_choice};
      apdu.insert(apdu.end(), answer.begin(), answer.end());
      return {wrap(apdu)};
    }
    Outgoing& outgoing = outgoing_[invoke_id];
    outgoing = Outgoing{};
    std::vector<Bytes>& segments = outgoing.segments;
    const std::size_t count = (answer.size() + answer_segment_size - 1) / answer_segment_size;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t begin = i * answer_segment_size;
      const std::size_t end = std::min(answer.size(), begin + answer_segment_size);
      Bytes apdu{static_cast<std::uint8_t>(i + 1 < count ? 0x3C : 0x38), invoke_id, static_cast<std::uint8_t>(i % 256),
                 proposed_window, service_choice};
      apdu.insert(apdu.end(), answer.begin() + static_cast<std::ptrdiff_t>(begin),
                  answer.begin() + static_cast<std::ptrdiff_t>(end));
      segments.push_back(wrap(apdu));
    }
    // Segment 0 goes alone: the client's SegmentACK sets the window.
    return {segments.front()};
  }

  // Sends the window after the segment acknowledged (positive or not), whose
  // position is the one with that sequence number nearest the window sent.
  std::vector<Bytes> on_segment_ack(SpanReader& in) {
    const std::uint8_t invoke_id = in.read_u8().value();
    const std::uint8_t sequence = in.read_u8().value();
    const std::uint8_t window = in.read_u8().value();
    const auto found = outgoing_.find(invoke_id);
    if (found == outgoing_.end()) return {};
    Outgoing& sending = found->second;
    const std::size_t acknowledged =
        sending.window_start + static_cast<std::uint8_t>(sequence - sending.window_start + 1u);
    if (acknowledged > sending.window_start + 128) return {};  // before the window: a repeat
    sending.window_start = acknowledged;
    std::vector<Bytes> out;
    for (std::size_t i = acknowledged; i < sending.segments.size() && i < acknowledged + window; ++i) {
      out.push_back(sending.segments[i]);
    }
    if (acknowledged >= sending.segments.size()) outgoing_.erase(found);
    return out;
  }

  BacnetAddr address_;
  std::map<std::uint8_t, IncomingRequest> incoming_;
  struct Outgoing {
    std::vector<Bytes> segments;
    std::size_t window_start = 0;  // the first segment not acknowledged
  };
  std::map<std::uint8_t, Outgoing> outgoing_;  // answers in progress
};

// Plays the stack against scripted devices until nobody has anything to say.
class Conversation {
 public:
  explicit Conversation(StackConfig config = {}) : stack(config) {}

  Stack stack;
  std::vector<ScriptedPeer*> peers;
  std::vector<Output> outputs;  // everything the stack produced, in order
  // Whether the n-th datagram the stack sends (from 0) is lost on the way.
  std::function<bool(std::size_t)> lost = [](std::size_t) { return false; };
  std::size_t datagrams_sent = 0;

  std::vector<Output> run(Input input) {
    const std::size_t first = outputs.size();
    std::deque<Input> pending{std::move(input)};
    while (!pending.empty()) {
      Input next = std::move(pending.front());
      pending.pop_front();
      for (Output& o : stack.process(std::move(next))) {
        if (const auto* t = std::get_if<output::Transmit>(&o); t && !lost(datagrams_sent++)) {
          for (ScriptedPeer* peer : peers) {
            if (peer->address() != t->dest) continue;
            // The UDP sender: a routed device's answers come from its router.
            for (Bytes& reply : peer->on_datagram(t->data)) {
              pending.push_back(from(peer->address().udp(), std::move(reply)));
            }
          }
        }
        outputs.push_back(std::move(o));
      }
    }
    expect_invariants(stack);
    return {outputs.begin() + static_cast<std::ptrdiff_t>(first), outputs.end()};
  }
};

}  // namespace ferromesh::stack::test
