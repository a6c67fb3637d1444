#pragma once

#include <algorithm>
#include <cstdint>

#include "stack/types.hpp"

namespace ferromesh::stack {

// A foreign-device registration the engine keeps alive. The BBMD forwards
// broadcasts to us for the time-to-live plus its grace period; we register
// again halfway through it, so that a lost renewal still has the other half
// (re-sent every APDU timeout) before the entry runs out.
struct ForeignDeviceRegistration {
  BacnetAddr bbmd;
  std::uint16_t time_to_live = 0;
  double due = 0.0;             // when Register-Foreign-Device goes out next
  unsigned unanswered = 0;  // sent since the BBMD last answered
  friend bool operator==(const ForeignDeviceRegistration&, const ForeignDeviceRegistration&) = default;

  double renewal_interval() const noexcept { return std::max(1.0, time_to_live / 2.0); }
};

}  // namespace ferromesh::stack
