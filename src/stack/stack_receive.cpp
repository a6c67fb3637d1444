#include "stack/stack.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "codec/apdu.hpp"
#include "codec/bvlc.hpp"
#include "codec/npdu.hpp"
#include "services/cov_notification.hpp"
#include "services/event_notification.hpp"
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

template <class Fits>
bool Stack::end_answered(const TransactionKey& key, Fits fits) {
  // One lookup for the common case, an answer that ends its request.
  auto node = transactions_.extract(key);
  if (node.empty()) return true;
  if (!fits(node.mapped())) {
    transactions_.insert(std::move(node));
    return false;
  }
  release(key);
  return true;
}

// An answer ends the request outstanding under its peer and invoke ID only
// when it answers what that request asked; any other answer there is a stray
// that ends and reports nothing, so that the real answer can still arrive.
// An answer under an ID that is not in use is reported, and ends nothing.
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
        const auto fits = [&](const Transaction& t) {
          return t.service_choice == ack->service_choice && services::answered_by_simple_ack(t.service_choice);
        };
        if (!end_answered({src, ack->invoke_id}, fits)) return;
        out.push_back(output::Event{event::Response{ack->invoke_id, {}, src}});
      }
      return;
    case apdu::PduType::ComplexAck:
      if (const auto ack = apdu::decode_complex_ack(pdu)) {
        if (ack->segmentation) {
          handle_recv_fragment(src, ack.value(), out);
          return;
        }
        // While its segments arrive, an answer in one piece is no part of it.
        const auto fits = [&](const Transaction& t) {
          return t.service_choice == ack->service_choice && !services::answered_by_simple_ack(t.service_choice) &&
                 (recv_segments_.empty() || !recv_segments_.contains({src, ack->invoke_id}));
        };
        if (!end_answered({src, ack->invoke_id}, fits)) return;
        Bytes payload(ack->payload.begin(), ack->payload.end());
        out.push_back(output::Event{event::Response{ack->invoke_id, std::move(payload), src}});
      }
      return;
    case apdu::PduType::SegmentAck:
      // Only the server of our request moves its window.
      if (const auto ack = apdu::decode_segment_ack(pdu); ack && ack->server) handle_seg_ack(src, ack.value(), out);
      return;
    case apdu::PduType::Error:
      if (const auto error = apdu::decode_error_apdu(pdu)) {
        const auto fits = [&](const Transaction& t) { return t.service_choice == error->service_choice; };
        if (!end_answered({src, error->invoke_id}, fits)) return;
        out.push_back(output::Event{event::Error{
            error->invoke_id,
            "error class=" + std::to_string(error->error_class) + " code=" + std::to_string(error->error_code), src,
            Bytes(error->parameters.begin(), error->parameters.end()), event::ErrorKind::Error, error->error_class,
            error->error_code, std::nullopt}});
      }
      return;
    case apdu::PduType::Reject:
      if (const auto reject = apdu::decode_reject(pdu)) {
        end_transaction(src, reject->invoke_id);
        out.push_back(output::Event{event::Error{reject->invoke_id, "reject reason=" + std::to_string(reject->reason),
                                                 src, {}, event::ErrorKind::Reject, std::nullopt, std::nullopt,
                                                 reject->reason}});
      }
      return;
    case apdu::PduType::Abort:
      // An Abort from the device as a client concerns none of our requests.
      if (const auto abort = apdu::decode_abort(pdu); abort && abort->server) {
        end_transaction(src, abort->invoke_id);
        out.push_back(output::Event{event::Abort{abort->invoke_id, abort->reason, src}});
      }
      return;
    case apdu::PduType::ConfirmedRequest:
      serve_confirmed_request(pdu, src, out);
      return;
    default:  // the undefined types 8-15
      return;
  }
}

