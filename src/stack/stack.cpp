#include "stack/stack.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>

#include "stack/datagram.hpp"

namespace ferromesh::stack {

namespace {

constexpr std::size_t kUnsegmentedHeaderLength = 4;
constexpr std::size_t kSegmentedHeaderLength = 6;
// What a segment of a ComplexACK carries besides its share of the answer.
constexpr std::size_t kSegmentedAckHeaderLength = 5;
// A Who-Is with both limits of 3 octets.
constexpr std::size_t kTypicalUnconfirmedLength = 10;
static_assert(kLargestMaxApdu == datagram::kLargestApdu);

std::uint64_t random_seed(std::random_device& device) {
  return (std::uint64_t{device()} << 32) | std::uint64_t{device()};
}

StackConfig usable(StackConfig config) {
  const StackConfig defaults;
  if (!valid_apdu_timeout(config.apdu_timeout_secs)) config.apdu_timeout_secs = defaults.apdu_timeout_secs;
  if (!valid_max_apdu_length(config.max_apdu_length)) config.max_apdu_length = defaults.max_apdu_length;
  if (!valid_max_segment_buffer(config.max_segment_buffer)) config.max_segment_buffer = defaults.max_segment_buffer;
  return config;
}

// Why a request needing segmentation cannot be cut into segments, if so.
std::optional<std::string> unsegmentable_reason(std::size_t length, std::size_t max_apdu) {
  const std::size_t segment_size = max_apdu - kSegmentedHeaderLength;
  const std::size_t segments = (length + segment_size - 1) / segment_size;
  if (segments > kMaxSegments) {
    return "request of " + std::to_string(length) + " octets needs " + std::to_string(segments) +
           " segments, more than " + std::to_string(kMaxSegments);
  }
  return std::nullopt;
}

// A request the stack did not send, and why.
event::Error local_error(std::uint8_t invoke_id, std::string message, const BacnetAddr& dest,
                         event::ErrorKind kind = event::ErrorKind::Local) {
  return {invoke_id, std::move(message), dest, {}, kind, std::nullopt, std::nullopt, std::nullopt};
}

}  // namespace

bool valid_apdu_timeout(double seconds) noexcept { return std::isfinite(seconds) && seconds > 0.0; }
bool valid_max_apdu_length(std::size_t octets) noexcept {
  return octets >= kSmallestMaxApdu && octets <= kLargestMaxApdu;
}
bool valid_max_segment_buffer(std::size_t octets) noexcept { return octets > 0; }

Stack::Stack(StackConfig config) : config_(usable(config)) {
  std::random_device device;
  invoke_pools_ = InvokePoolTable(0, BacnetAddrHash{random_seed(device)});
  transactions_ = TransactionTable(0, TransactionKeyHash{random_seed(device)});
  send_segments_ = SendSegmentTable(0, TransactionKeyHash{random_seed(device)});
  recv_segments_ = RecvSegmentTable(0, TransactionKeyHash{random_seed(device)});
  device_limits_ = DeviceLimitTable(0, BacnetAddrHash{random_seed(device)});

  // What every request says we accept: a device sizes its answer's segments
  // to the APDU advertised, and sends no more of them than fit the buffer.
  advertised_max_apdu_ = apdu::max_apdu_code(config_.max_apdu_length);
  const std::size_t segment_payload = apdu::max_apdu_octets(advertised_max_apdu_) - kSegmentedAckHeaderLength;
  const std::size_t segments = config_.max_segment_buffer / segment_payload;
  accepts_segmented_answers_ = segments >= 2;
  advertised_max_segments_ = accepts_segmented_answers_ ? apdu::max_segments_code(segments) : 0;
}

std::vector<Output> Stack::process(Input input) {
  std::vector<Output> out;
  if (const auto* request = std::get_if<input::Send>(&input)) {
    send(*request, out);
  } else if (const auto* received = std::get_if<input::Received>(&input)) {
    receive(*received, out);
  } else if (const auto* timer = std::get_if<input::Tick>(&input)) {
    tick(timer->now, out);
  } else if (const auto* unconfirmed = std::get_if<input::SendUnconfirmed>(&input)) {
    send_unconfirmed(*unconfirmed, out);
  } else if (const auto* cancelled = std::get_if<input::Cancel>(&input)) {
    cancel(*cancelled, out);
  } else if (const auto* registration = std::get_if<input::RegisterForeignDevice>(&input)) {
    register_foreign_device(*registration, out);
  } else if (std::holds_alternative<input::UnregisterForeignDevice>(input)) {
    registration_.reset();
  }
  return out;
}

InvokeIdPool& Stack::pool_for(const BacnetAddr& dest) {
  if (const auto found = invoke_pools_.find(dest); found != invoke_pools_.end()) return found->second;
  if (invoke_pools_.size() >= pool_sweep_at_) {
    // A pool with nothing outstanding that handed out none of the latest IDs
    // has nothing to keep: a new one for that device starts at 0 again.
    std::erase_if(invoke_pools_, [this](const auto& entry) {
      return entry.second.used_count() == 0 && entry.second.last_use + kIdlePoolsKept < allocations_;
    });
    pool_sweep_at_ = std::max(2 * kIdlePoolsKept, 2 * invoke_pools_.size());
  }
  return invoke_pools_.try_emplace(dest).first->second;
}

apdu::ConfirmedRequestHeader Stack::request_header(const TransactionKey& key, std::uint8_t service_choice) const {
  return {key.invoke_id,          service_choice, advertised_max_segments_, advertised_max_apdu_, std::nullopt,
          accepts_segmented_answers_};
}

void Stack::send(const input::Send& request, std::vector<Output>& out) {
  if (request.dest.remote() && request.dest.mac_length == 0) {
    // Every device of a network would answer, each with the same invoke ID.
    out.push_back(output::Event{local_error(0,
                                            "a confirmed request needs one device: network " +
                                                std::to_string(request.dest.network) +
                                                " without a MAC is all of its devices",
                                            request.dest)});
    return;
  }
  InvokeIdPool& pool = pool_for(request.dest);
  const std::optional<std::uint8_t> invoke_id = pool.allocate();
  if (!invoke_id) {
    out.push_back(output::Event{local_error(0, "invoke ID pool exhausted", request.dest, event::ErrorKind::NoInvokeId)});
    return;
  }
  pool.last_use = ++allocations_;
  const TransactionKey key{request.dest, *invoke_id};
  ServiceEncoding encoding = encode_service(request.service);
  if (auto* refusal = std::get_if<std::string>(&encoding)) {
    pool.release(*invoke_id);
    out.push_back(output::Event{local_error(*invoke_id, std::move(*refusal), request.dest)});
    return;
  }
  EncodedService& encoded = std::get<EncodedService>(encoding);

  // Sized to the smaller of our limit and what the device's I-Am announced;
  // what fits the least any device takes needs no looking up.
  const std::size_t length = encoded.parameters.size();
  if (length + kUnsegmentedHeaderLength <= kSmallestMaxApdu) {
    send_unsegmented(encoded, key, out);
    return;
  }
  std::size_t max_apdu = std::min(config_.max_apdu_length, datagram::largest_apdu(request.dest));
  bool device_takes_segments = true;
  if (const auto limits = device_limits_.find(request.dest); limits != device_limits_.end()) {
    max_apdu = std::min(max_apdu, limits->second.max_apdu);
    device_takes_segments = limits->second.accepts_segmented_requests;
  }
  if (length + kUnsegmentedHeaderLength <= max_apdu) {
    send_unsegmented(encoded, key, out);
    return;
  }
  std::optional<std::string> refusal;
  if (!device_takes_segments) {
    refusal = "request of " + std::to_string(length) + " octets needs segmentation, but the device accepts no " +
              "segmented requests (max APDU " + std::to_string(max_apdu) + ")";
  } else {
    refusal = unsegmentable_reason(length, max_apdu);
  }
  if (refusal) {
    pool.release(*invoke_id);
    out.push_back(output::Event{local_error(*invoke_id, std::move(*refusal), request.dest)});
    return;
  }
  send_segmented(std::move(encoded), key, max_apdu - kSegmentedHeaderLength, out);
}

void Stack::send_unsegmented(const EncodedService& encoded, const TransactionKey& key, std::vector<Output>& out) {
  Bytes frame = datagram::confirmed_request(key.addr, request_header(key, encoded.service_choice), encoded.parameters);
  const double deadline = time_base_ + config_.apdu_timeout_secs;
  transactions_.insert_or_assign(key, Transaction{frame, deadline, key.addr, 0, encoded.service_choice, nullptr});
  out.reserve(2);
  out.push_back(output::Transmit{std::move(frame), key.addr, key.invoke_id});
  out.push_back(output::Deadline{deadline});
}

void Stack::send_segmented(EncodedService encoded, const TransactionKey& key, std::size_t segment_size,
                           std::vector<Output>& out) {
  auto [state, first] = SendSegState::create(std::move(encoded.parameters), key.addr,
                                             request_header(key, encoded.service_choice), segment_size, time_base_);
  out.reserve(2);
  out.push_back(output::Transmit{std::move(first), key.addr, key.invoke_id});
  out.push_back(output::Deadline{time_base_ + kSegmentTimeoutSecs});
  send_segments_.insert_or_assign(key, std::move(state));
  transactions_.insert_or_assign(
      key, Transaction{{}, std::numeric_limits<double>::infinity(), key.addr, 0, encoded.service_choice, nullptr});
}

void Stack::send_unconfirmed(const input::SendUnconfirmed& request, std::vector<Output>& out) {
  const BacnetAddr& dest = request.dest;
  // The directed broadcast of a /24 (or wider) network, or the global one.
  const bool broadcast = dest.addr[3] == 255;
  const bool network_message = std::holds_alternative<service::WhoIsRouterToNetwork>(request.service);
  // A foreign device has no broadcast of its own: the BBMD distributes it.
  std::uint8_t function = broadcast ? bvlc::kOriginalBroadcastNpdu : bvlc::kOriginalUnicastNpdu;
  BacnetAddr udp_dest = dest;
  if (broadcast && registration_) {
    function = bvlc::kDistributeBroadcastToNetwork;
    udp_dest = registration_->bbmd;
  }
  std::optional<std::string_view> refusal;
  Bytes frame = datagram::build(function, datagram::header_to(dest, false, network_message), kTypicalUnconfirmedLength,
                                [&](Bytes& body) { refusal = append_unconfirmed(request.service, body); });
  if (refusal) {
    out.push_back(output::Event{local_error(0, std::string(*refusal), dest)});
    return;
  }
  out.push_back(output::Transmit{std::move(frame), udp_dest, std::nullopt});
}

void Stack::cancel(const input::Cancel& request, std::vector<Output>& out) {
  const TransactionKey key{request.peer, request.invoke_id};
  const auto transaction = transactions_.find(key);
  if (transaction == transactions_.end()) return;
  // A device in the middle of our segments or of its answer's would go on
  // sending, or wait for segments, until its own timeout.
  if (send_segments_.contains(key) || recv_segments_.contains(key)) {
    out.push_back(
        output::Transmit{datagram::abort(request.peer, {false, request.invoke_id, apdu::kAbortOther}), request.peer,
                         std::nullopt});
  }
  end_transaction(transaction);
}

void Stack::end_transaction(const BacnetAddr& addr, std::uint8_t invoke_id) {
  const auto transaction = transactions_.find(TransactionKey{addr, invoke_id});
  // An ID is in use, and segmentation state exists, only beside a
  // transaction: without one there is nothing to free.
  if (transaction != transactions_.end()) end_transaction(transaction);
}

void Stack::end_transaction(TransactionTable::iterator transaction) {
  const TransactionKey key = transaction->first;
  transactions_.erase(transaction);
  release(key);
}

void Stack::release(const TransactionKey& key) {
  if (auto pool = invoke_pools_.find(key.addr); pool != invoke_pools_.end()) pool->second.release(key.invoke_id);
  // A finished request must not leave windows to re-send or segments to collect.
  if (!send_segments_.empty()) send_segments_.erase(key);
  if (!recv_segments_.empty()) recv_segments_.erase(key);
}

}  // namespace ferromesh::stack
