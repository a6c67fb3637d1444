#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "stack/invoke_id_pool.hpp"
#include "stack/segmentation.hpp"
#include "stack/service_encoding.hpp"
#include "stack/transaction.hpp"
#include "stack/types.hpp"

namespace ferromesh::stack {

class EarliestDeadline;

// The sans-IO BACnet/IP client: one input in, the resulting outputs back.
// It never reads a clock; time comes only from Tick.
class Stack {
 public:
  using InvokePoolTable = std::unordered_map<BacnetAddr, InvokeIdPool, BacnetAddrHash>;
  using TransactionTable = std::unordered_map<TransactionKey, Transaction, TransactionKeyHash>;
  using SendSegmentTable = std::unordered_map<TransactionKey, SendSegState, TransactionKeyHash>;
  using RecvSegmentTable = std::unordered_map<TransactionKey, RecvSegState, TransactionKeyHash>;

  explicit Stack(StackConfig config = {});

  // Never fails as a whole: malformed datagrams are dropped without any change
  // and every protocol outcome is an Event. Only allocation failure throws.
  std::vector<Output> process(Input input);

  const StackConfig& config() const noexcept { return config_; }
  const InvokePoolTable& invoke_pools() const noexcept { return invoke_pools_; }
  const TransactionTable& transactions() const noexcept { return transactions_; }
  const SendSegmentTable& send_segments() const noexcept { return send_segments_; }
  const RecvSegmentTable& recv_segments() const noexcept { return recv_segments_; }

 private:
  void send(const input::Send& request, std::vector<Output>& out);
  void send_unsegmented(const EncodedService& encoded, const TransactionKey& key, std::vector<Output>& out);
  void send_segmented(EncodedService encoded, const TransactionKey& key, std::size_t segment_size,
                      std::vector<Output>& out);
  void send_unconfirmed(const input::SendUnconfirmed& request, std::vector<Output>& out);

  void tick(double now, std::vector<Output>& out);
  void resend_or_expire_requests(double now, EarliestDeadline& earliest, std::vector<Output>& out);
  void resend_or_expire_windows(double now, EarliestDeadline& earliest, std::vector<Output>& out);
  void abandon_stalled_reassemblies(double now, EarliestDeadline& earliest, std::vector<Output>& out);

  void receive(const input::Received& datagram, std::vector<Output>& out);
  void dispatch_apdu(std::span<const std::uint8_t> pdu, const BacnetAddr& src, std::vector<Output>& out);
  void handle_unconfirmed(std::uint8_t service_choice, std::span<const std::uint8_t> service_data,
                          const BacnetAddr& src, std::vector<Output>& out);
  void handle_seg_ack(const BacnetAddr& src, std::uint8_t invoke_id, std::uint8_t sequence_number,
                      std::uint8_t window_size, std::vector<Output>& out);
  void handle_recv_fragment(const BacnetAddr& src, std::uint8_t invoke_id, std::uint8_t sequence_number,
                            bool more_follows, std::uint8_t window_size, std::span<const std::uint8_t> payload,
                            std::vector<Output>& out);

  // Ends the transaction under (addr, invoke_id), if any: frees its ID and
  // drops whatever segmentation state it still has.
  void end_transaction(const BacnetAddr& addr, std::uint8_t invoke_id);

  StackConfig config_;
  // The now of the latest Tick: Send and Received carry no time of their own.
  double time_base_ = 0.0;
  InvokePoolTable invoke_pools_;
  TransactionTable transactions_;
  SendSegmentTable send_segments_;
  RecvSegmentTable recv_segments_;
};

}  // namespace ferromesh::stack