void Stack::handle_unconfirmed(std::uint8_t service_choice, std::span<const std::uint8_t> service_data,
                               const BacnetAddr& src, std::vector<Output>& out) {
  switch (service_choice) {
    case services::kServiceIAm:
      break;
    case services::kServiceUnconfirmedCovNotification:
      if (auto notification = services::cov_notification::decode(service_data)) {
        out.push_back(output::Event{event::CovNotification{src, false, std::move(notification).value()}});
      }
      return;
    case services::kServiceUnconfirmedEventNotification:
      if (auto notification = services::event_notification::decode(service_data)) {
        out.push_back(output::Event{event::EventNotification{src, false, std::move(notification).value()}});
      }
      return;
    default:
      return;
  }
  auto i_am = services::i_am::decode_i_am(service_data);
  if (!i_am) return;
  // `src` is the device's whole address, behind a router or a BBMD too:
  // requests to it are sized by what it announces.
  auto limits = device_limits_.find(src);
  if (limits == device_limits_.end()) {
    if (device_limits_.size() >= kDeviceLimitsKept) device_limits_.erase(device_limits_.begin());
    limits = device_limits_.try_emplace(src).first;
  }
  const std::uint8_t segmentation = i_am->segmentation;
  limits->second = DeviceLimits{std::max<std::size_t>(i_am->max_apdu, kSmallestMaxApdu),
                                segmentation == services::kSegmentedBoth || segmentation == services::kSegmentedReceive};
  out.push_back(output::Event{event::UnconfirmedReceived{src, std::move(i_am).value()}});
}

void Stack::handle_seg_ack(const BacnetAddr& src, const apdu::SegmentAck& ack, std::vector<Output>& out) {
  const TransactionKey key{src, ack.invoke_id};
  const auto transaction = transactions_.find(key);
  if (transaction == transactions_.end()) return;
  const auto segments = send_segments_.find(key);
  if (segments == send_segments_.end()) return;

  SendSegState& state = segments->second;
  for (Bytes& frame : state.acknowledge(ack.negative, ack.sequence_number, ack.actual_window_size, time_base_)) {
    out.push_back(output::Transmit{std::move(frame), src, ack.invoke_id});
  }
  if (state.delivered()) {
    // Delivered, but not yet answered: the request stays outstanding, so that
    // a segmented answer is accepted and silence sends it again or ends in a Timeout.
    transaction->second.delivered = std::make_unique<SendSegState>(std::move(state));
    send_segments_.erase(segments);
    transaction->second.deadline = time_base_ + config_.apdu_timeout_secs;
  }
}

void Stack::handle_recv_fragment(const BacnetAddr& src, const apdu::ComplexAck& ack, std::vector<Output>& out) {
  const TransactionKey key{src, ack.invoke_id};
  // Only answers to our own requests, for the service they asked, get
  // buffers and SegmentACKs.
  const auto transaction = transactions_.find(key);
  if (transaction == transactions_.end()) return;
  if (transaction->second.service_choice != ack.service_choice ||
      services::answered_by_simple_ack(ack.service_choice)) {
    return;
  }
  auto reassembly = recv_segments_.find(key);
  if (reassembly == recv_segments_.end()) {
    // The device has the whole request; sending it again would restart the answer.
    transaction->second.deadline = std::numeric_limits<double>::infinity();
    transaction->second.delivered.reset();
    if (!send_segments_.empty()) send_segments_.erase(key);
    RecvSegState state = RecvSegState::create(config_.max_segment_buffer, ack.invoke_id);
    state.peer = src;
    reassembly = recv_segments_.emplace(key, std::move(state)).first;
  }

  const apdu::SegmentHeader& segment = *ack.segmentation;
  FragmentOutcome result = reassembly->second.accept_fragment(
      segment.sequence_number, segment.more_follows, segment.proposed_window_size, ack.payload, time_base_);
  if (auto* acknowledgement = std::get_if<outcome::Ack>(&result)) {
    out.push_back(output::Transmit{std::move(acknowledgement->datagram), src, std::nullopt});
  } else if (auto* complete = std::get_if<outcome::Complete>(&result)) {
    end_transaction(transaction);
    out.reserve(2);
    out.push_back(output::Transmit{std::move(complete->datagram), src, std::nullopt});
    out.push_back(output::Event{event::Response{ack.invoke_id, std::move(complete->payload), src}});
  } else if (auto* abort = std::get_if<outcome::Abort>(&result)) {
    end_transaction(transaction);
    out.reserve(2);
    out.push_back(output::Transmit{std::move(abort->datagram), src, std::nullopt});
    out.push_back(output::Event{event::Abort{ack.invoke_id, kLocalAbortReason, src}});
  }
}

}  // namespace ferromesh::stack
