#include <utility>

#include "codec/apdu.hpp"
#include "services/cov_notification.hpp"
#include "services/event_notification.hpp"
#include "stack/datagram.hpp"
#include "stack/stack.hpp"

// The engine as the server of what devices send it: notifications, which it
// acknowledges and reports, and every other request, which it refuses at
// once so that the device does not retry. Answers go to the request's whole
// address (behind a router: its network and MAC; through a BBMD: the
// device itself). Nothing here keeps state.
namespace ferromesh::stack {

namespace {

// Why parameters that did not decode are refused.
std::uint8_t reject_reason(DecodeError error) noexcept {
  switch (error) {
    case DecodeError::IncompleteData:
      return apdu::kRejectMissingRequiredParameter;
    case DecodeError::InvalidTagNumber:
    case DecodeError::InvalidContextTag:
      return apdu::kRejectInvalidTag;
    default:
      return apdu::kRejectInvalidParameterDataType;
  }
}

// Decodes a notification's parameters; answers a SimpleACK and reports the
// event, or answers a Reject.
template <class Notification, class Decode>
void acknowledge(const apdu::ConfirmedRequest& request, const BacnetAddr& src, Decode decode,
                 std::vector<Output>& out) {
  const apdu::ConfirmedRequestHeader& header = request.header;
  auto decoded = decode(request.service_data);
  if (!decoded) {
    out.push_back(output::Transmit{datagram::reject(src, {header.invoke_id, reject_reason(decoded.error())}), src,
                                   std::nullopt});
    return;
  }
  out.reserve(2);
  out.push_back(
      output::Transmit{datagram::simple_ack(src, {header.invoke_id, header.service_choice}), src, std::nullopt});
  out.push_back(output::Event{Notification{src, true, std::move(decoded).value()}});
}

}  // namespace

void Stack::serve_confirmed_request(std::span<const std::uint8_t> pdu, const BacnetAddr& src,
                                    std::vector<Output>& out) {
  const auto request = apdu::decode_confirmed_request(pdu);
  // Without its header there is no invoke ID to answer under.
  if (!request) return;
  const apdu::ConfirmedRequestHeader& header = request->header;
  // We keep no reassembly for requests: every segment is refused at once,
  // which ends the device's transaction on its first segment.
  if (header.segmentation) {
    out.push_back(output::Transmit{
        datagram::abort(src, {true, header.invoke_id, apdu::kAbortSegmentationNotSupported}), src, std::nullopt});
    return;
  }
  switch (header.service_choice) {
    case services::kServiceConfirmedCovNotification:
      acknowledge<event::CovNotification>(request.value(), src, services::cov_notification::decode, out);
      return;
    case services::kServiceConfirmedEventNotification:
      acknowledge<event::EventNotification>(request.value(), src, services::event_notification::decode, out);
      return;
    default:
      out.push_back(output::Transmit{
          datagram::reject(src, {header.invoke_id, apdu::kRejectUnrecognizedService}), src, std::nullopt});
      return;
  }
}

}  // namespace ferromesh::stack
