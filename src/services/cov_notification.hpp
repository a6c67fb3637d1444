#pragma once

#include <span>

#include "codec/result.hpp"
#include "services/records.hpp"

namespace ferromesh::services::cov_notification {

// The parameters of a Confirmed- or Unconfirmed-COV-Notification (the same
// for both): every octet must belong to them.
Result<CovNotification> decode(std::span<const std::uint8_t> data);

}  // namespace ferromesh::services::cov_notification
