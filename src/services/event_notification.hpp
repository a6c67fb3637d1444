#pragma once

#include <span>

#include "codec/result.hpp"
#include "services/records.hpp"

namespace ferromesh::services::event_notification {

// The parameters of a Confirmed- or Unconfirmed-EventNotification (the same
// for both): every octet must belong to them. A message text that its
// character set cannot decode keeps its octets (PropertyValue::CharacterString).
Result<EventNotification> decode(std::span<const std::uint8_t> data);

}  // namespace ferromesh::services::event_notification
