// The network layer and BVLC as a client meets them: foreign-device
// registration with a BBMD, BVLC-Results, and what routers tell us.
#include <cmath>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "codec/bvlc.hpp"
#include "codec/network_message.hpp"
#include "stack/stack.hpp"

namespace ferromesh::stack {

namespace {

std::string reject_text(const RejectMessageToNetwork& reject) {
  static constexpr const char* kReasons[] = {"other error",          "network unreachable", "router busy",
                                             "unknown message type", "message too long",    "security error",
                                             "addressing error"};
  const std::string reason = reject.reason < std::size(kReasons) ? kReasons[reject.reason] : "unknown reason";
  return "router rejected the message to network " + std::to_string(reject.network) + ": " + reason +
         " (reason " + std::to_string(reject.reason) + ")";
}

}  // namespace

void Stack::register_foreign_device(const input::RegisterForeignDevice& request, std::vector<Output>& out) {
  registration_ = ForeignDeviceRegistration{request.bbmd.udp(), request.time_to_live, time_base_, 0};
  send_registration(time_base_, out);
  out.push_back(output::Deadline{registration_->due});
}

// Until the BBMD answers, the registration goes out again every APDU
// timeout, as often as a request would; then it rests until the renewal is
// due, and starts over.
void Stack::send_registration(double now, std::vector<Output>& out) {
  ForeignDeviceRegistration& registration = *registration_;
  Bytes datagram;
  bvlc::append_register_foreign_device(datagram, registration.time_to_live);
  out.push_back(output::Transmit{std::move(datagram), registration.bbmd, std::nullopt});
  ++registration.unanswered;
  const bool retrying = registration.unanswered <= config_.apdu_retries;
  registration.due = now + (retrying ? config_.apdu_timeout_secs : registration.renewal_interval());
  if (!retrying) registration.unanswered = 0;
}

double Stack::renew_registration(double now, std::vector<Output>& out) {
  if (now >= registration_->due && std::isfinite(now)) send_registration(now, out);
  return registration_->due;
}

void Stack::handle_bvlc_result(const BacnetAddr& src, std::uint16_t result, std::vector<Output>& out) {
  // Any answer of our BBMD, NAK included, ends the re-sending: a NAK is
  // tried again at the next renewal.
  out.push_back(output::Event{event::BvlcResult{src, result}});
  if (registration_ && registration_->bbmd == src && registration_->unanswered > 0) {
    registration_->unanswered = 0;
    registration_->due = time_base_ + registration_->renewal_interval();
    out.push_back(output::Deadline{registration_->due});
  }
}

void Stack::handle_network_message(std::span<const std::uint8_t> body, const BacnetAddr& src,
                                   std::vector<Output>& out) {
  auto message = network_message::decode(body);
  if (!message) return;
  if (const auto* reject = std::get_if<RejectMessageToNetwork>(&message.value())) {
    end_requests_to_network(src, *reject, out);
  }
  std::visit([&](auto&& decoded) { out.push_back(output::Event{event::UnconfirmedReceived{src, std::move(decoded)}}); },
             std::move(message).value());
}

void Stack::end_requests_to_network(const BacnetAddr& router, const RejectMessageToNetwork& reject,
                                    std::vector<Output>& out) {
  if (reject.network == 0) return;  // no network: nothing of ours went there
  std::vector<TransactionKey> rejected;
  for (const auto& [key, transaction] : transactions_) {
    if (key.addr.network == reject.network && key.addr.addr == router.addr && key.addr.port == router.port) {
      rejected.push_back(key);
    }
  }
  if (rejected.empty()) return;
  const std::string message = reject_text(reject);
  for (const TransactionKey& key : rejected) {
    end_transaction(key.addr, key.invoke_id);
    out.push_back(output::Event{event::Error{key.invoke_id, message, key.addr, {}, event::ErrorKind::Network,
                                             std::nullopt, std::nullopt, reject.reason}});
  }
}

}  // namespace ferromesh::stack
