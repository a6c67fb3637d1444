#pragma once

#include <cstdint>

#include "codec/byte_writer.hpp"
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
};

}  // namespace ferromesh::stack
