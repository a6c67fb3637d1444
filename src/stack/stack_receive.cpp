#include "stack/stack.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "codec/apdu.hpp"
#include "codec/bvlc.hpp"
#include "codec/npdu.hpp"
#include "services/i_am.hpp"

namespace ferromesh::stack {

namespace {

// Who sent the NPDU: the UDP sender or, for a Forwarded-NPDU, the original
// source the BBMD names; with the network and MAC behind a router when the
// NPDU has a source. Nothing for a MAC longer than any data link's.
std::optional<BacnetAddr> npdu_source(const BacnetAddr& udp_src, const bvlc::Frame& bvlc_frame,
                                      const npdu::NpduFrame& frame) {
  BacnetAddr src = udp_src.udp();
  if (const auto original = bvlc_frame.forwarded_from()) {
    std::copy_n(original->begin(), src.addr.size(), src.addr.begin());
    src.port = static_cast<std::uint16_t>((*original)[4] << 8 | (*original)[5]);
  }
  if (!frame.source) return src;
  return BacnetAddr::routed(src.addr, src.port, frame.source->net, frame.source->mac);
}

}  // namespace

void Stack::receive(const input::Received& datagram, std::vector<Output>& out) {
  if (const auto result = bvlc::result_code(datagram.data)) {
    handle_bvlc_result(datagram.src.udp(), *result, out);
    return;
  }
  const auto bvlc_frame = bvlc::unwrap(datagram.data);
  if (!bvlc_frame) return;
  const auto frame = npdu::decode(bvlc_frame->npdu);
  if (!frame) return;
  const auto src = npdu_source(datagram.src, *bvlc_frame, frame.value());
  if (!src) return;
  if (frame->network_layer_message) {
    handle_network_message(frame->apdu, *src, out);
  } else {
    dispatch_apdu(frame->apdu, *src, out);
  }
}

// Responses are not matched against outstanding requests: an answer for an
// ID that is not in use is still reported, and ends nothing.
void Stack::dispatch_apdu(std::span<const std::uint8_t> pdu, const BacnetAddr& src, std::vector<Output>& out) {
  const auto type = apdu::pdu_type(pdu);
  if (!type) return;
  switch (static_cast<apdu::PduType>(*type)) {
    case apdu::PduType::UnconfirmedRequest:
      if (const auto request = apdu::decode_unconfirmed_request(pdu)) {
        handle_unconfirmed(request->service_choice, request->service_data, src, out);
      }
      return;
    case apdu::PduType::SimpleAck:
      if (const auto ack = apdu::decode_simple_ack(pdu)) {
        end_transaction(src, ack->invoke_id);
        out.push_back(output::Event{event::Response{ack->invoke_id, {}, src}});
      }
      return;
    case apdu::PduType::ComplexAck:
      if (const auto ack = apdu::decode_complex_ack(pdu)) {
        if (const auto& segment = ack->segmentation) {
          handle_recv_fragment(src, ack->invoke_id, segment->sequence_number, segment->more_follows,
                               segment->proposed_window_size, ack->payload, out);
          return;
        }
        end_transaction(src, ack->invoke_id);
        Bytes payload(ack->payload.begin(), ack->payload.end());
        out.push_back(output::Event{event::Response{ack->invoke_id, std::move(payload), src}});
      }
      return;
    case apdu::PduType::SegmentAck:
      if (const auto ack = apdu::decode_segment_ack(pdu)) {
        handle_seg_ack(src, ack->invoke_id, ack->sequence_number, ack->actual_window_size, out);
      }
      return;
    case apdu::PduType::Error:
      if (const auto error = apdu::decode_error_apdu(pdu)) {
        end_transaction(src, error->invoke_id);
        out.push_back(output::Event{event::Error{error->invoke_id,
                                                 "error class=" + std::to_string(error->error_class) +
                                                     " code=" + std::to_string(error->error_code),
                                                 src}});
      }
      return;
    case apdu::PduType::Reject:
      if (const auto reject = apdu::decode_reject(pdu)) {
        end_transaction(src, reject->invoke_id);
        out.push_back(output::Event{
            event::Error{reject->invoke_id, "reject reason=" + std::to_string(reject->reason), src}});
      }
      return;
    case apdu::PduType::Abort:
      if (const auto abort = apdu::decode_abort(pdu)) {
        end_transaction(src, abort->invoke_id);
        out.push_back(output::Event{event::Abort{abort->invoke_id, abort->reason, src}});
      }
      return;
    default:  // Confirmed-Request (we are no server) and the undefined types 8-15
      return;
  }
}

void Stack::handle_unconfirmed(std::uint8_t service_choice, std::span<const std::uint8_t> service_data,
                               const BacnetAddr& src, std::vector<Output>& out) {
  if (service_choice != services::kServiceIAm) return;
  auto i_am = services::i_am::decode_i_am(service_data);
  if (!i_am) return;
  out.push_back(output::Event{event::UnconfirmedReceived{src, std::move(i_am).value()}});
}

void Stack::handle_seg_ack(const BacnetAddr& src, std::uint8_t invoke_id, std::uint8_t sequence_number,
                           std::uint8_t window_size, std::vector<Output>& out) {
  const TransactionKey key{src, invoke_id};
  const auto transaction = transactions_.find(key);
  if (transaction == transactions_.end()) return;
  const auto segments = send_segments_.find(key);
  if (segments == send_segments_.end()) return;

  // The sequence number is the segment index: requests never exceed 256 segments.
  const std::size_t acknowledged = std::size_t{sequence_number} + 1;
  if (acknowledged >= segments->second.total_segments) {
    // Delivered, but not yet answered: the request stays outstanding, so that
    // a segmented answer is accepted and silence still ends in a Timeout.
    send_segments_.erase(segments);
    transaction->second.deadline = time_base_ + config_.apdu_timeout_secs;
    return;
  }
  for (Bytes& frame : segments->second.move_window(acknowledged, window_size, time_base_)) {
    out.push_back(output::Transmit{std::move(frame), src});
  }
}

void Stack::handle_recv_fragment(const BacnetAddr& src, std::uint8_t invoke_id, std::uint8_t sequence_number,
                                 bool more_follows, std::uint8_t window_size, std::span<const std::uint8_t> payload,
                                 std::vector<Output>& out) {
  const TransactionKey key{src, invoke_id};
  auto reassembly = recv_segments_.find(key);
  if (reassembly == recv_segments_.end()) {
    // Only answers to our own requests get buffers and SegmentACKs.
    const auto transaction = transactions_.find(key);
    if (transaction == transactions_.end()) return;
    // The device has the whole request; sending it again would restart the answer.
    transaction->second.deadline = std::numeric_limits<double>::infinity();
    if (!send_segments_.empty()) send_segments_.erase(key);
    RecvSegState state = RecvSegState::create(config_.max_segment_buffer, window_size);
    state.peer = src;
    reassembly = recv_segments_.emplace(key, std::move(state)).first;
  }

  FragmentOutcome result = reassembly->second.accept_fragment(
      sequence_number, more_follows, window_size, Bytes(payload.begin(), payload.end()), invoke_id, time_base_);
  if (auto* ack = std::get_if<outcome::Ack>(&result)) {
    out.push_back(output::Transmit{std::move(ack->datagram), src});
  } else if (auto* complete = std::get_if<outcome::Complete>(&result)) {
    end_transaction(src, invoke_id);
    out.reserve(2);
    out.push_back(output::Transmit{std::move(complete->datagram), src});
    out.push_back(output::Event{event::Response{invoke_id, std::move(complete->payload), src}});
  } else if (const auto* abort = std::get_if<outcome::Abort>(&result)) {
    end_transaction(src, invoke_id);
    out.push_back(output::Event{event::Abort{invoke_id, abort->reason, src}});
  }
}

}  // namespace ferromesh::stack
