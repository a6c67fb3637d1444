#include "stack/stack.hpp"

#include <limits>
#include <string>
#include <utility>
#include <variant>

#include "codec/apdu.hpp"
#include "codec/bvlc.hpp"
#include "codec/npdu.hpp"
#include "services/i_am.hpp"

namespace ferromesh::stack {

void Stack::receive(const input::Received& datagram, std::vector<Output>& out) {
  const auto bvlc_frame = bvlc::unwrap(datagram.data);
  // What a BBMD forwards names its originator, which nothing here uses yet.
  if (!bvlc_frame || bvlc_frame->function == bvlc::kForwardedNpdu) return;
  const auto frame = npdu::decode(bvlc_frame->npdu);
  if (!frame) return;
  const std::span<const std::uint8_t> body = frame->apdu;
  if (!frame->network_layer_message) {
    dispatch_apdu(body, datagram.src, out);
    return;
  }
  if (body.empty() || body[0] != npdu::kMessageIAmRouterToNetwork) return;
  auto networks = services::i_am::decode_i_am_router_to_network(body);
  if (!networks) return;
  out.push_back(output::Event{
      event::UnconfirmedReceived{datagram.src, IAmRouterToNetwork{std::move(networks).value()}}});
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
    reassembly = recv_segments_.emplace(key, RecvSegState::create(config_.max_segment_buffer, window_size)).first;
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
