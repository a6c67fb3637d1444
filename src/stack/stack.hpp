#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "codec/apdu.hpp"
#include "stack/foreign_device.hpp"
#include "stack/invoke_id_pool.hpp"
#include "stack/segmentation.hpp"
#include "stack/service_encoding.hpp"
#include "stack/transaction.hpp"
#include "stack/types.hpp"

namespace ferromesh::stack {

class EarliestDeadline;

// Idle invoke-ID pools are kept for this many devices at least: dropping the
// pool of a device used lately would hand out its recently freed IDs again.
inline constexpr std::size_t kIdlePoolsKept = 1024;
// At most this many devices' I-Am limits are remembered.
inline constexpr std::size_t kDeviceLimitsKept = 16384;

// The sans-IO BACnet/IP client: one input in, the resulting outputs back.
// It never reads a clock; time comes only from Tick.
class Stack {
 public:
  using InvokePoolTable = std::unordered_map<BacnetAddr, InvokeIdPool, BacnetAddrHash>;
  using TransactionTable = std::unordered_map<TransactionKey, Transaction, TransactionKeyHash>;
  using SendSegmentTable = std::unordered_map<TransactionKey, SendSegState, TransactionKeyHash>;
  using RecvSegmentTable = std::unordered_map<TransactionKey, RecvSegState, TransactionKeyHash>;
  using DeviceLimitTable = std::unordered_map<BacnetAddr, DeviceLimits, BacnetAddrHash>;

  // A field outside its limits (see valid_apdu_timeout and the others) is
  // replaced by its default: the Python layer refuses such configurations.
  explicit Stack(StackConfig config = {});

  // Never fails as a whole: malformed datagrams are dropped without any change
  // and every protocol outcome is an Event. Only allocation failure throws.
  std::vector<Output> process(Input input);

  const StackConfig& config() const noexcept { return config_; }
  const InvokePoolTable& invoke_pools() const noexcept { return invoke_pools_; }
  const TransactionTable& transactions() const noexcept { return transactions_; }
  const SendSegmentTable& send_segments() const noexcept { return send_segments_; }
  const RecvSegmentTable& recv_segments() const noexcept { return recv_segments_; }
  const DeviceLimitTable& device_limits() const noexcept { return device_limits_; }
  const std::optional<ForeignDeviceRegistration>& registration() const noexcept { return registration_; }

 private:
  void send(const input::Send& request, std::vector<Output>& out);
  void send_unsegmented(const EncodedService& encoded, const TransactionKey& key, std::vector<Output>& out);
  void send_segmented(EncodedService encoded, const TransactionKey& key, std::size_t segment_size,
                      std::vector<Output>& out);
  void send_unconfirmed(const input::SendUnconfirmed& request, std::vector<Output>& out);
  void cancel(const input::Cancel& request, std::vector<Output>& out);
  InvokeIdPool& pool_for(const BacnetAddr& dest);
  apdu::ConfirmedRequestHeader request_header(const TransactionKey& key, std::uint8_t service_choice) const;

  // Foreign-device registration and the network layer: stack_network.cpp.
  void register_foreign_device(const input::RegisterForeignDevice& request, std::vector<Output>& out);
  void send_registration(double now, std::vector<Output>& out);
  // Registers again when due; returns when it is due next.
  double renew_registration(double now, std::vector<Output>& out);
  void handle_bvlc_result(const BacnetAddr& src, std::uint16_t result, std::vector<Output>& out);
  void handle_network_message(std::span<const std::uint8_t> body, const BacnetAddr& src, std::vector<Output>& out);
  // A router refused to pass a message on to `network`: every request
  // outstanding to a device there through that router ends now.
  void end_requests_to_network(const BacnetAddr& router, const RejectMessageToNetwork& reject,
                               std::vector<Output>& out);

  void tick(double now, std::vector<Output>& out);
  void resend_or_expire_requests(double now, EarliestDeadline& earliest, std::vector<Output>& out);
  void resend_or_expire_windows(double now, EarliestDeadline& earliest, std::vector<Output>& out);
  void abandon_stalled_reassemblies(double now, EarliestDeadline& earliest, std::vector<Output>& out);

  void receive(const input::Received& datagram, std::vector<Output>& out);
  void dispatch_apdu(std::span<const std::uint8_t> pdu, const BacnetAddr& src, std::vector<Output>& out);
  void handle_unconfirmed(std::uint8_t service_choice, std::span<const std::uint8_t> service_data,
                          const BacnetAddr& src, std::vector<Output>& out);
  void handle_seg_ack(const BacnetAddr& src, const apdu::SegmentAck& ack, std::vector<Output>& out);
  void handle_recv_fragment(const BacnetAddr& src, const apdu::ComplexAck& ack, std::vector<Output>& out);
  // Whether an answer under `key` can be reported: it ends the request
  // outstanding there, which `fits` says it answers, or no request is
  // outstanding there (a stray that ends nothing). False, and nothing
  // changed, for an answer that the request there did not ask for.
  template <class Fits>
  bool end_answered(const TransactionKey& key, Fits fits);

  // Ends the transaction under (addr, invoke_id), if any: frees its ID and
  // drops whatever segmentation state it still has.
  void end_transaction(const BacnetAddr& addr, std::uint8_t invoke_id);
  void end_transaction(TransactionTable::iterator transaction);
  // What an ended transaction leaves: its ID in use, its segmentation state.
  void release(const TransactionKey& key);

  StackConfig config_;
  // What our confirmed requests advertise, from the configuration.
  std::uint8_t advertised_max_apdu_ = 0;
  std::uint8_t advertised_max_segments_ = 0;
  bool accepts_segmented_answers_ = true;
  // The now of the latest Tick: Send and Received carry no time of their own.
  double time_base_ = 0.0;
  // Counts allocations of invoke IDs: when each pool was used last.
  std::uint64_t allocations_ = 0;
  // The pool table is swept of idle pools when it grows past this.
  std::size_t pool_sweep_at_ = 2 * kIdlePoolsKept;
  InvokePoolTable invoke_pools_;
  TransactionTable transactions_;
  SendSegmentTable send_segments_;
  RecvSegmentTable recv_segments_;
  DeviceLimitTable device_limits_;
  std::optional<ForeignDeviceRegistration> registration_;
};

}  // namespace ferromesh::stack
