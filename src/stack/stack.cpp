#include "stack/stack.hpp"

#include <algorithm>
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
// A Who-Is with both limits of 3 octets.
constexpr std::size_t kTypicalUnconfirmedLength = 10;

std::uint64_t random_seed(std::random_device& device) {
  return (std::uint64_t{device()} << 32) | std::uint64_t{device()};
}

// Why a request needing segmentation cannot be cut into segments, if so.
std::optional<std::string> unsegmentable_reason(std::size_t length, std::size_t max_apdu) {
  if (max_apdu <= kSegmentedHeaderLength) {
    return "request of " + std::to_string(length) + " octets needs segmentation, but max_apdu_length " +
           std::to_string(max_apdu) + " leaves no room for segment data";
  }
  const std::size_t segment_size = max_apdu - kSegmentedHeaderLength;
  const std::size_t segments = (length + segment_size - 1) / segment_size;
  if (segments > kMaxSegments) {
    return "request of " + std::to_string(length) + " octets needs " + std::to_string(segments) +
           " segments, more than " + std::to_string(kMaxSegments);
  }
  return std::nullopt;
}

}  // namespace

Stack::Stack(StackConfig config) : config_(config) {
  std::random_device device;
  invoke_pools_ = InvokePoolTable(0, BacnetAddrHash{random_seed(device)});
  transactions_ = TransactionTable(0, TransactionKeyHash{random_seed(device)});
  send_segments_ = SendSegmentTable(0, TransactionKeyHash{random_seed(device)});
  recv_segments_ = RecvSegmentTable(0, TransactionKeyHash{random_seed(device)});
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
  }
  return out;
}

void Stack::send(const input::Send& request, std::vector<Output>& out) {
  InvokeIdPool& pool = invoke_pools_[request.dest];
  const std::optional<std::uint8_t> invoke_id = pool.allocate();
  if (!invoke_id) {
    out.push_back(output::Event{event::Error{0, "invoke ID pool exhausted", request.dest}});
    return;
  }
  const TransactionKey key{request.dest, *invoke_id};
  EncodedService encoded = encode_service(request.service);
  const std::size_t max_apdu = std::min(config_.max_apdu_length, datagram::kLargestApdu);

  if (encoded.parameters.size() + kUnsegmentedHeaderLength <= max_apdu) {
    send_unsegmented(encoded, key, out);
  } else if (auto reason = unsegmentable_reason(encoded.parameters.size(), max_apdu)) {
    pool.release(*invoke_id);
    out.push_back(output::Event{event::Error{*invoke_id, std::move(*reason), request.dest}});
  } else {
    send_segmented(std::move(encoded), key, max_apdu - kSegmentedHeaderLength, out);
  }
}

void Stack::send_unsegmented(const EncodedService& encoded, const TransactionKey& key, std::vector<Output>& out) {
  const apdu::ConfirmedRequestHeader header{key.invoke_id, encoded.service_choice, 0, apdu::kMaxApduCode1476,
                                            std::nullopt, true};
  Bytes frame = datagram::confirmed_request(header, encoded.parameters);
  const double deadline = time_base_ + config_.apdu_timeout_secs;
  transactions_.insert_or_assign(key, Transaction{frame, deadline, key.addr, 0});
  out.reserve(2);
  out.push_back(output::Transmit{std::move(frame), key.addr});
  out.push_back(output::Deadline{deadline});
}

void Stack::send_segmented(EncodedService encoded, const TransactionKey& key, std::size_t segment_size,
                           std::vector<Output>& out) {
  SendSegStart start = SendSegState::create(std::move(encoded.parameters), encoded.service_choice, key.invoke_id,
                                            key.addr, segment_size, time_base_);
  out.reserve(start.datagrams.size() + 1);
  for (Bytes& frame : start.datagrams) out.push_back(output::Transmit{std::move(frame), key.addr});
  out.push_back(output::Deadline{time_base_ + kSegmentTimeoutSecs});
  send_segments_.insert_or_assign(key, std::move(start.state));
  transactions_.insert_or_assign(key, Transaction{{}, std::numeric_limits<double>::infinity(), key.addr, 0});
}

void Stack::send_unconfirmed(const input::SendUnconfirmed& request, std::vector<Output>& out) {
  // The directed broadcast of a /24 (or wider) network, or the global one.
  const bool broadcast = request.dest.addr[3] == 255;
  std::optional<std::string_view> refusal;
  Bytes frame = datagram::build(broadcast ? bvlc::kOriginalBroadcastNpdu : bvlc::kOriginalUnicastNpdu, npdu::Header{},
                                kTypicalUnconfirmedLength,
                                [&](Bytes& apdu) { refusal = append_unconfirmed(request.service, apdu); });
  if (refusal) {
    out.push_back(output::Event{event::Error{0, std::string(*refusal), request.dest}});
    return;
  }
  out.push_back(output::Transmit{std::move(frame), request.dest});
}

void Stack::end_transaction(const BacnetAddr& addr, std::uint8_t invoke_id) {
  const TransactionKey key{addr, invoke_id};
  // An ID is in use, and segmentation state exists, only beside a
  // transaction: without one there is nothing to free.
  if (transactions_.erase(key) == 0) return;
  if (auto pool = invoke_pools_.find(addr); pool != invoke_pools_.end()) pool->second.release(invoke_id);
  // A finished request must not leave windows to re-send or segments to collect.
  if (!send_segments_.empty()) send_segments_.erase(key);
  if (!recv_segments_.empty()) recv_segments_.erase(key);
}

}  // namespace ferromesh::stack
