#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/byte_writer.hpp"
#include "stack/segmentation.hpp"
#include "stack/types.hpp"

namespace ferromesh::stack {

// One outstanding confirmed request.
struct Transaction {
  // The whole datagram of an unsegmented request, kept for re-sending; empty
  // for a segmented one.
  Bytes datagram;
  // When it is next due for re-sending or timing out. Positive infinity while
  // its segments are being sent or its segmented answer is arriving: the
  // segmentation state watches it then.
  double deadline = 0.0;
  BacnetAddr dest;
  std::uint8_t retries = 0;  // re-sends so far
  // The service sent: only an answer for it ends the transaction.
  std::uint8_t service_choice = 0;
  // A segmented request the device acknowledged whole, kept until its
  // answer comes so that silence can send it again.
  std::unique_ptr<SendSegState> delivered;
};

// What the last I-Am from a device on our own network said it accepts.
struct DeviceLimits {
  std::size_t max_apdu = 0;
  bool accepts_segmented_requests = false;
};

}  // namespace ferromesh::stack
